#include "app/Program.h"

#include "app/AppDelegate.h"
#include "app/AudioWorld.h"
#include "app/CommandLine.h"
#include "app/ControlClient.h"
#include "app/Listing.h"
#include "app/RemoteControlService.h"
#include "app/Screenshot.h"
#include "app/SingleInstance.h"
#include "model/AudioRouteManager.h"
#include "platform/FeedDownloadProcess.h"
#include "platform/FileAccess.h"
#include "platform/StoredFile.h"
#include "platform/TerminationSignals.h"
#include "platform/UserDefaults.h"
#include "views/SettingsWindow.h"
#include "views/toolkit/ProgramIcons.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <iostream>

namespace kestrelamp {
namespace {

constexpr int kUsageError = 2;

QStringList argumentList(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    return arguments;
}

// Without tray or windows: a request to show the popover does nothing.
int runHeadless(AudioWorld& world, SingleInstance& instance) {
    // Before anything is routed: a termination while starting still tears the routes down.
    TerminationSignals termination;
    UserDefaults defaults;
    AudioRouteManager manager(*world.hardware, *world.runningApplications, defaults,
                              kestrelampDataFolder());
    RemoteControlService control(manager, world.simulation);
    if (const auto handedOver = instance.claim(control)) {
        return *handedOver;
    }
    QObject::connect(&control, &RemoteControlService::quitRequested, QCoreApplication::instance(),
                     &QCoreApplication::quit);
    QObject::connect(&termination, &TerminationSignals::terminationRequested,
                     QCoreApplication::instance(), &QCoreApplication::quit);
    world.startClock();
    const int status = QCoreApplication::exec();
    manager.stopAll();
    return status;
}

// The tray utility: the delegate puts the icon and the popover up once the loop runs.
int runGui(AudioWorld& world, SingleInstance& instance) {
    QGuiApplication::setDesktopFileName(QStringLiteral("com.kestrelamp.Kestrelamp"));
    QApplication::setWindowIcon(toolkit::programIcon());
    TerminationSignals termination;
    UserDefaults defaults;
    LinuxScreenCapturePermission permission;
    AppDelegateOptions options;
    // The feed comes through a program of its own, which keeps the network and TLS libraries
    // out of this one.
    options.feedProgram = QCoreApplication::applicationDirPath() + QLatin1Char('/') +
                          QLatin1String(FeedDownloadProcess::programName);
    AppDelegate delegate(*world.hardware, *world.runningApplications, defaults,
                         kestrelampDataFolder(), permission, std::move(options));
    RemoteControlService control(delegate.routeManager(), world.simulation);
    if (const auto handedOver = instance.claim(control)) {
        return *handedOver;
    }
    QObject::connect(&control, &RemoteControlService::showRequested, &delegate,
                     &AppDelegate::showPopover);
    control.setPopoverDrawer(
        [&delegate](const QString& path) { return delegate.drawPopover(path); });
    QObject::connect(&control, &RemoteControlService::quitRequested, &delegate, &AppDelegate::quit);
    QObject::connect(&termination, &TerminationSignals::terminationRequested, &delegate,
                     &AppDelegate::quit);
    world.startClock();
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    const int status = QApplication::exec();
    delegate.applicationWillTerminate();
    SettingsWindowController::shared().reset();
    return status;
}

int runScreenshot(int argc, char** argv, const CommandLineOptions& options) {
    prepareScreenshotEnvironment();
    QApplication app(argc, argv);
    auto world = openAudioWorld(options.simulateScenario);
    if (!world) {
        std::cerr << "kestrelamp: " << world.error().description << "\n";
        return kUsageError;
    }
    const auto image = renderScreenshot(*options.screenshot, *world, options.simulateScenario);
    if (!image) {
        std::cerr << "kestrelamp: " << image.error().message << "\n";
        return kUsageError;
    }
    const QString path = QString::fromStdString(options.screenshot->outputPath);
    if (!image->save(path, "PNG")) {
        std::cerr << "kestrelamp: --screenshot: cannot write '" << options.screenshot->outputPath
                  << "'\n";
        return kUsageError;
    }
    return 0;
}

} // namespace

int runProgram(int argc, char** argv) {
    QCoreApplication::setApplicationName("kestrelamp");
    QCoreApplication::setApplicationVersion(KESTRELAMP_VERSION);
    ignoreFileSizeLimitSignal();
    if (argc > 1 && QLatin1String(argv[1]) == QLatin1String("ctl")) {
        QCoreApplication app(argc, argv);
        return runControlClient(argumentList(argc, argv).mid(2));
    }
    const auto options = parseCommandLine(argumentList(argc, argv));
    if (!options) {
        std::cerr << "kestrelamp: " << options.error().message << "\n";
        return kUsageError;
    }
    if (options->showHelp) {
        std::cout << commandLineHelp();
        return 0;
    }
    if (options->showVersion) {
        std::cout << "kestrelamp " << KESTRELAMP_VERSION << "\n";
        return 0;
    }

    if (options->screenshot) {
        return runScreenshot(argc, argv, *options);
    }

    // Listings and headless runs need no display.
    const bool gui = options->listing == ListingRequest::none && !options->headless;
    const bool hasDisplay = !qEnvironmentVariableIsEmpty("DISPLAY") ||
                            !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
                            !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    std::unique_ptr<QCoreApplication> app;
    if (gui && hasDisplay) {
        app = std::make_unique<QApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    // Listings are one-shot tools beside a running instance, not instances.
    std::optional<SingleInstance> instance;
    if (options->listing == ListingRequest::none) {
        instance.emplace();
        if (const auto handedOver = instance->handOverToRunningInstance()) {
            return *handedOver;
        }
    }
    if (gui && !hasDisplay) {
        std::cerr << "kestrelamp: no display to show the tray icon on; --headless runs without\n";
        return kUsageError;
    }
    auto world = openAudioWorld(options->simulateScenario);
    if (!world) {
        std::cerr << "kestrelamp: " << world.error().description << "\n";
        return kUsageError;
    }
    if (options->listing != ListingRequest::none) {
        std::cout << listingJson(options->listing, *world) << "\n";
        return 0;
    }
    return options->headless ? runHeadless(*world, *instance) : runGui(*world, *instance);
}

} // namespace kestrelamp
