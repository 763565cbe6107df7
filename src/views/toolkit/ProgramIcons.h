#pragma once

#include <QIcon>
#include <QPalette>

namespace kestrelamp::toolkit {

// The program's own icon: the installed theme icon, else the drawing compiled in.
QIcon programIcon();

inline const QString kMenuBarIconResource = QStringLiteral(":/images/menubar-icon.svg");

// The tray icon: our monochrome drawing in the palette's text colour, 18 pixels square, or, when
// the drawing cannot be read, the "speaker.wave.2" symbol.
QIcon menuBarIcon(const QPalette& palette, const QString& resourcePath = kMenuBarIconResource);
// The drawing alone; null when the resource is missing or unreadable.
QIcon menuBarDrawing(const QString& resourcePath = kMenuBarIconResource);

} // namespace kestrelamp::toolkit
