#pragma once

#include <QObject>
#include <QRect>

class QMenu;
class QSystemTrayIcon;

namespace kestrelamp {

// The icon in the desktop's tray: a left click asks for the popover, a right click opens the
// menu (open, "Settings", "Quit Kestrelamp").
class TrayIcon : public QObject {
    Q_OBJECT

public:
    explicit TrayIcon(QObject* parent = nullptr);
    ~TrayIcon() override;

    QSystemTrayIcon* systemTrayIcon() const { return tray_; }
    QMenu* menu() const { return menu_; }
    // Where the icon is on screen; the pointer's position when the tray does not say.
    QRect anchor() const;

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
