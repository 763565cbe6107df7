// The remote operations on a route manager in a simulated world. A route choice that is stored but
// not in effect (waiting, refused) is the real server's case (RoutesHoldOnPipeWireTests,
// RefusedRoutesOnPipeWireTests).

#include "app/RemoteControl.h"

#include "RouteWorld.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>

namespace kestrelamp::test {
namespace {

constexpr const char* kPlayer = "org.example.Player";

class RemoteControlOperations : public ::testing::Test {
protected:
    const AppAudioState& player() { return *world.manager().state(kPlayer); }

    RouteWorld world;
    RemoteControl control{world.manager()};
};

TEST_F(RemoteControlOperations, NumbersMustBeCompleteFiniteTextsInTheCLocale) {
    for (const char* good : {"0.5", "+0.5", "-3", "1e2", "4"}) {
        EXPECT_TRUE(RemoteControl::parseNumber(good, "Volume").hasValue()) << good;
    }
    for (const char* bad :
         {"", " 1", "1 ", "0,5", "0x10", "-inf", "++1", "½", "loud", "nan", "inf", "1e999"}) {
        const auto parsed = RemoteControl::parseNumber(bad, "Volume");
        ASSERT_FALSE(parsed.hasValue()) << bad;
        EXPECT_EQ(parsed.error().message.rfind("Volume '" + std::string(bad) + "'", 0), 0u)
            << parsed.error().message;
    }
}

TEST_F(RemoteControlOperations, DevicesAreCheckedAndAnIgnoredAppIsRefusedNotSilentlySkipped) {
    ASSERT_TRUE(control.setOutputDevices(kPlayer, {"headphones", "hdmi", "headphones"}).hasValue());
    EXPECT_EQ(player().outputDeviceUIDs, (std::vector<std::string>{"headphones", "hdmi"}));

    // A chosen device that is no longer listed can still be dropped.
    AppAudioState withGone = player();
    withGone.outputDeviceUIDs.push_back("unplugged");
    world.manager().setAppState(withGone);
    EXPECT_TRUE(control.removeOutputDevice(kPlayer, "unplugged").hasValue());
    EXPECT_FALSE(control.addOutputDevice(kPlayer, "unplugged").hasValue());

    ASSERT_TRUE(control.setIgnored(kPlayer, "on").hasValue());
    const std::string saved = readFile(world.statesPath());
    const auto refused = control.addOutputDevice(kPlayer, "speakers");
    ASSERT_FALSE(refused.hasValue());
    EXPECT_EQ(refused.error().kind, RemoteError::Kind::refused);
    EXPECT_NE(refused.error().message.find(kPlayer), std::string::npos);
    EXPECT_FALSE(control.setOutputDevices(kPlayer, {}).hasValue());
    EXPECT_EQ(readFile(world.statesPath()), saved);
}

TEST_F(RemoteControlOperations, ProfilesResolveByIDThenExactNameThenNameInAnyCase) {
    const auto work = control.saveProfile("Work", "");
    const auto workShouting = control.saveProfile("WORK", "mic");
    const auto night = control.saveProfile("Night", "film");
    ASSERT_TRUE(work.hasValue() && workShouting.hasValue() && night.hasValue());
    EXPECT_EQ(world.manager().profileManager().profiles()[0].icon, "music.note");

    ASSERT_TRUE(control.applyProfile("WORK").hasValue());
    EXPECT_EQ(uuidString(*world.manager().profileManager().activeProfileID()), *workShouting);
    ASSERT_TRUE(control.applyProfile("night").hasValue());
    EXPECT_EQ(uuidString(*world.manager().profileManager().activeProfileID()), *night);
    const auto ambiguous = control.applyProfile("work");
    ASSERT_FALSE(ambiguous.hasValue());
    EXPECT_NE(ambiguous.error().message.find("ambiguous"), std::string::npos);
    ASSERT_TRUE(control.deleteProfile(*work).hasValue());
    ASSERT_TRUE(control.deleteProfile("work").hasValue());
    EXPECT_EQ(world.manager().profileManager().profiles().size(), 1u);

    EXPECT_FALSE(control.saveProfile("", "").hasValue());
    EXPECT_FALSE(control.saveProfile("Car", "rocket").hasValue());
    EXPECT_FALSE(control.deleteProfile("00000000-0000-0000-0000-0000000000AA").hasValue());
}

TEST_F(RemoteControlOperations, ASettingOnTheDefaultThatCannotActSaysSoAndIsKept) {
    const std::string key = "Route for org.example.Player|" +
                            world.manager().defaultOutputDevice()->uid +
                            ": Failed to create audio tap: -1";
    world.hardware().failOperation(hal::SimulatedOperation::createProcessTap, -1);
    const std::vector<std::function<RemoteResult<void>()>> settings{
        [&] { return control.setVolume(kPlayer, "0.5"); },
        [&] { return control.setBoost(kPlayer, "2"); },
        [&] { return control.setEQPreset(kPlayer, "Bass Boost"); },
        [&] { return control.setEQBand(kPlayer, "0", "3"); },
        [&] { return control.setMute(kPlayer, "on"); },
    };
    for (std::size_t i = 0; i < settings.size(); ++i) {
        SCOPED_TRACE(i);
        const auto result = settings[i]();
        ASSERT_FALSE(result.hasValue());
        EXPECT_EQ(result.error().kind, RemoteError::Kind::routeNotActive);
        EXPECT_EQ(result.error().message.rfind(key, 0), 0u) << result.error().message;
    }
    EXPECT_TRUE(player().isMuted);
    EXPECT_EQ(world.manager().routeProblems(kPlayer).size(), 1u);

    world.hardware().clearFailures();
    EXPECT_TRUE(control.setMute(kPlayer, "off").hasValue());
    EXPECT_TRUE(world.manager().routeProblems(kPlayer).empty());
}

// The commands of the call mix and of recorders check what they are given: a microphone or a
// recorder's input must be an input device. Their effect through `ctl` is the real server's case
// (RemoteControlOnPipeWireTests).
TEST_F(RemoteControlOperations, CallMixAndRecordingCommandsCheckTheirArguments) {
    constexpr const char* kRecorder = "org.example.Recorder";
    world.hardware().addDevice({"usb-mic", "USB Microphone", "", 0, 1});
    world.hardware().addRecorder({kRecorder, "Recorder", 77, -20});
    world.hardware().waitForListeners();
    ASSERT_TRUE(waitUntil([&] { return world.manager().recordings().recording(kRecorder); }));
    ASSERT_TRUE(control.setCallMix("toggle").hasValue());
    world.manager().refreshAudioApps();
    EXPECT_FALSE(control.callMixChanging()) << "listed among the output devices";

    const std::vector<std::pair<std::function<RemoteResult<void>()>, std::string>> refused{
        {[&] { return control.setCallMix("yes"); }, "yes"},
        {[&] { return control.setCallMixMicrophone("speakers"); }, "speakers"},
        {[&] { return control.setCallMixMicrophone("nothing-here"); }, "nothing-here"},
        {[&] { return control.setCallMixMicrophone(hal::kCallMixDeviceUID); }, "callmix"},
        {[&] { return control.setCallMixMicrophoneVolume("1.5"); }, "1.5"},
        {[&] { return control.setRecordingInput("org.example.Nobody", "default"); }, "Nobody"},
        {[&] { return control.setRecordingInput(kRecorder, "speakers"); }, "speakers"},
        {[&] { return control.setRecordingInput(kRecorder, "nothing-here"); }, "nothing-here"},
        {[&] { return control.setRecordingVolume(kRecorder, "1.5"); }, "1.5"},
        {[&] { return control.setRecordingVolume(kRecorder, "loud"); }, "loud"},
        {[&] { return control.setRecordingMute(kRecorder, "maybe"); }, "maybe"},
    };
    for (const auto& [call, named] : refused) {
        const auto result = call();
        ASSERT_FALSE(result.hasValue()) << named;
        EXPECT_EQ(result.error().kind, RemoteError::Kind::invalidArgument) << named;
        EXPECT_NE(result.error().message.find(named), std::string::npos) << result.error().message;
    }
    EXPECT_EQ(world.manager().state(kRecorder), nullptr) << "nothing stored";

    ASSERT_TRUE(control.setCallMixMicrophone("usb-mic").hasValue());
    ASSERT_TRUE(control.setCallMixMicrophoneVolume("0.5").hasValue());
    ASSERT_TRUE(control.setCallMixMicrophoneMute("on").hasValue());
    EXPECT_EQ(world.hardware().callMix(), (hal::CallMixSettings{true, "usb-mic", 0.5f, true}));
    const auto callMix = nlohmann::json::parse(control.status())["callMix"];
    EXPECT_EQ(callMix, (nlohmann::json{{"on", true},
                                       {"deviceUID", hal::kCallMixDeviceUID},
                                       {"microphone", "usb-mic"},
                                       {"microphoneVolume", 0.5},
                                       {"microphoneMuted", true}}));
    ASSERT_TRUE(control.setCallMixMicrophone("default").hasValue());
    EXPECT_EQ(world.hardware().callMix().microphoneUID, std::string());

    ASSERT_TRUE(control.setRecordingInput(kRecorder, "usb-mic").hasValue());
    ASSERT_TRUE(control.setRecordingVolume(kRecorder, "0.5").hasValue());
    ASSERT_TRUE(control.setRecordingMute(kRecorder, "toggle").hasValue());
    EXPECT_EQ(world.hardware().recordingChoices().at(kRecorder),
              (hal::RecordingChoice{"usb-mic", 0.5f, true}));
    world.hardware().waitForListeners();
    waitUntil([] { return false; }, 10);
    const auto row = nlohmann::json::parse(control.status())["recording"][0];
    for (const auto& [key, shown] : std::vector<std::pair<const char*, nlohmann::json>>{
             {"id", kRecorder},
             {"pid", 77},
             {"recordsFrom", "usb-mic"},
             {"input", "usb-mic"},
             {"volume", 0.5},
             {"muted", true},
             {"state", "records from USB Microphone"}}) {
        EXPECT_EQ(row[key], shown) << key;
    }
    ASSERT_TRUE(control.setRecordingInput(kRecorder, "default").hasValue());
    EXPECT_EQ(world.hardware().recordingChoices().at(kRecorder).inputUID, "");
    EXPECT_EQ(nlohmann::json::parse(control.status())["recording"][0]["input"], "default");
}

} // namespace
} // namespace kestrelamp::test
