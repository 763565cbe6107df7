#include "app/AppDelegate.h"

#include "app/Screenshot.h"
#include "views/AppListView.h"
#include "views/AppRowView.h"
#include "views/SettingsWindow.h"

#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPointer>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>

namespace kestrelamp {
namespace {

// XKB key codes of the digit row's keys 1 to 5 (evdev codes 2 to 6, plus 8).
constexpr quint32 kFirstDigitKeyCode = 10;
constexpr quint32 kLastDigitKeyCode = 14;
constexpr std::size_t kShortcutCount = 5;

// Sharp on high-density screens, as the --screenshot pictures are.
constexpr qreal kDrawingScale = 2.0;

constexpr const char* kTraceVariable = "KESTRELAMP_TRACE_POPOVER";

// Without key codes: the digits, and what Shift makes of them on the common layouts.
std::optional<std::size_t> positionOfKey(int key) {
    switch (key) {
    case Qt::Key_1:
    case Qt::Key_Exclam:
        return 0;
    case Qt::Key_2:
    case Qt::Key_At:
        return 1;
    case Qt::Key_3:
    case Qt::Key_NumberSign:
        return 2;
    case Qt::Key_4:
    case Qt::Key_Dollar:
        return 3;
    case Qt::Key_5:
    case Qt::Key_Percent:
        return 4;
    default:
        return std::nullopt;
    }
}

} // namespace

AppDelegate::AppDelegate(hal::AudioHardware& hardware,
                         const RunningApplications& runningApplications, UserDefaults& userDefaults,
                         const QString& storageFolder, ScreenCapturePermission& permission,
                         AppDelegateOptions options, QObject* parent)
    : QObject(parent)
    , permission_(permission)
    , options_(std::move(options)) {
    if (!options_.terminate) {
        options_.terminate = [] { QCoreApplication::quit(); };
    }
    routeManager_ = std::make_unique<AudioRouteManager>(hardware, runningApplications, userDefaults,
                                                        storageFolder);
    updaterManager_ = std::make_unique<UpdaterManager>(
        options_.updaterController
            ? options_.updaterController
            : UpdaterManager::standardControllerFactory(alerts_, options_.feedProgram));
    updaterSettings_ = std::make_unique<UpdaterSettings>(*updaterManager_);
    physicalKeyCodes_ = platformHasPhysicalKeyCodes();
    tracing_ = !qEnvironmentVariableIsEmpty(kTraceVariable);
}

AppDelegate::~AppDelegate() {
    if (QCoreApplication* app = QCoreApplication::instance()) {
        app->removeEventFilter(this);
    }
    applicationWillTerminate();
    if (SettingsWindowController::shared().updater() == updaterSettings_.get()) {
        SettingsWindowController::shared().reset();
    }
    alerts_.setTrayIcon(nullptr);
    popover_.reset();
    tray_.reset();
}

void AppDelegate::applicationDidFinishLaunching() {
    if (launched_) {
        return;
    }
    launched_ = true;
    if (!permission_.preflight()) {
        permission_.request();
    }
    qApp->installEventFilter(this);
    // Hidden windows (the settings window, a closed popover) must not end the program.
    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        gui->setQuitOnLastWindowClosed(false);
    }
    connect(qApp, &QCoreApplication::aboutToQuit, this, &AppDelegate::applicationWillTerminate);

    const bool trayAvailable =
        options_.trayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable());
    if (trayAvailable) {
        tray_ = std::make_unique<TrayIcon>();
        alerts_.setTrayIcon(tray_->systemTrayIcon());
        connect(tray_.get(), &TrayIcon::toggleRequested, this, &AppDelegate::togglePopover);
        connect(tray_.get(), &TrayIcon::openRequested, this, &AppDelegate::showPopover);
        connect(tray_.get(), &TrayIcon::settingsRequested, this, &AppDelegate::showSettings);
        connect(tray_.get(), &TrayIcon::quitRequested, this, &AppDelegate::quit);
        connect(routeManager_.get(), &AudioRouteManager::routeStatesChanged, this,
                &AppDelegate::updateTrayStatus);
        ProfileManager* profiles = &routeManager_->profileManager();
        connect(profiles, &ProfileManager::activeProfileIDChanged, this,
                &AppDelegate::updateTrayStatus);
        connect(profiles, &ProfileManager::profilesChanged, this, &AppDelegate::updateTrayStatus);
        updateTrayStatus();
        createPopover(PopoverWindow::Presentation::attached);
    } else {
        std::printf("No system tray is available: Kestrelamp opens as a window.\n");
        std::fflush(stdout);
        createPopover(PopoverWindow::Presentation::window);
        showPopover();
    }

    QTimer::singleShot(options_.backgroundCheckDelayMs, this, [this] {
        if (updaterManager_->controller()) {
            updaterManager_->checkForUpdatesInBackground();
        }
    });
}

void AppDelegate::createPopover(PopoverWindow::Presentation presentation) {
    popover_ = std::make_unique<PopoverWindow>(*routeManager_, permission_, presentation);
    MainPopoverView* view = popover_->view();
    connect(view, &MainPopoverView::settingsRequested, this, &AppDelegate::showSettings);
    connect(view, &MainPopoverView::quitRequested, this, &AppDelegate::quit);
    // Without a tray the window is the program's only face: closing it hides it and routing
    // goes on; a second start or `ctl show` brings it back, its quit button ends the program.
    connect(popover_.get(), &PopoverWindow::closeRequested, this, &AppDelegate::closePopover);
    // The rows' meters move only while someone can see them.
    connect(popover_.get(), &PopoverWindow::opened, routeManager_.get(),
            [manager = routeManager_.get()] { manager->setLevelsWatched(true); });
    connect(popover_.get(), &PopoverWindow::closed, routeManager_.get(),
            [manager = routeManager_.get()] { manager->setLevelsWatched(false); });
    if (tracing_) {
        connect(routeManager_.get(), &AudioRouteManager::audioAppsChanged, this,
                &AppDelegate::tracePopover, Qt::QueuedConnection);
    }
}

void AppDelegate::applicationWillTerminate() {
    routeManager_->stopAll();
}

void AppDelegate::togglePopover() {
    if (isPopoverShown()) {
        closePopover();
    } else if (!popover_ || !popover_->justClosedByFocusLoss()) {
        showPopover();
    }
}

void AppDelegate::showPopover() {
    if (!popover_) {
        return;
    }
    routeManager_->refreshAudioApps();
    const QRect anchor = tray_ ? tray_->anchor() : QRect();
    if (popover_->presentation() == PopoverWindow::Presentation::attached && anchor.isValid()) {
        const QScreen* screen = QGuiApplication::screenAt(anchor.center());
        if (!screen) {
            screen = QGuiApplication::primaryScreen();
        }
        popover_->showAttached(anchor, screen ? screen->availableGeometry() : QRect());
    } else {
        popover_->present();
    }
    tracePopover();
}

void AppDelegate::updateTrayStatus() {
    if (tray_) {
        tray_->setStatus(TrayIcon::statusText(*routeManager_));
    }
}

std::optional<std::string> AppDelegate::drawPopover(const QString& path) {
    if (!popover_) {
        return "The popover is not there yet.";
    }
    const QImage image = drawWidget(*popover_->view(), kDrawingScale);
    if (!image.save(path, "PNG")) {
        return "Cannot write '" + path.toStdString() + "'.";
    }
    return std::nullopt;
}

void AppDelegate::closePopover() {
    if (popover_) {
        popover_->hide();
    }
}

bool AppDelegate::isPopoverShown() const {
    return popover_ && popover_->isVisible();
}

void AppDelegate::showSettings() {
    if (popover_ && popover_->presentation() == PopoverWindow::Presentation::attached) {
        closePopover();
    }
    SettingsWindowController& settings = SettingsWindowController::shared();
    QPointer<AudioRouteManager> manager(routeManager_.get());
    settings.setMicrophoneList([manager] {
        std::vector<std::pair<QString, QString>> microphones;
        if (!manager) {
            return microphones;
        }
        for (const AudioDeviceInfo& device : manager->deviceEnumerator().getAllDevices()) {
            if (device.hasInput && device.uid != hal::kCallMixDeviceUID) {
                microphones.emplace_back(QString::fromStdString(device.uid),
                                         QString::fromStdString(device.name));
            }
        }
        return microphones;
    });
    settings.showSettings(updaterSettings_.get());
}

void AppDelegate::quit() {
    if (quitting_) {
        return;
    }
    quitting_ = true;
    applicationWillTerminate();
    closePopover();
    options_.terminate();
}

bool AppDelegate::platformHasPhysicalKeyCodes() {
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("xcb") || platform.startsWith(QLatin1String("wayland"));
}

std::optional<std::size_t> AppDelegate::profileShortcutPosition(const QKeyEvent& event,
                                                                bool physicalKeyCodes) {
    const Qt::KeyboardModifiers required =
        Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier;
    if ((event.modifiers() & required) != required) {
        return std::nullopt;
    }
    if (physicalKeyCodes && event.nativeScanCode() != 0) {
        const quint32 code = event.nativeScanCode();
        if (code < kFirstDigitKeyCode || code > kLastDigitKeyCode) {
            return std::nullopt;
        }
        return std::size_t(code - kFirstDigitKeyCode);
    }
    if (event.modifiers() & Qt::KeypadModifier) {
        return std::nullopt;
    }
    return positionOfKey(event.key());
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        return handleKeyPress(static_cast<const QKeyEvent&>(*event));
    }
    return QObject::eventFilter(watched, event);
}

bool AppDelegate::handleKeyPress(const QKeyEvent& event) {
    // Ctrl+Q whatever the platform theme's key bindings say.
    const bool quitKeys = event.key() == Qt::Key_Q &&
                          (event.modifiers() & ~Qt::KeypadModifier) == Qt::ControlModifier;
    if (quitKeys || event.matches(QKeySequence::Quit)) {
        quit();
        return true;
    }
    const auto position = profileShortcutPosition(event, physicalKeyCodes_);
    if (!position || *position >= kShortcutCount) {
        return false;
    }
    const std::vector<AudioProfile>& profiles = routeManager_->profileManager().profiles();
    if (*position >= profiles.size()) {
        return false;
    }
    // A held key repeats; the profile is applied once.
    if (!event.isAutoRepeat()) {
        routeManager_->applyProfile(AudioProfile(profiles[*position]));
    }
    return true;
}

void AppDelegate::tracePopover() const {
    if (!tracing_ || !isPopoverShown()) {
        return;
    }
    QStringList names;
    if (const AppListView* list = popover_->view()->appList()) {
        for (const AppRowView* row : list->rows()) {
            names << QString::fromStdString(row->app().displayName);
        }
    }
    std::printf("[Popover] shown %dx%d, apps: %s\n", popover_->width(), popover_->height(),
                names.join(QStringLiteral(", ")).toUtf8().constData());
    std::fflush(stdout);
}

} // namespace kestrelamp
