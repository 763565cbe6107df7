#pragma once

#include <QList>
#include <QWidget>

namespace kestrelamp::toolkit {

// The widgets inside root that Tab reaches, in the order they were made: shown, enabled and
// taking focus by Tab.
QList<QWidget*> tabStopsIn(const QWidget* root);

// Gives the focus to the widget after (or before) the one that holds it, going round at the
// ends; a focus outside the chain goes to its first (or last) widget. False for an empty chain.
bool moveFocusAlong(const QList<QWidget*>& chain, bool forward);

} // namespace kestrelamp::toolkit
