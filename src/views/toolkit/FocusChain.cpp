#include "views/toolkit/FocusChain.h"

#include <QApplication>

namespace kestrelamp::toolkit {
namespace {

bool takesTabFocus(const QWidget* widget, const QWidget* window) {
    return (widget->focusPolicy() & Qt::TabFocus) && widget->isEnabled() &&
           widget->isVisibleTo(window) && !widget->focusProxy();
}

} // namespace

QList<QWidget*> tabStopsIn(const QWidget* root) {
    QList<QWidget*> stops;
    if (!root || root->isHidden()) {
        return stops;
    }
    const QWidget* window = root->window();
    for (QWidget* widget = root->nextInFocusChain(); widget && widget != root;
         widget = widget->nextInFocusChain()) {
        if (root->isAncestorOf(widget) && takesTabFocus(widget, window)) {
            stops.append(widget);
        }
    }
    return stops;
}

bool moveFocusAlong(const QList<QWidget*>& chain, bool forward) {
    if (chain.isEmpty()) {
        return false;
    }
    const QWidget* focused = QApplication::focusWidget();
    qsizetype at = -1;
    for (qsizetype i = 0; i < chain.size() && focused; ++i) {
        if (chain[i] == focused || chain[i]->isAncestorOf(focused)) {
            at = i;
            break;
        }
    }
    const qsizetype count = chain.size();
    const qsizetype target =
        at < 0 ? (forward ? 0 : count - 1) : (at + (forward ? 1 : count - 1)) % count;
    chain[target]->setFocus(forward ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}

} // namespace kestrelamp::toolkit
