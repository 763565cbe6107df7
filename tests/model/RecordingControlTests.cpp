#include "RouteWorld.h"

#include "model/RecordingControl.h"

#include <gtest/gtest.h>

namespace kestrelamp::test {
namespace {

const std::string kRecorder = "org.example.Recorder";

std::string recordingScenario() {
    return R"({
      "devices": [
        { "uid": "speakers", "name": "Speakers", "sampleRate": 48000 },
        { "uid": "mic", "name": "Microphone", "outputStreams": 0, "inputStreams": 1 },
        { "uid": "headset", "name": "Headset", "outputStreams": 0, "inputStreams": 1 }
      ],
      "defaultOutput": "speakers",
      "defaultInput": "mic",
      "recorders": [ { "bundleID": "org.example.Recorder", "name": "Voice Notes", "pid": 40,
                       "level": -20 } ]
    })";
}

class Recordings : public testing::Test {
protected:
    RouteWorld world{recordingScenario()};

    RecordingControl& control() { return world.manager().recordings(); }
    // Once the service's notices have reached the main thread.
    const RecordingApp* listed(const std::string& appID = kRecorder) {
        world.hardware().waitForListeners();
        waitUntil([] { return false; }, 10);
        return control().recording(appID);
    }
    std::string source() {
        const RecordingApp* row = listed();
        return row ? row->sourceUID : "not listed";
    }
    std::optional<hal::RecordingChoice> stored() {
        const AppAudioState* state = world.manager().state(kRecorder);
        return state ? state->recording : std::nullopt;
    }
    hal::RecordingChoices handedIn() { return world.hardware().recordingChoices(); }
};

TEST_F(Recordings, AChoiceHoldsThroughRestartsOfTheRecorderAndOfTheProgram) {
    ASSERT_NE(listed(), nullptr);
    EXPECT_EQ(listed()->displayName, "Voice Notes");
    EXPECT_EQ(control().stateText(*listed()), "records from Microphone");

    control().setInput(kRecorder, "headset");
    EXPECT_EQ(source(), "headset");
    EXPECT_EQ(control().stateText(*listed()), "records from Headset");
    EXPECT_EQ(world.manager().state(kRecorder)->displayName, "Voice Notes");

    world.hardware().removeRecorder(kRecorder);
    EXPECT_EQ(listed(), nullptr);
    world.hardware().addRecorder({kRecorder, "Voice Notes", 41, -20});
    EXPECT_EQ(source(), "headset");

    // The device leaving and coming back.
    const hal::AudioObjectID headset = world.device("headset");
    world.hardware().removeDevice(headset);
    EXPECT_EQ(source(), "mic");
    EXPECT_EQ(control().stateText(*listed()), "waiting for the device (records from Microphone)");
    world.hardware().addDevice({"headset", "Headset", "", 0, 1});
    EXPECT_EQ(source(), "headset");

    world.manager().stopAll();
    EXPECT_TRUE(handedIn().empty()) << "given back at quit";
    EXPECT_NE(readFile(world.statesPath()).find("\"recordingInputUID\":\"headset\""),
              std::string::npos);
    world.createManager();
    EXPECT_EQ(handedIn().at(kRecorder).inputUID, "headset");
    EXPECT_EQ(source(), "headset");
}

TEST_F(Recordings, AnotherProgramsMoveBecomesTheStoredChoice) {
    control().setVolume(kRecorder, 0.5f);
    ASSERT_TRUE(world.hardware().moveRecorderElsewhere(kRecorder, "headset"));
    EXPECT_EQ(source(), "headset");
    EXPECT_EQ(stored(), (hal::RecordingChoice{"headset", 0.5f, false}));
    EXPECT_EQ(handedIn().at(kRecorder), *stored());
    std::vector<hal::RecordingApplication> applications;
    world.hardware().recordingApplications(applications);
    EXPECT_EQ(applications.at(0).chosenElsewhere, std::nullopt) << "handed in again";

    // A move back to the default leaves a neutral choice, which is not kept.
    control().setVolume(kRecorder, 1.0f);
    ASSERT_TRUE(world.hardware().moveRecorderElsewhere(kRecorder, ""));
    EXPECT_EQ(source(), "mic");
    EXPECT_EQ(stored(), std::nullopt);
    EXPECT_TRUE(handedIn().empty());
}

TEST_F(Recordings, ProfilesCaptureAndRestoreWhatAProgramThatOnlyRecordsDoes) {
    control().setInput(kRecorder, "headset");
    control().setMuted(kRecorder, true);
    ASSERT_NE(listed(), nullptr);
    const AudioProfile profile = world.manager().saveCurrentAsProfile("Calls", "phone");
    ASSERT_EQ(profile.routes.size(), 1u);
    EXPECT_EQ(profile.routes[0].recording, (hal::RecordingChoice{"headset", 1.0f, true}));

    control().setInput(kRecorder, "");
    control().setMuted(kRecorder, false);
    EXPECT_TRUE(handedIn().empty());
    world.manager().applyProfile(*world.manager().profileManager().profile(profile.id));
    EXPECT_EQ(handedIn().at(kRecorder), (hal::RecordingChoice{"headset", 1.0f, true}));
    EXPECT_EQ(source(), "headset");
    EXPECT_TRUE(listed()->choice.muted);

    // One saved before profiles carried recordings leaves the choice as it is.
    AudioProfile older = profile;
    older.carriesRecordings = false;
    older.routes[0].recording.reset();
    world.manager().applyProfile(older);
    EXPECT_EQ(handedIn().at(kRecorder), (hal::RecordingChoice{"headset", 1.0f, true}));
}

TEST_F(Recordings, LevelsRunOnlyWhileWantedAndFollowVolumeAndMute) {
    const auto levelReaches = [&](float low, float high) {
        return waitUntil([&] {
            world.render(2);
            const float level = control().level(kRecorder);
            return level >= low && level <= high;
        });
    };
    ASSERT_NE(listed(), nullptr);
    world.render();
    EXPECT_TRUE(world.hardware().levelMonitors().empty());
    EXPECT_EQ(control().level(kRecorder), kSilentLevel);

    world.manager().setLevelsWatched(true);
    EXPECT_EQ(world.hardware().levelMonitors().size(), 1u);
    EXPECT_TRUE(levelReaches(-20.1f, -19.9f));
    control().setVolume(kRecorder, 0.5f);
    EXPECT_TRUE(levelReaches(-26.1f, -25.9f));
    control().setMuted(kRecorder, true);
    EXPECT_TRUE(levelReaches(-200.0f, kSilentLevel));

    control().setMuted(kRecorder, false);
    world.manager().setLevelsWatched(false);
    EXPECT_TRUE(world.hardware().levelMonitors().empty());
    EXPECT_EQ(control().level(kRecorder), kSilentLevel);
}

} // namespace
} // namespace kestrelamp::test
