// Routes that hold: stored choices and settings in effect at start, failures said once, profiles
// that keep absent applications, and what is written while a slider is dragged. Devices,
// applications and other clients coming and going, and the server connecting routes, are the
// real server's end-to-end cases (RoutesHoldOnPipeWireTests).

#include "RouteWorld.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <set>

namespace kestrelamp::test {
namespace {

const std::string kGone = "org.example.Gone";

// Player (1 kHz, 0.5) and Other (32 Hz, 0.25) together.
const float kBothTones = 10.0f * std::log10(0.5f * 0.5f / 2 + 0.25f * 0.25f / 2);

std::string stateText(AudioRouteManager& manager, const std::string& bundleID,
                      const std::string& uid) {
    const auto& states = manager.routeStates();
    const auto found = states.find(AudioRouteManager::routeKey(bundleID, uid));
    return found == states.end() ? "none" : found->second.text();
}

std::vector<std::string> chosen(AudioRouteManager& manager, const std::string& appID) {
    return manager.state(appID)->outputDeviceUIDs;
}

using RouteLifecycle = RouteWorldTest;

TEST(RouteLifecycleFromFile, StoredChoicesAreInEffectAtStartWithTheirSettings) {
    RouteWorld world(test::standardScenario(), false);
    const std::string stored = R"([
      {"id":"org.example.Player","displayName":"Player","volume":0.25,"isMuted":false,
       "boostMultiplier":2,"outputDeviceUIDs":["headphones"]},
      {"id":"org.example.Other","displayName":"Other","volume":1,"isMuted":false,
       "outputDeviceUIDs":["unplugged"]},
      {"id":"org.example.Gone","displayName":"Gone","volume":1,"isMuted":false,
       "outputDeviceUIDs":["hdmi"]},
      {"id":"org.example.Quiet","displayName":"Quiet","volume":1,"isMuted":false,
       "outputDeviceUIDs":["hdmi"],"isIgnored":true}
    ])";
    ASSERT_TRUE(writeFile(world.statesPath(), stored));
    const std::string output = captureStdout([&] { world.createManager(); });
    auto& manager = world.manager();

    EXPECT_EQ(stateText(manager, kPlayer, "headphones"), "active");
    EXPECT_EQ(stateText(manager, kHelper, "headphones"), "active");
    EXPECT_EQ(stateText(manager, kOther, "unplugged"), "waiting for the device");
    EXPECT_EQ(stateText(manager, kGone, "hdmi"), "waiting for the application");
    EXPECT_EQ(stateText(manager, "org.example.Quiet", "hdmi"), "none") << "ignored";
    // Only the listed application's wait is worth a line.
    EXPECT_EQ(output,
              "Route for org.example.Other|unplugged: Output device not found: unplugged\n");

    EXPECT_NEAR(world.levelOn("headphones"), sineLevel(0.5f * 0.25f * 2), 0.1f)
        << "stored volume and boost";
    EXPECT_NEAR(world.levelOn("speakers", 48000), sineLevel(0.25f), 0.1f)
        << "Other, whose device is missing, plays on the default; Player does not";
    EXPECT_EQ(readFile(world.statesPath()), stored) << "nothing is written without a change";
}

TEST_F(RouteLifecycle, AFailedRouteSaysWhyOnceAndIsTriedAgainOnlyWhenSomethingChanged) {
    const hal::OSStatus refused = hal::kAudioHardwareIllegalOperationError;
    world.hardware().failOperation(hal::SimulatedOperation::createAggregateDevice, refused);
    const std::string reason = "Failed to create aggregate device: operation not allowed ('nope')";
    EXPECT_EQ(captureStdout([&] { manager.setOutputDevices(kOther, {"hdmi"}); }),
              "Route for org.example.Other|hdmi: " + reason + "\n");
    EXPECT_EQ(stateText(manager, kOther, "hdmi"), "failed: " + reason);
    EXPECT_EQ(chosen(manager, kOther), std::vector<std::string>{"hdmi"}) << "the choice is kept";
    EXPECT_TRUE(world.hardware().taps().empty()) << "nothing of it holds the application";
    EXPECT_NEAR(world.levelOn("speakers", 48000), kBothTones, 0.1f);

    world.hardware().clearCallLog();
    EXPECT_EQ(captureStdout([&] {
                  manager.refreshAudioApps();
                  manager.updateAudioActivity();
              }),
              "");
    EXPECT_TRUE(world.hardware().callLog().empty()) << "a quiet tick does not try again";

    // The same list again builds what is missing.
    world.hardware().clearFailures();
    manager.setOutputDevices(kOther, {"hdmi"});
    EXPECT_EQ(stateText(manager, kOther, "hdmi"), "active");
    EXPECT_NEAR(world.levelOn("hdmi", 48000), sineLevel(0.25f), 0.1f);

    // An engine that does not start fails the route too; a new process is a reason to retry.
    world.hardware().failOperation(hal::SimulatedOperation::deviceStart, refused);
    const std::string engineFailure =
        captureStdout([&] { manager.addOutputDevice(kOther, "headphones"); });
    EXPECT_EQ(engineFailure.rfind("Route for org.example.Other|headphones: Audio config failed", 0),
              0u)
        << engineFailure;
    EXPECT_EQ(stateText(manager, kOther, "hdmi"), "active") << "the other device is untouched";
    EXPECT_EQ(builtRoutes(manager), std::set<std::string>{kOther + "|hdmi"});
    EXPECT_EQ(manager.eqProcessor().engine(kOther + "|headphones"), nullptr);
    EXPECT_EQ(world.hardware().ioProcs().size(), 1u) << "the failed start left its IO proc";
    world.hardware().clearFailures();
    world.hardware().addProcess({"org.example.New", 600, true, {}});
    EXPECT_TRUE(waitUntil([&] { return stateText(manager, kOther, "headphones") == "active"; }));
}

TEST_F(RouteLifecycle, AProfileKeepsItsRoutesAndTheApplicationsThatAreNotPlaying) {
    manager.setOutputDevices(kPlayer, {"headphones"});
    AudioProfile profile = manager.saveCurrentAsProfile("Evening", "film");
    AppAudioState gone;
    gone.id = kGone;
    gone.outputDeviceUIDs = {"hdmi"};
    profile.routes.push_back(gone);
    manager.profileManager().updateProfile(profile);

    for (int time = 0; time < 2; ++time) {
        const auto tapsBefore = world.hardware().taps();
        manager.applyProfile(manager.profileManager().profiles().front());
        const auto& stored = manager.profileManager().profiles().front().routes;
        EXPECT_TRUE(std::any_of(stored.begin(), stored.end(), [](const AppAudioState& s) {
            return s.id == kGone;
        })) << "an application that is not playing keeps its place in the profile";
        EXPECT_EQ(stateText(manager, kGone, "hdmi"), "waiting for the application");
        if (time == 1) {
            // Nothing was torn down: the same taps carry the same routes.
            EXPECT_EQ(world.hardware().taps().size(), tapsBefore.size());
            for (std::size_t i = 0; i < tapsBefore.size(); ++i) {
                EXPECT_EQ(world.hardware().taps()[i].id, tapsBefore[i].id);
            }
        }
    }
    // A helper that starts later is routed with its application.
    world.hardware().addProcess(
        {kPlayer + ".GPU", 600, true, hal::SimulatedSignal::sine(300, 0.1f)});
    manager.refreshAudioApps();
    EXPECT_EQ(stateText(manager, kPlayer + ".GPU", "headphones"), "active");

    // The meter of an application that no route plays any more falls silent (meters move while
    // someone looks at them).
    manager.setLevelsWatched(true);
    ASSERT_TRUE(waitUntil([&] {
        world.render(1);
        const auto level = manager.audioLevels().find(kPlayer);
        return level != manager.audioLevels().end() && level->second > kSilentLevel;
    }));
    manager.setOutputDevices(kPlayer, {});
    EXPECT_EQ(manager.audioLevels().at(kPlayer), kSilentLevel);
}

TEST_F(RouteLifecycle, ADragSavesAFewTimesASecondAndItsLastValueAlways) {
    manager.setOutputDevices(kPlayer, {"headphones"});
    manager.saveCurrentAsProfile("Active", "film");
    manager.applyProfile(manager.profileManager().profiles().front());
    const QString profilesPath = world.home().dataFolder() + "/profiles.json";

    std::string states = readFile(world.statesPath());
    std::string profiles = readFile(profilesPath);
    int statesWrites = 0;
    int profilesWrites = 0;
    const auto countWrites = [&] {
        if (const std::string now = readFile(world.statesPath()); now != states) {
            states = now;
            ++statesWrites;
        }
        if (const std::string now = readFile(profilesPath); now != profiles) {
            profiles = now;
            ++profilesWrites;
        }
    };
    // A pointer move every 10 ms for a second; every value differs, so every write shows.
    QElapsedTimer drag;
    drag.start();
    float volume = 0.0f;
    for (int move = 0; move < 100; ++move) {
        volume = 0.005f * float(move);
        manager.setVolume(kPlayer, volume);
        countWrites();
        waitUntil([] { return false; }, 10);
        countWrites();
    }
    const auto elapsedMs = drag.elapsed();
    // At most one save per throttle period, plus the one that starts the drag.
    const int bound = 2 + int(elapsedMs / AudioRouteManager::kSaveThrottleMs);
    EXPECT_GE(statesWrites, 2) << "the drag is saved while it goes on";
    EXPECT_LE(statesWrites, bound) << elapsedMs << " ms";
    EXPECT_LE(profilesWrites, bound) << elapsedMs << " ms";

    const auto savedVolume = [&](const std::string& bytes, bool isProfiles) {
        auto document = nlohmann::json::parse(bytes);
        const auto& list = isProfiles ? document.front()["routes"] : document;
        for (const auto& state : list) {
            if (state["id"] == kPlayer) {
                return state["volume"].get<float>();
            }
        }
        return -1.0f;
    };
    EXPECT_TRUE(waitUntil([&] {
        return savedVolume(readFile(world.statesPath()), false) == volume;
    })) << "the last value of the drag is saved";
    EXPECT_EQ(savedVolume(readFile(profilesPath), true), volume);

    // Quitting in the middle of a drag: the second move is still waiting to be saved.
    manager.setVolume(kPlayer, 0.9f);
    manager.setVolume(kPlayer, 0.95f);
    manager.stopAll();
    EXPECT_EQ(savedVolume(readFile(world.statesPath()), false), 0.95f);
    EXPECT_EQ(savedVolume(readFile(profilesPath), true), 0.95f);
}

} // namespace
} // namespace kestrelamp::test
