#include "RouteWorld.h"

#include "model/CallMixControl.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kestrelamp::test {
namespace {

using hal::kCallMixDeviceUID;

bool listsCallMix(AudioRouteManager& manager) {
    manager.refreshAudioApps();
    for (const AudioDeviceInfo& device : manager.outputDevices()) {
        if (device.uid == kCallMixDeviceUID) {
            return true;
        }
    }
    return false;
}

// Defaults written before the call mix existed read as off, without a microphone; what is
// written now reads back, out-of-range volumes clamped.
TEST(CallMixControl, ReadsOldAndNewDefaults) {
    TempHome home;
    UserDefaults defaults(home.path() + "/Kestrelamp.conf");
    defaults.setBool(UserDefaults::showOnlyLiveKey, true);
    EXPECT_EQ(CallMixControl::read(defaults), hal::CallMixSettings{});

    defaults.setBool(UserDefaults::callMixOnKey, true);
    defaults.setString(UserDefaults::callMixMicrophoneKey, "default");
    defaults.setDouble(UserDefaults::callMixMicrophoneVolumeKey, 7.0);
    auto settings = CallMixControl::read(defaults);
    EXPECT_TRUE(settings.on);
    EXPECT_EQ(settings.microphoneUID, std::string());
    EXPECT_EQ(settings.microphoneVolume, 1.0f);

    defaults.setString(UserDefaults::callMixMicrophoneKey, "usb-mic");
    defaults.setDouble(UserDefaults::callMixMicrophoneVolumeKey, -1.0);
    defaults.setBool(UserDefaults::callMixMicrophoneMutedKey, true);
    settings = CallMixControl::read(defaults);
    EXPECT_EQ(settings.microphoneUID, "usb-mic");
    EXPECT_EQ(settings.microphoneVolume, 0.0f);
    EXPECT_TRUE(settings.microphoneMuted);
}

TEST(CallMixControl, OnIsAnOutputDeviceKeptAcrossRestartsAndGoneAtQuit) {
    RouteWorld world;
    AudioRouteManager& manager = world.manager();
    EXPECT_FALSE(listsCallMix(manager));

    CallMixControl& callMix = manager.callMix();
    callMix.setOn(true);
    callMix.setMicrophone(std::string());
    callMix.setMicrophoneVolume(0.25f);
    EXPECT_EQ(callMix.status(), hal::noErr);
    EXPECT_TRUE(listsCallMix(manager));
    EXPECT_EQ(world.hardware().callMix(), callMix.settings());
    EXPECT_EQ(world.hardware().callMix().microphoneVolume, 0.25f);

    // A route to it is a route like any other.
    const std::string app = manager.audioApps().front().id;
    manager.setOutputDevices(app, {kCallMixDeviceUID});
    EXPECT_EQ(manager.routeKeys(app).size(), 1u);

    // The next run offers it again, with the same microphone.
    const auto stored = callMix.settings();
    manager.stopAll();
    EXPECT_FALSE(world.hardware().callMix().on) << "gone at quit";
    EXPECT_EQ(CallMixControl::read(world.defaults()), stored) << "but still the user's choice";
    CallMixControl next(world.hardware(), world.defaults());
    EXPECT_EQ(world.hardware().callMix(), stored);

    // Another instance turning it off is followed.
    world.defaults().setBool(UserDefaults::callMixOnKey, false);
    EXPECT_FALSE(next.settings().on);
    EXPECT_FALSE(world.hardware().callMix().on);
}

} // namespace
} // namespace kestrelamp::test
