// Meters of applications whose sound a route of ours carries. The passive monitor of one left on
// "System Default", and its going once nobody asks, are the real server's end-to-end case
// (UnroutedLevelsOnPipeWireTests).

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

} // namespace
} // namespace kestrelamp::test
