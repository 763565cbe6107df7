#pragma once

// Symbol images by the names the views use ("pin.fill", "speaker.wave.2", ...). One table maps
// each name to a freedesktop icon-theme name, or to an icon of our own where the themes have
// none. Symbols are drawn as one-colour silhouettes in the colour the view asks for.

#include "model/AudioModel.h"

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

#include <optional>
#include <string>
#include <vector>

namespace kestrelamp::toolkit {

struct SymbolEntry {
    const char* name;
    // Looked up in the desktop's icon theme (Adwaita as the fallback theme); may be null.
    const char* themeIcon;
    // Our own drawing, compiled in; used when the theme has no such icon. May be null.
    const char* resource;
};

const std::vector<SymbolEntry>& symbolTable();

// Icon themes searched as a desktop would, Adwaita standing in where the platform names none.
void ensureIconTheme();
bool isKnownSymbol(const QString& name);

// The untinted source image; null for a name outside the table or one no theme can draw.
QIcon symbolSourceIcon(const QString& name);

// The symbol as a silhouette in one colour, at a logical size and device pixel ratio; cached.
QPixmap symbolPixmap(const QString& name, QSize logicalSize, const QColor& color,
                     qreal devicePixelRatio);

// An icon that draws the silhouette in the given colour at any size, for menus and actions.
QIcon tintedSymbolIcon(const QString& name, const QColor& color);

// Square edge, in pixels, of a symbol set beside text of the given pixel size.
int symbolPixelSize(int fontPixelSize);

// The symbol shown for an output device, by its transport.
const char* transportSymbol(AudioDeviceTransportType type);

// An application's icon from its icon-theme name or absolute file path; null when it has none or
// the image cannot be found (genericApplicationIcon() stands in then).
QIcon applicationIcon(const std::optional<std::string>& icon);

} // namespace kestrelamp::toolkit
