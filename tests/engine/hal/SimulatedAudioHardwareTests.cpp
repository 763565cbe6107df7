#include "AudioHardwareContract.h"
#include "SimulatedTestWorld.h"

#include <gtest/gtest.h>

#include <chrono>

namespace kestrelamp::hal::test {

KESTRELAMP_INSTANTIATE_AUDIO_HARDWARE_CONTRACT(Simulated, [] {
    return std::make_unique<SimulatedTestWorld>();
});

namespace {

using namespace std::chrono_literals;

constexpr const char* kRecorderWorld = R"({
    "devices": [ { "uid": "speakers" },
                 { "uid": "mic", "outputStreams": 0, "inputStreams": 1 },
                 { "uid": "headset", "outputStreams": 0, "inputStreams": 1 } ],
    "defaultInput": "headset",
    "recorders": [ { "bundleID": "org.example.Recorder", "name": "Recorder", "pid": 7,
                     "level": -20 } ] })";

double rmsOf(AudioHardware& hardware, AudioObjectID monitor) {
    double level = 0;
    EXPECT_EQ(
        hardware.getPropertyFloat64(monitor, globalAddress(kAudioLevelMonitorPropertyRMS), level),
        noErr);
    return level;
}

} // namespace

TEST(SimulatedRecorders, RecordFromTheDefaultInputOrTheirChoiceAtTheirLevelTimesTheVolume) {
    SimulatedTestWorld world(kRecorderWorld);
    std::vector<RecordingApplication> listed;
    ASSERT_EQ(world.hardware().recordingApplications(listed), noErr);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, "Recorder");
    EXPECT_EQ(listed[0].pid, 7);
    EXPECT_EQ(listed[0].sourceUID, "headset");
    AudioObjectID monitor = kAudioObjectUnknown;
    ASSERT_EQ(world.hardware().createLevelMonitor(listed[0].levelObjectID, monitor), noErr);
    world.letTimePass(200ms);
    EXPECT_NEAR(rmsOf(world.hardware(), monitor), -20.0, 0.01);

    ASSERT_EQ(
        world.hardware().setRecordingChoices({{"org.example.Recorder", {"mic", 0.5f, false}}}),
        noErr);
    world.letTimePass(200ms);
    ASSERT_EQ(world.hardware().recordingApplications(listed), noErr);
    EXPECT_EQ(listed[0].sourceUID, "mic");
    EXPECT_NEAR(rmsOf(world.hardware(), monitor), -26.02, 0.01);

    // The chosen input gone: back on the default; the default gone too: nothing to record.
    world.removeDevice("mic");
    ASSERT_EQ(world.hardware().recordingApplications(listed), noErr);
    EXPECT_EQ(listed[0].sourceUID, "headset");
    world.removeDevice("headset");
    ASSERT_EQ(world.hardware().recordingApplications(listed), noErr);
    EXPECT_EQ(listed[0].sourceUID, "");
    world.letTimePass(300ms);
    EXPECT_EQ(rmsOf(world.hardware(), monitor), kAudioLevelMonitorSilenceDb);
}

} // namespace kestrelamp::hal::test
