// Start-up with large settings files: the route manager's construction (both files read and
// decoded, the first refresh) with 10,000 entries in appStates.json and in profiles.json, and the
// two decoders alone.

#include "engine/hal/SimulatedScenario.h"
#include "model/AudioRouteManager.h"
#include "platform/UserDefaults.h"
#include "profiles/AudioProfile.h"

#include "BenchmarkRun.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace kestrelamp {
namespace {

constexpr const char* kScenario = R"({ "processes": [], "runningApps": [],
    "devices": [ { "uid": "speakers", "name": "Speakers", "transport": "bltn",
                   "sampleRate": 48000 } ], "defaultOutput": "speakers" })";

AppAudioState stateNumber(int i) {
    AppAudioState state;
    state.id = "org.example.Application" + std::to_string(i);
    state.displayName = "Application " + std::to_string(i);
    state.volume = 0.5f;
    state.outputDeviceUIDs = {"speakers"};
    state.eqPresetID = QUuid::createUuid();
    state.boostMultiplier = 2;
    return state;
}

std::string statesFile(int entries) {
    std::vector<AppAudioState> states;
    for (int i = 0; i < entries; ++i) {
        states.push_back(stateNumber(i));
    }
    return encodeAppAudioStates(states);
}

// Each profile with three routes, as a set-up of a few players would have.
std::string profilesFile(int entries) {
    std::vector<AudioProfile> profiles;
    for (int i = 0; i < entries; ++i) {
        AudioProfile profile;
        profile.id = QUuid::createUuid();
        profile.name = "Profile " + std::to_string(i);
        profile.icon = "music.note";
        profile.routes = {stateNumber(i), stateNumber(i + 1), stateNumber(i + 2)};
        profile.defaultOutputUID = "speakers";
        profiles.push_back(std::move(profile));
    }
    return encodeAudioProfiles(profiles);
}

void write(const QString& path, const std::string& bytes) {
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(bytes.data(), qint64(bytes.size()));
}

void BM_StartWithLargeSettings(benchmark::State& state) {
    const int entries = int(state.range(0));
    QTemporaryDir home;
    const QString folder = home.filePath("Kestrelamp");
    QDir().mkpath(folder);
    write(folder + "/appStates.json", statesFile(entries));
    write(folder + "/profiles.json", profilesFile(entries));
    hal::SimulatedWorld world = hal::makeSimulatedWorld(*hal::parseScenario(kScenario));
    UserDefaults defaults(home.filePath("defaults.conf"));
    for (auto _ : state) {
        AudioRouteManager manager(*world.hardware, *world.runningApplications, defaults, folder);
        if (manager.appStates().size() != std::size_t(entries) ||
            manager.profileManager().profiles().size() != std::size_t(entries)) {
            state.SkipWithError("the files did not load");
        }
    }
}
BENCHMARK(BM_StartWithLargeSettings)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_DecodeStates(benchmark::State& state) {
    const std::string bytes = statesFile(int(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(decodeAppAudioStates(bytes));
    }
    state.SetBytesProcessed(std::int64_t(bytes.size()) * state.iterations());
}
BENCHMARK(BM_DecodeStates)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_DecodeProfiles(benchmark::State& state) {
    const std::string bytes = profilesFile(int(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(decodeAudioProfiles(bytes));
    }
    state.SetBytesProcessed(std::int64_t(bytes.size()) * state.iterations());
}
BENCHMARK(BM_DecodeProfiles)->Arg(10000)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace kestrelamp

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return kestrelamp::bench::runBenchmarks(argc, argv);
}
