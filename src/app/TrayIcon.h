#pragma once

#include <QObject>
#include <QRect>
#include <QString>

class QMenu;
class QSystemTrayIcon;

namespace kestrelamp {

class AudioRouteManager;

// The icon in the desktop's tray: a left click asks for the popover, a right click opens the
// menu (open, "Settings", "Quit Kestrelamp"); its tooltip tells what is routed.
class TrayIcon : public QObject {
    Q_OBJECT

public:
    explicit TrayIcon(QObject* parent = nullptr);
    ~TrayIcon() override;

    QSystemTrayIcon* systemTrayIcon() const { return tray_; }
    QMenu* menu() const { return menu_; }
    // Where to open the popover: the icon when the tray says where it is, else the pointer's
    // position when the icon was clicked (X11); invalid where no position can be chosen
    // (Wayland), and the window goes where the compositor puts it.
    QRect anchor() const;

    void setStatus(const QString& toolTip);
    // "Kestrelamp", then how many applications are routed (and how many wait or failed), then
    // the active profile.
    static QString statusText(const AudioRouteManager& manager);
    // Whether a StatusNotifierItem host runs: the tray then draws the icon itself, from its
    // theme name, rather than our picture in a window of the tray's.
    static bool statusNotifierHostPresent();

Q_SIGNALS:
    void toggleRequested();
    void openRequested();
    void settingsRequested();
    void quitRequested();

private:
    QSystemTrayIcon* tray_ = nullptr;
    QMenu* menu_ = nullptr;
    QRect lastPointer_;
};

} // namespace kestrelamp
