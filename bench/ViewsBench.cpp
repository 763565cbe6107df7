// Opening the application list with many applications, and the list's share of every level
// delivery while it is open.

#include "engine/hal/SimulatedScenario.h"
#include "model/AudioRouteManager.h"
#include "platform/ScreenCapturePermission.h"
#include "platform/UserDefaults.h"
#include "views/AppListView.h"

#include "BenchmarkRun.h"

#include <QApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

namespace kestrelamp {
namespace {

std::string scenario(int apps) {
    std::string processes;
    std::string running;
    for (int i = 0; i < apps; ++i) {
        const std::string id = "org.example.App" + std::to_string(i);
        const std::string sep = i ? "," : "";
        processes += sep + R"({ "bundleID": ")" + id + R"(", "pid": )" + std::to_string(1000 + i) +
                     R"(, "signal": { "type": "sine", "frequency": 440, "amplitude": 0.3 } })";
        running += sep + R"({ "bundleID": ")" + id + R"(", "name": "Application )" +
                   std::to_string(i) + R"(", "icon": "multimedia-player" })";
    }
    return R"({ "processes": [)" + processes + R"(], "runningApps": [)" + running +
           R"(], "devices": [ { "uid": "speakers", "name": "Speakers", "transport": "bltn",
           "sampleRate": 48000 } ], "defaultOutput": "speakers" })";
}

struct World {
    explicit World(int apps)
        : simulated(hal::makeSimulatedWorld(*hal::parseScenario(scenario(apps))))
        , defaults(home.filePath("defaults.conf"))
        , manager(*simulated.hardware, *simulated.runningApplications, defaults,
                  home.filePath("Kestrelamp")) {}

    QTemporaryDir home;
    hal::SimulatedWorld simulated;
    UserDefaults defaults;
    AudioRouteManager manager;
    LinuxScreenCapturePermission permission;
};

std::unique_ptr<AppListView> openList(World& world) {
    auto list = std::make_unique<AppListView>(world.manager, world.permission);
    list->setAttribute(Qt::WA_DontShowOnScreen);
    list->resize(320, 420);
    list->show();
    QCoreApplication::processEvents();
    return list;
}

void BM_OpenAppList(benchmark::State& state) {
    World world(int(state.range(0)));
    openList(world); // icon theme and fonts loaded once, as in a running program
    for (auto _ : state) {
        auto list = openList(world);
        benchmark::DoNotOptimize(list->rows().size());
    }
    state.SetItemsProcessed(state.range(0) * state.iterations());
}
BENCHMARK(BM_OpenAppList)->Arg(20)->Arg(200)->Unit(benchmark::kMillisecond);

void BM_LevelDeliveryWithOpenList(benchmark::State& state) {
    World world(200);
    constexpr int kRouted = 8;
    for (int i = 0; i < kRouted; ++i) {
        world.manager.setOutputDevices("org.example.App" + std::to_string(i), {"speakers"});
    }
    auto list = openList(world);
    float level = -40.0f;
    for (auto _ : state) {
        for (const auto& [key, engine] : world.manager.eqProcessor().engines()) {
            engine->levels.push(level);
        }
        world.manager.eqProcessor().deliverLevels();
        level = level < -5.0f ? level + 1.0f : -40.0f;
    }
    state.SetItemsProcessed(kRouted * state.iterations());
}
BENCHMARK(BM_LevelDeliveryWithOpenList);

} // namespace
} // namespace kestrelamp

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    return kestrelamp::bench::runBenchmarks(argc, argv);
}
