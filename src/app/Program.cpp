#include "app/Program.h"

#include "app/AudioWorld.h"
#include "app/CommandLine.h"
#include "app/ControlClient.h"
#include "app/Listing.h"
#include "app/RemoteControlService.h"
#include "app/Screenshot.h"
#include "app/SingleInstance.h"
#include "model/AudioRouteManager.h"
#include "platform/StoredFile.h"
#include "platform/TerminationSignals.h"
#include "platform/UserDefaults.h"

#include <QApplication>
#include <QCoreApplication>

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

// Until the tray exists the normal mode runs like this too. The tray connects the control
// service's showRequested() to its popover; headless, a request to show does nothing.
int runHeadless(AudioWorld& world, SingleInstance& instance) {
    UserDefaults defaults;
    AudioRouteManager manager(*world.hardware, *world.runningApplications, defaults,
                              kestrelampDataFolder());
    RemoteControlService control(manager, world.simulation);
    if (const auto handedOver = instance.claim(control)) {
        return *handedOver;
    }
    QObject::connect(&control, &RemoteControlService::quitRequested, qApp, &QCoreApplication::quit);
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::terminationRequested, qApp,
                     &QCoreApplication::quit);
    world.startClock();
    const int status = QCoreApplication::exec();
    manager.stopAll();
    return status;
}

int runScreenshot(int argc, char** argv, const CommandLineOptions& options) {
    prepareScreenshotEnvironment();
    QApplication app(argc, argv);
    const auto states = screenshotStates(options.simulateScenario);
    if (!states) {
        std::cerr << "kestrelamp: " << states.error().message << "\n";
        return kUsageError;
    }
    auto world = openAudioWorld(options.simulateScenario);
    if (!world) {
        std::cerr << "kestrelamp: " << world.error().description << "\n";
        return kUsageError;
    }
    const auto image = renderAppList(*options.screenshot, *world, *states);
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

    QCoreApplication app(argc, argv);
    // Listings are one-shot tools beside a running instance, not instances.
    std::optional<SingleInstance> instance;
    if (options->listing == ListingRequest::none) {
        instance.emplace();
        if (const auto handedOver = instance->handOverToRunningInstance()) {
            return *handedOver;
        }
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
    return runHeadless(*world, *instance);
}

} // namespace kestrelamp
