#pragma once

#include <QColor>
#include <QIcon>
#include <QPalette>

namespace kestrelamp::toolkit {

// The program's own icon: the installed theme icon, else the drawing compiled in.
QIcon programIcon();

inline const QString kMenuBarIconResource = QStringLiteral(":/images/menubar-icon.svg");
// The tray drawing's name in the icon theme (installed as a hicolor symbolic icon).
inline const QString kTrayIconName = QStringLiteral("com.kestrelamp.Kestrelamp-symbolic");

enum class TrayGlyph {
    plain,
    // Ringed in the contrasting colour, for a panel whose colour nobody tells us.
    outlined,
};

// The tray icon as we draw it: the monochrome drawing in one colour, rendered at whatever size
// is asked, so that it stays sharp at every scale; the "speaker.wave.2" symbol when the drawing
// cannot be read.
QIcon menuBarIcon(const QColor& color, TrayGlyph glyph = TrayGlyph::plain,
                  const QString& resourcePath = kMenuBarIconResource);
// The tray icon by its theme name, for panels that draw it themselves and recolour symbolic
// icons to match; the outlined drawing where no theme has it.
QIcon themedTrayIcon(const QColor& fallbackColor);
// The drawing alone; null when the resource is missing or unreadable.
QIcon menuBarDrawing(const QString& resourcePath = kMenuBarIconResource);

// For an application without an icon of its own: the theme's generic program icon, else ours.
QIcon genericApplicationIcon();

} // namespace kestrelamp::toolkit
