#pragma once

namespace kestrelamp {

// Whether the desktop composites windows, so that a translucent window shows what lies behind
// it: always on Wayland; on X11 when a compositing manager owns the _NET_WM_CM_Sn selection of
// the screen. Needs a QGuiApplication.
bool desktopComposites();

} // namespace kestrelamp
