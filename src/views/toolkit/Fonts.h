#pragma once

// Text styles of the views: the application font at a pixel size, so that sizes are
// device-independent pixels whatever the desktop's point size is.

#include <QFont>

namespace kestrelamp::toolkit {

enum class FontWeight { regular, medium, semibold, bold };

QFont systemFont(int pixelSize, FontWeight weight = FontWeight::regular);
// Section captions ("DEFAULT", "RECORDING"): bold, a little spaced.
QFont captionFont(int pixelSize);
// The fixed-pitch family of the desktop, for figures that must not jitter as they change.
QFont monospacedFont(int pixelSize, FontWeight weight = FontWeight::regular);

} // namespace kestrelamp::toolkit
