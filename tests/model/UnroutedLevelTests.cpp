#include "RouteWorld.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace kestrelamp::test {
namespace {

bool monitored(AudioRouteManager& manager, const std::string& appID) {
    return manager.levelMonitors().isMonitored(appID);
}

float levelOf(AudioRouteManager& manager, const std::string& appID) {
    const auto it = manager.audioLevels().find(appID);
    return it == manager.audioLevels().end() ? 1000.0f : it->second;
}

// Renders a little and lets the monitors hand their levels on.
void measure(RouteWorld& world) {
    world.render();
    world.manager().levelMonitors().poll();
}

using UnroutedLevels = RouteWorldTest;

TEST_F(UnroutedLevels, LiveUnroutedApplicationsHaveLevelsOnlyWhileWatched) {
    measure(world);
    EXPECT_TRUE(world.hardware().levelMonitors().empty()) << "nobody looks: nothing runs";
    EXPECT_EQ(levelOf(manager, kPlayer), 1000.0f);

    manager.setLevelsWatched(true);
    EXPECT_TRUE(monitored(manager, kPlayer));
    EXPECT_TRUE(monitored(manager, kOther));
    EXPECT_FALSE(monitored(manager, kQuiet)) << "an application that is not playing";
    measure(world);
    EXPECT_NEAR(levelOf(manager, kPlayer), sineLevel(0.5f), 1.0f);
    EXPECT_NEAR(levelOf(manager, kOther), sineLevel(0.25f), 1.0f);
    // A refresh pass keeps the monitored levels: only routes that went are silenced.
    manager.refreshAudioApps();
    EXPECT_NEAR(levelOf(manager, kPlayer), sineLevel(0.5f), 1.0f);

    manager.setLevelsWatched(false);
    EXPECT_TRUE(world.hardware().levelMonitors().empty());
    EXPECT_EQ(levelOf(manager, kPlayer), kSilentLevel) << "a meter nobody feeds shows silence";
    EXPECT_EQ(levelOf(manager, kOther), kSilentLevel);
}

TEST_F(UnroutedLevels, RoutedAndDefaultFollowingApplicationsKeepTheirEngineMeter) {
    manager.setLevelsWatched(true);
    ASSERT_TRUE(monitored(manager, kPlayer));

    manager.setOutputDevices(kPlayer, {"headphones"});
    EXPECT_FALSE(monitored(manager, kPlayer));
    manager.toggleMute(kOther);
    EXPECT_FALSE(monitored(manager, kOther)) << "its route to the default meters it";
    manager.eqProcessor().deliverLevels();
    world.render();
    manager.eqProcessor().deliverLevels();
    manager.levelMonitors().poll();
    EXPECT_NEAR(levelOf(manager, kPlayer), sineLevel(0.5f), 1.0f) << "the engine's level";
    EXPECT_LT(levelOf(manager, kOther), -90.0f) << "muted, as its engine measures it";

    manager.toggleMute(kOther);
    EXPECT_TRUE(monitored(manager, kOther)) << "neutral again: no route, a monitor";
    measure(world);
    EXPECT_NEAR(levelOf(manager, kOther), sineLevel(0.25f), 1.0f);
    manager.setOutputDevices(kPlayer, {});
    EXPECT_TRUE(monitored(manager, kPlayer));
}

// Routed meters cost a main-thread wake-up every few milliseconds: they run on the same demand.
TEST_F(UnroutedLevels, RoutedLevelsAreDrainedOnlyWhileShownOrAskedFor) {
    manager.setOutputDevices(kPlayer, {"headphones"});
    EXPECT_FALSE(manager.eqProcessor().levelsWanted()) << "nobody looks";
    manager.setLevelsWatched(true);
    EXPECT_TRUE(manager.eqProcessor().levelsWanted());
    manager.setLevelsWatched(false);
    EXPECT_FALSE(manager.eqProcessor().levelsWanted());
    manager.levelMonitors().setAskedHoldMs(20);
    manager.levelsAsked();
    EXPECT_TRUE(manager.eqProcessor().levelsWanted()) << "a status read holds them a while";
    EXPECT_TRUE(waitUntil([&] { return !manager.eqProcessor().levelsWanted(); }));
}

} // namespace
} // namespace kestrelamp::test
