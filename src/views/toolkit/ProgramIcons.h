#pragma once

#include <QIcon>
#include <QPalette>

namespace kestrelamp::toolkit {

// The program's own icon: the installed theme icon, else the drawing compiled in.
QIcon programIcon();

// The tray icon: our monochrome drawing in the palette's text colour, or, when the drawing
// cannot be read, the "speaker.wave.2" symbol.
QIcon menuBarIcon(const QPalette& palette);
// The drawing alone; null when the resource is missing or unreadable.
QIcon menuBarDrawing(const QString& resourcePath = QStringLiteral(":/images/menubar-icon.svg"));

} // namespace kestrelamp::toolkit
