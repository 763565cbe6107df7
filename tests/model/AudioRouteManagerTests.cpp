#include "FileFaults.h"
#include "RouteWorld.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QSignalSpy>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include <sys/wait.h>
#include <unistd.h>

namespace kestrelamp::test {
namespace {

using RouteManagerRouting = RouteWorldTest;
using RouteManagerGain = RouteWorldTest;
using RouteManagerRefresh = RouteWorldTest;
using RouteManagerProfiles = RouteWorldTest;

TEST_F(RouteManagerRouting, ChangingTheListRemovesDroppedKeepsKeptAndBuildsNewDevices) {
    manager.setOutputDevices(kOther, {"speakers", "headphones"});
    const TapRoute kept = manager.tapManager().activeRoutes().at(kOther + "|headphones");

    manager.setOutputDevices(kOther, {"headphones", "hdmi"});
    EXPECT_EQ(builtRoutes(manager),
              (std::set<std::string>{kOther + "|headphones", kOther + "|hdmi"}));
    const TapRoute after = manager.tapManager().activeRoutes().at(kOther + "|headphones");
    EXPECT_EQ(after.aggregateDeviceID, kept.aggregateDeviceID);
    EXPECT_EQ(after.tapID, kept.tapID);
    EXPECT_EQ(manager.eqProcessor().engine(kOther + "|speakers"), nullptr);
    EXPECT_NE(manager.eqProcessor().engine(kOther + "|hdmi"), nullptr);
    EXPECT_EQ(manager.state(kOther)->outputDeviceUIDs,
              (std::vector<std::string>{"headphones", "hdmi"}));

    QFile::remove(world.statesPath());
    world.hardware().clearCallLog();
    manager.setOutputDevices(kOther, {"headphones", "hdmi"});
    EXPECT_TRUE(world.hardware().callLog().empty());
    EXPECT_TRUE(QFile::exists(world.statesPath()));

    manager.setOutputDevices(kOther, {});
    EXPECT_TRUE(manager.tapManager().activeRoutes().empty());
    EXPECT_TRUE(manager.eqProcessor().engines().empty());
    EXPECT_TRUE(world.hardware().aggregateDevices().empty());
    EXPECT_TRUE(world.hardware().taps().empty());
}

TEST_F(RouteManagerGain, VolumeMuteAndBoostFollowTheStateOnLiveEngines) {
    manager.setOutputDevices(kOther, {"headphones", "hdmi"});
    auto engineOf = [&](const std::string& uid) {
        return manager.eqProcessor().engine(kOther + "|" + uid);
    };

    manager.setVolume(kOther, 1.5f);
    EXPECT_FLOAT_EQ(manager.state(kOther)->volume, 1.0f);

    manager.setVolume(kOther, 0.8f);
    manager.setBoost(kOther, 9);
    EXPECT_EQ(manager.state(kOther)->boostMultiplier, 4);
    EXPECT_NEAR(engineOf("hdmi")->volume.load(), 3.2f, 1e-6);

    manager.toggleMute(kOther);
    EXPECT_TRUE(manager.state(kOther)->isMuted);
    EXPECT_TRUE(engineOf("headphones")->isMuted.load());
    manager.setBoost(kOther, 2);
    EXPECT_TRUE(engineOf("headphones")->isMuted.load()) << "boost keeps a muted app muted";
    EXPECT_NEAR(engineOf("headphones")->volume.load(), 1.6f, 1e-6);

    manager.addOutputDevice(kOther, "speakers");
    EXPECT_TRUE(engineOf("speakers")->isMuted.load()) << "a new route of a muted app is muted";
    EXPECT_NEAR(engineOf("speakers")->volume.load(), 1.6f, 1e-6);

    manager.setVolume(kOther, 0.5f);
    EXPECT_FALSE(manager.state(kOther)->isMuted);
    for (const char* uid : {"speakers", "headphones", "hdmi"}) {
        EXPECT_FALSE(engineOf(uid)->isMuted.load()) << uid;
        EXPECT_FLOAT_EQ(engineOf(uid)->volume.load(), 1.0f) << uid;
    }
}

TEST_F(RouteManagerRefresh, TheStoredIntervalIsLimitedBeforeItReachesTheTimer) {
    EXPECT_EQ(manager.refreshIntervalMs(), 3000);
    const double infinity = std::numeric_limits<double>::infinity();
    // No busy 0 ms timer, and nothing past what an int of milliseconds holds.
    const std::pair<double, int> cases[] = {
        {0.0001, 500}, {1.5, 1500}, {1e7, 3600000}, {3e9, 3600000}, {infinity, 3600000}};
    for (const auto& [seconds, periodMs] : cases) {
        world.defaults().setDouble(UserDefaults::refreshIntervalKey, seconds);
        EXPECT_EQ(manager.refreshIntervalMs(), periodMs) << seconds;
    }
    for (const double ignored : {-1.0, 0.0, std::numeric_limits<double>::quiet_NaN()}) {
        world.defaults().setDouble(UserDefaults::refreshIntervalKey, ignored);
        EXPECT_EQ(manager.refreshIntervalMs(), 3600000) << ignored;
    }
    world.defaults().setDouble(UserDefaults::refreshIntervalKey, 1e-9);
    world.createManager();
    EXPECT_EQ(world.manager().refreshIntervalMs(), 500);
}

TEST(RouteManagerPersistence, LegacyFileIsReadAndDuplicatesKeepTheLast) {
    RouteWorld world("{}", false);
    ASSERT_TRUE(writeFile(
        world.statesPath(),
        R"([{"id":"x","displayName":"X","volume":0.1,"isMuted":false,"outputDeviceUID":"old"},
            {"id":"x","displayName":"X","volume":0.7,"isMuted":true}])"));
    world.createManager();
    const AppAudioState* state = world.manager().state("x");
    ASSERT_NE(state, nullptr);
    EXPECT_FLOAT_EQ(state->volume, 0.7f);
    EXPECT_TRUE(state->outputDeviceUIDs.empty());
}

TEST(RouteManagerPersistence, BrokenFileLoadsNothingIsKeptAsideAndTheNextSaveWritesMemory) {
    RouteWorld world(test::standardScenario(), false);
    const std::string broken = R"([{"id":"x","displayName":"X","isMuted":false}])";
    ASSERT_TRUE(writeFile(world.statesPath(), broken));
    const std::string output = captureStdout([&] { world.createManager(); });
    EXPECT_EQ(output.rfind("Failed to load app states: ", 0), 0u) << output;
    EXPECT_NE(output.find("volume"), std::string::npos);
    EXPECT_EQ(world.manager().state("x"), nullptr);
    EXPECT_EQ(readFile(world.statesPath()), broken) << "kept in place until the next save";

    world.manager().setVolume(kOther, 0.5f);
    const auto saved = nlohmann::json::parse(readFile(world.statesPath()));
    EXPECT_EQ(saved.size(), 3u);
    const QStringList aside =
        QDir(world.home().dataFolder()).entryList({"appStates.json.unreadable-*"});
    ASSERT_EQ(aside.size(), 1);
    EXPECT_EQ(readFile(world.home().dataFolder() + "/" + aside[0]), broken);
}

// Enough states that appStates.json outgrows a 4 KiB file-size limit.
void addManyStates(AudioRouteManager& manager) {
    for (int i = 0; i < 60; ++i) {
        AppAudioState state;
        state.id = "org.example.App" + std::to_string(i);
        state.displayName = "App " + std::to_string(i);
        manager.setAppState(state);
    }
}

TEST(RouteManagerPersistence, AFailedSaveIsPrintedAnnouncedAndLeavesTheOldFile) {
    RouteWorld world;
    addManyStates(world.manager());
    world.manager().saveStates();
    const std::string before = readFile(world.statesPath());
    ASSERT_GT(before.size(), 4096u);
    QSignalSpy failures(&world.manager(), &AudioRouteManager::saveFailed);
    std::string output;
    {
        test::FileSizeLimit limit(4096);
        output = captureStdout([&] { world.manager().setBoost(kOther, 3); });
    }
    EXPECT_EQ(output.rfind("Failed to save app states: " + world.statesPath().toStdString() +
                               ": could not write: File too large\n",
                           0),
              0u)
        << output;
    ASSERT_EQ(failures.count(), 1);
    EXPECT_EQ(failures[0][0].toString().toStdString() + "\n",
              output.substr(0, output.find('\n') + 1));
    EXPECT_EQ(readFile(world.statesPath()), before);
    EXPECT_EQ(world.manager().state(kOther)->boostMultiplier, 3) << "memory keeps the change";

    world.manager().setBoost(kOther, 2);
    EXPECT_NE(readFile(world.statesPath()), before) << "the next save with room writes it";
}

TEST(RouteManagerDataFolder, ASecondInstanceOnTheFolderSaysSoAndWritesNothing) {
    RouteWorld world;
    auto& first = world.manager();
    first.setVolume(kOther, 0.25f);
    first.profileManager().setProfiles({});
    first.saveCurrentAsProfile("Work", "music.note");
    const std::string states = readFile(world.statesPath());
    const std::string profiles = readFile(first.profileManager().storagePath());

    UserDefaults defaults(world.home().path() + "/second.conf");
    std::unique_ptr<AudioRouteManager> second;
    const std::string started = captureStdout([&] {
        second = std::make_unique<AudioRouteManager>(world.hardware(), world.runningApplications(),
                                                     defaults, world.home().dataFolder());
    });
    const std::string inUse = world.home().dataFolder().toStdString() +
                              " is in use by another Kestrelamp (process " +
                              std::to_string(::getpid());
    EXPECT_EQ(started.rfind(inUse, 0), 0u) << started;
    EXPECT_FLOAT_EQ(second->state(kOther)->volume, 0.25f) << "it still reads the files";

    QSignalSpy failures(second.get(), &AudioRouteManager::saveFailed);
    const std::string refused = captureStdout([&] {
        second->setVolume(kOther, 0.75f);
        second->profileManager().deleteProfile(second->profileManager().profiles().at(0).id);
    });
    EXPECT_NE(refused.find("Failed to save app states: " + inUse), std::string::npos) << refused;
    EXPECT_NE(refused.find("Failed to save profiles: " + inUse), std::string::npos) << refused;
    EXPECT_GE(failures.count(), 2);
    EXPECT_EQ(readFile(world.statesPath()), states);
    EXPECT_EQ(readFile(first.profileManager().storagePath()), profiles);

    // The folder is free again once its holder is gone.
    second.reset();
    world.createManager();
    const std::string output = captureStdout([&] { world.manager().setVolume(kOther, 0.5f); });
    EXPECT_EQ(output, "");
    EXPECT_NE(readFile(world.statesPath()), states);
}

TEST(RouteManagerDataFolder, ALockLeftByADeadProcessDoesNotBlock) {
    RouteWorld world(test::standardScenario(), false);
    QDir().mkpath(world.home().dataFolder());
    const QString lockPath = world.home().dataFolder() + "/" + DataFolderLock::fileName;
    const pid_t holder = ::fork();
    if (holder == 0) {
        QLockFile lock(lockPath);
        ::_exit(lock.tryLock(0) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(holder, &status, 0), holder);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(QFile::exists(lockPath)) << "left behind by the dead holder";

    const std::string output = captureStdout([&] {
        world.createManager();
        world.manager().setVolume(kOther, 0.5f);
    });
    EXPECT_EQ(output, "");
    EXPECT_TRUE(QFile::exists(world.statesPath()));
}

TEST_F(RouteManagerProfiles, ApplyingDoesNotRewriteThePreviouslyActiveProfile) {
    manager.setOutputDevices(kOther, {"hdmi"});
    const AudioProfile first = manager.saveCurrentAsProfile("First", "mic");
    manager.setOutputDevices(kOther, {});
    manager.setOutputDevices(kPlayer, {"headphones"});
    const AudioProfile second = manager.saveCurrentAsProfile("Second", "film");

    manager.applyProfile(first);
    const std::string firstAsApplied =
        nlohmann::json(toJson(*manager.profileManager().profile(first.id))).dump();
    manager.applyProfile(second);

    const AudioProfile* storedFirst = manager.profileManager().profile(first.id);
    EXPECT_EQ(toJson(*storedFirst).dump(), firstAsApplied)
        << "the half-applied set-up leaked into the old profile";
    const AudioProfile* storedSecond = manager.profileManager().profile(second.id);
    const auto player = std::find_if(storedSecond->routes.begin(), storedSecond->routes.end(),
                                     [](const AppAudioState& s) { return s.id == kPlayer; });
    EXPECT_EQ(player->outputDeviceUIDs, std::vector<std::string>{"headphones"});
    EXPECT_EQ(manager.profileManager().activeProfileID(), second.id);
}

} // namespace
} // namespace kestrelamp::test
