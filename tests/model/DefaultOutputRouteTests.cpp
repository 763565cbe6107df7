#include "RouteWorld.h"

#include <gtest/gtest.h>

namespace kestrelamp::test {
namespace {

// Other alone on its device: the player sent elsewhere.
void isolateOther(RouteWorld& world) {
    world.manager().setOutputDevices(kPlayer, {"hdmi"});
}

using DefaultOutputRoute = RouteWorldTest;

// No stored choice, and following the default, are the real server's case
// (UnroutedControlsOnPipeWireTests); here the route that follows it is the one a choice keeps.
TEST_F(DefaultOutputRoute, IsTheRouteAChoiceOfItsDeviceKeeps) {
    manager.setVolume(kOther, 0.5f);
    manager.setDefaultOutputDevice("headphones");
    // Choosing the device it follows now keeps the running route; going back to System Default
    // keeps it too.
    const TapRoute following = manager.tapManager().activeRoutes().at(kOther + "|headphones");
    manager.setOutputDevices(kOther, {"headphones"});
    EXPECT_EQ(manager.tapManager().activeRoutes().at(kOther + "|headphones").tapID,
              following.tapID);
    manager.setOutputDevices(kOther, {});
    EXPECT_EQ(manager.tapManager().activeRoutes().at(kOther + "|headphones").tapID,
              following.tapID);

    // Ignored applications are left alone, whatever their settings.
    manager.toggleIgnore(kOther);
    EXPECT_EQ(manager.tapManager().activeRoutes().count(kOther + "|headphones"), 0u);
}

TEST_F(DefaultOutputRoute, BandEditsActOnTheDefaultAndOutliveItsRebuilding) {
    isolateOther(world);
    const float unrouted = world.levelOn("speakers", 48000);
    const std::string before = readFile(world.statesPath());

    manager.setEQBand(kOther, 0, 6.0f);
    EXPECT_FLOAT_EQ(manager.getEQBands(kOther)[0], 6.0f);
    ASSERT_NE(manager.eqProcessor().engine(kOther + "|speakers"), nullptr);
    world.levelOn("speakers", 48000);
    EXPECT_GT(world.levelOn("speakers", 48000), unrouted + 4.0f);
    EXPECT_EQ(readFile(world.statesPath()), before) << "band edits are not saved";

    manager.setDefaultOutputDevice("headphones");
    EXPECT_FLOAT_EQ(manager.getEQBands(kOther)[0], 6.0f);
    world.levelOn("headphones", 48000);
    EXPECT_GT(world.levelOn("headphones", 48000), unrouted + 4.0f);

    manager.setEQBand(kOther, 0, 0.0f);
    EXPECT_EQ(manager.eqProcessor().engine(kOther + "|headphones"), nullptr);
    EXPECT_EQ(manager.getEQBands(kOther), std::vector<float>(kEQBandCount, 0.0f));
}

} // namespace
} // namespace kestrelamp::test
