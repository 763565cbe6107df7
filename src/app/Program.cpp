#include "app/Program.h"

#include "app/AudioWorld.h"
#include "app/CommandLine.h"
#include "app/Listing.h"
#include "app/Screenshot.h"
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

int runHeadless(AudioWorld& world) {
    UserDefaults defaults;
    AudioRouteManager manager(*world.hardware, *world.runningApplications, defaults,
                              kestrelampDataFolder());
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
    auto world = openAudioWorld(options->simulateScenario);
    if (!world) {
        std::cerr << "kestrelamp: " << world.error().description << "\n";
        return kUsageError;
    }
    if (options->listing != ListingRequest::none) {
        std::cout << listingJson(options->listing, *world) << "\n";
        return 0;
    }
    return runHeadless(*world);
}

} // namespace kestrelamp
