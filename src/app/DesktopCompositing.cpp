#include "app/DesktopCompositing.h"

#include <QGuiApplication>

#ifdef KESTRELAMP_HAVE_XCB
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>
#endif

namespace kestrelamp {
namespace {

#ifdef KESTRELAMP_HAVE_XCB
bool x11SelectionOwned(xcb_connection_t* connection, int screen) {
    const std::string name = "_NET_WM_CM_S" + std::to_string(screen);
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
        xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, std::uint16_t(name.size()), name.c_str()),
            nullptr),
        &std::free);
    if (!atom) {
        return false;
    }
    const std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom),
                                      nullptr),
        &std::free);
    return owner && owner->owner != XCB_NONE;
}
#endif

} // namespace

bool desktopComposites() {
    const QString platform = QGuiApplication::platformName();
    if (platform.startsWith(QLatin1String("wayland"))) {
        return true;
    }
#ifdef KESTRELAMP_HAVE_XCB
    if (platform == QLatin1String("xcb")) {
        auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
        if (x11 && x11->connection()) {
            // The default screen of the display the program was started on.
            const QByteArray display = qgetenv("DISPLAY");
            const int dot = display.lastIndexOf('.');
            const int colon = display.lastIndexOf(':');
            const int screen = dot > colon ? display.mid(dot + 1).toInt() : 0;
            return x11SelectionOwned(x11->connection(), screen);
        }
    }
#endif
    return false;
}

} // namespace kestrelamp
