#pragma once

#include "app/PopoverWindow.h"
#include "app/TrayIcon.h"
#include "app/UpdateAlerts.h"
#include "app/UpdaterManager.h"
#include "app/UpdaterSettings.h"
#include "model/AudioRouteManager.h"
#include "platform/ScreenCapturePermission.h"

#include <QObject>

#include <functional>
#include <memory>
#include <optional>

class QKeyEvent;

namespace kestrelamp {

struct AppDelegateOptions {
    // Whether the desktop has a tray; asked of the desktop when unset.
    std::optional<bool> trayAvailable;
    int backgroundCheckDelayMs = 5000;
    // The update controller; the real one, reporting to the delegate's alerts, when empty.
    UpdaterManager::ControllerFactory updaterController;
    // For the real one: the program that downloads the feed (kestrelamp-fetch-feed); without one
    // every check fails.
    QString feedProgram;
    // Ends the event loop once the routes are down.
    std::function<void()> terminate;
};

// The program's shell: owns the route manager and the updater for the whole run, puts the tray
// icon and the popover up once the event loop runs, offers the profile shortcuts and Ctrl+Q,
// checks for updates shortly after the start, and tears every route down before the program
// ends, however it is asked to.
class AppDelegate : public QObject {
    Q_OBJECT

public:
    AppDelegate(hal::AudioHardware& hardware, const RunningApplications& runningApplications,
                UserDefaults& userDefaults, const QString& storageFolder,
                ScreenCapturePermission& permission, AppDelegateOptions options = {},
                QObject* parent = nullptr);
    ~AppDelegate() override;

    // The start-up sequence; call it from the running event loop.
    void applicationDidFinishLaunching();
    // Routes down; safe to call more than once.
    void applicationWillTerminate();

    void togglePopover();
    void showPopover();
    void closePopover();
    bool isPopoverShown() const;
    void showSettings();
    // The popover's view as it is now, into a PNG file; the reason when it cannot be written.
    std::optional<std::string> drawPopover(const QString& path);
    // Every way of quitting ends here: routes down first, then the event loop.
    void quit();

    AudioRouteManager& routeManager() { return *routeManager_; }
    UpdaterManager& updaterManager() { return *updaterManager_; }
    UpdateAlerts& updateAlerts() { return alerts_; }
    UpdaterSettings& updaterSettings() { return *updaterSettings_; }
    PopoverWindow* popover() const { return popover_.get(); }
    TrayIcon* trayIcon() const { return tray_.get(); }
    bool hasTray() const { return tray_ != nullptr; }

    // The profile position (0 to 4) a key press selects: Ctrl, Alt and Shift held (Meta does
    // not matter) with one of the digit keys 1 to 5, recognised by the physical key where the
    // platform tells it, since Shift changes the character the key produces.
    static std::optional<std::size_t> profileShortcutPosition(const QKeyEvent& event,
                                                              bool physicalKeyCodes);
    // Whether key events carry XKB key codes (X11, Wayland).
    static bool platformHasPhysicalKeyCodes();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool handleKeyPress(const QKeyEvent& event);
    void createPopover(PopoverWindow::Presentation presentation);
    void tracePopover() const;
    void updateTrayStatus();

    ScreenCapturePermission& permission_;
    AppDelegateOptions options_;
    UpdateAlerts alerts_;
    std::unique_ptr<AudioRouteManager> routeManager_;
    std::unique_ptr<UpdaterManager> updaterManager_;
    std::unique_ptr<UpdaterSettings> updaterSettings_;
    std::unique_ptr<TrayIcon> tray_;
    std::unique_ptr<PopoverWindow> popover_;
    bool launched_ = false;
    bool quitting_ = false;
    bool physicalKeyCodes_ = false;
    bool tracing_ = false;
};

} // namespace kestrelamp
