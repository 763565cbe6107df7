// The call mix on the real server, heard the way a call program hears it: by recording from it.

#include "engine/hal/PipeWireAudioHardware.h"
#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"
#include "support/Recorders.h"
#include "support/Routing.h"
#include "support/SessionTest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace kestrelamp::e2e {
namespace {

using namespace hal;

constexpr double kToneAHz = 440.0;
constexpr double kToneBHz = 660.0;
constexpr double kVoiceHz = 1000.0;
constexpr const char* kToneB = "org.example.ToneB";
constexpr const char* kMicrophone = "test_mic";

MeterFormat recorder() {
    MeterFormat format;
    format.source = true;
    return format;
}

class CallMixTest : public SessionTest {
protected:
    void TearDown() override {
        if (session_->isRunning()) {
            EXPECT_TRUE(pollUntil([] { return kestrelampObjects(session_->dump()).empty(); }, 5000))
                << "left behind: " << ::testing::PrintToString(kestrelampObjects(session_->dump()));
        }
    }

    static CallMixSettings on() {
        CallMixSettings settings;
        settings.on = true;
        return settings;
    }

    // Tones A and B playing unrouted on sink A, and the call mix on.
    struct TwoTones {
        LevelMeter meterA{kSinkA};
        std::unique_ptr<ChildProcess> toneA = session_->startPlayer(kToneA, "Tone A", kToneAHz);
        std::unique_ptr<ChildProcess> toneB = session_->startPlayer(kToneB, "Tone B", kToneBHz);
        PipeWireAudioHardware hardware;
        std::optional<AudioObjectID> a;
    };

    static void startTwoTonesAndTheCallMix(TwoTones& world) {
        ASSERT_EQ(world.hardware.setCallMix(on()), noErr);
        ASSERT_TRUE(findDevice(world.hardware, kCallMixDeviceUID));
        world.a = findProcess(world.hardware, kToneA);
        ASSERT_TRUE(world.a);
    }
};

TEST_F(CallMixTest, ARecorderHearsTheApplicationsRoutedIntoItAndNoOther) {
    TwoTones world;
    ASSERT_NO_FATAL_FAILURE(startTwoTonesAndTheCallMix(world));
    auto& [meterA, toneA, toneB, hardware, a] = world;
    PassThrough toSink;
    PassThrough toMix;
    TestRoute routeToSink(hardware, *a, kSinkA, toSink);
    TestRoute routeToMix(hardware, *a, kCallMixDeviceUID, toMix);
    ASSERT_EQ(routeToSink.failure(), "");
    ASSERT_EQ(routeToMix.failure(), "");

    LevelMeter call(kCallMixDeviceUID, recorder());
    const double heard = steadyTone(call, kToneAHz);
    const double played = steadyTone(meterA, kToneAHz);
    EXPECT_NEAR(heard, played, 1.0) << "Tone A in the call as on the sink";
    EXPECT_LT(toneLevel(call, kToneBHz), -70.0) << "Tone B is not routed into the call";
    EXPECT_GT(steadyTone(meterA, kToneBHz), kAudible) << "the sink plays both";

    routeToMix.destroy();
    routeToSink.destroy();
    ASSERT_EQ(hardware.setCallMix({}), noErr);
    EXPECT_TRUE(
        pollUntil([&] { return session_->nodeID(kCallMixDeviceUID) == std::nullopt; }, 5000));
}

TEST_F(CallMixTest, TheChosenMicrophoneIsMixedInAtItsVolumeAndNotWhenMuted) {
    TestMicrophone microphone(*session_, kMicrophone, "Test Microphone", kVoiceHz);
    LevelMeter direct(kMicrophone, recorder());
    const double voice = steadyTone(direct, kVoiceHz);
    ASSERT_GT(voice, kAudible);

    PipeWireAudioHardware hardware;
    CallMixSettings settings = on();
    settings.microphoneUID = kMicrophone;
    settings.microphoneVolume = 0.5f;
    ASSERT_EQ(hardware.setCallMix(settings), noErr);
    ASSERT_TRUE(findDevice(hardware, kCallMixDeviceUID));
    LevelMeter call(kCallMixDeviceUID, recorder());
    EXPECT_NEAR(steadyTone(call, kVoiceHz), voice - 6.02, 1.0);

    settings.microphoneMuted = true;
    ASSERT_EQ(hardware.setCallMix(settings), noErr);
    EXPECT_TRUE(pollUntil([&] { return toneLevel(call, kVoiceHz) < -70.0; }, 3000))
        << "muted, the microphone is not in the call";
}

// A click sent to a sink and into the call mix reaches a recorder of the call mix no later than
// a quantum after the sink plays it.
TEST_F(CallMixTest, TheCallMixAddsAtMostAQuantum) {
    ChildProcess clicks({KESTRELAMP_E2E_TONE_PLAYER, "org.example.Clicks", "Clicks", "0"},
                        session_->logPath("clicks"));
    PipeWireAudioHardware hardware;
    ASSERT_EQ(hardware.setCallMix(on()), noErr);
    ASSERT_TRUE(findDevice(hardware, kCallMixDeviceUID));
    const auto process = findProcess(hardware, "org.example.Clicks");
    ASSERT_TRUE(process);
    PassThrough toSink;
    PassThrough toMix;
    TestRoute routeToSink(hardware, *process, kSinkB, toSink);
    TestRoute routeToMix(hardware, *process, kCallMixDeviceUID, toMix, routeToSink.tap());
    ASSERT_EQ(routeToSink.failure(), "");
    ASSERT_EQ(routeToMix.failure(), "");
    LevelMeter sink(kSinkB);
    LevelMeter call(kCallMixDeviceUID, recorder());
    // Past the clicks that were on their way while the routes were made.
    ASSERT_TRUE(sink.measureDbfs(48000, 5000));
    ASSERT_TRUE(call.measureDbfs(48000, 5000));
    const auto onSink = clickPhase(sink);
    const auto inCall = clickPhase(call);
    ASSERT_TRUE(onSink && inCall) << clicks.log();
    std::int64_t later = ((*inCall - *onSink) % 24000 + 24000) % 24000;
    if (later > 12000) {
        later -= 24000;
    }
    EXPECT_LE(later, std::int64_t(sink.quantum()))
        << later << " frames, quantum " << sink.quantum();
    routeToMix.destroy();
    routeToSink.destroy();
}

// A PulseAudio recorder, as browsers and call programs record: parecord from the call mix.
TEST_F(CallMixTest, PulseAudioRecordersHearItToo) {
    TwoTones world;
    ASSERT_NO_FATAL_FAILURE(startTwoTonesAndTheCallMix(world));
    auto& [meterA, toneA, toneB, hardware, a] = world;
    // Its level as it plays on its own, before the route takes it off the sink.
    const double played = steadyTone(meterA, kToneAHz);
    PassThrough toMix;
    TestRoute route(hardware, *a, kCallMixDeviceUID, toMix);
    ASSERT_EQ(route.failure(), "");

    PulseRecorder recorder(*session_, "org.example.CallRecorder", std::string(kCallMixDeviceUID));
    EXPECT_TRUE(pollUntil(
        [&] {
            return std::abs(recorder.toneDbfs(kToneAHz) - played) < 1.0 &&
                   recorder.toneDbfs(kToneBHz) < -70.0;
        },
        8000))
        << "Tone A " << recorder.toneDbfs(kToneAHz) << " against " << played << ", Tone B "
        << recorder.toneDbfs(kToneBHz) << "; " << recorder.describe();
    route.destroy();
}

std::optional<RecordingApplication> recording(AudioHardware& hardware, const std::string& appID) {
    std::vector<RecordingApplication> applications;
    hardware.recordingApplications(applications);
    for (RecordingApplication& application : applications) {
        if (application.bundleID == appID) {
            return application;
        }
    }
    return std::nullopt;
}

// A call program recording with parecord: where it records from is chosen for it, at the volume
// chosen; left alone again it records from the default at its own volume, also in its next run.
TEST_F(CallMixTest, ARecorderRecordsFromTheInputChosenForItAtItsVolume) {
    constexpr const char* kCaller = "org.example.Caller";
    constexpr double kOtherHz = 1500.0;
    TestMicrophone chosen(*session_, kMicrophone, "Test Microphone", kVoiceHz);
    TestMicrophone other(*session_, "other_mic", "Other Microphone", kOtherHz);
    ASSERT_TRUE(pollUntil([&] { return session_->nodeID("other_mic").has_value(); }, 5000));
    runCommand({"pw-metadata", "-n", "default", "0", "default.configured.audio.source",
                "{\"name\":\"other_mic\"}", "Spa:String:JSON"},
               session_->logPath("pw-metadata-set"), 3000);
    PipeWireAudioHardware hardware;
    const auto recordsFrom = [&](const std::string& uid) {
        return pollUntil(
            [&] {
                const auto listed = recording(hardware, kCaller);
                return listed && listed->sourceUID == uid;
            },
            8000);
    };
    auto recorder = std::make_unique<PulseRecorder>(*session_, kCaller);
    const auto hearsAt = [&](double frequency, double level) {
        EXPECT_TRUE(chosen.ensureSounding() && other.ensureSounding());
        const bool heard = pollUntil(
            [&] {
                return std::abs(recorder->toneDbfs(frequency) - level) < 1.0 &&
                       recorder->toneDbfs(frequency == kVoiceHz ? kOtherHz : kVoiceHz) < -70.0;
            },
            8000);
        if (!heard) {
            ADD_FAILURE() << frequency << " Hz at " << recorder->toneDbfs(frequency)
                          << " dBFS, not " << level << "; " << recorder->describe();
        }
        return heard;
    };
    ASSERT_TRUE(recordsFrom("other_mic")) << "unchosen, it records from the default";
    ASSERT_TRUE(other.ensureSounding());
    double full = -120.0;
    ASSERT_TRUE(pollUntil(
        [&] {
            full = recorder->toneDbfs(kOtherHz);
            return full > kAudible && recorder->toneDbfs(kVoiceHz) < -70.0;
        },
        8000))
        << recorder->describe();

    ASSERT_EQ(hardware.setRecordingChoices({{kCaller, {kMicrophone, 0.5f, false}}}), noErr);
    EXPECT_TRUE(recordsFrom(kMicrophone));
    EXPECT_TRUE(hearsAt(kVoiceHz, full - 6.02));

    // Its level monitor reads what it records, after the volume; muted, silence.
    const auto listed = recording(hardware, kCaller);
    ASSERT_TRUE(listed);
    AudioObjectID monitor = kAudioObjectUnknown;
    ASSERT_EQ(hardware.createLevelMonitor(listed->levelObjectID, monitor), noErr);
    double level = kAudioLevelMonitorSilenceDb;
    const auto monitorReads = [&](const std::function<bool(double)>& wanted) {
        return pollUntil(
            [&] {
                hardware.getPropertyFloat64(monitor, globalAddress(kAudioLevelMonitorPropertyRMS),
                                            level);
                return wanted(level);
            },
            5000);
    };
    EXPECT_TRUE(monitorReads([&](double l) { return std::abs(l - recorder->rmsDbfs()) < 2.0; }))
        << level << " against " << recorder->rmsDbfs();
    ASSERT_EQ(hardware.setRecordingChoices({{kCaller, {kMicrophone, 0.5f, true}}}), noErr);
    EXPECT_TRUE(pollUntil([&] { return recorder->rmsDbfs() < kSilent; }, 5000))
        << "muted, it records " << recorder->rmsDbfs();
    EXPECT_TRUE(monitorReads([](double l) { return l == kAudioLevelMonitorSilenceDb; })) << level;
    hardware.destroyLevelMonitor(monitor);

    ASSERT_EQ(hardware.setRecordingChoices({}), noErr);
    EXPECT_TRUE(recordsFrom("other_mic")) << "left alone, it records from the default again";
    EXPECT_TRUE(hearsAt(kOtherHz, full)) << "at its own volume";

    // It quits muted; the session manager would give its next stream that mute.
    ASSERT_EQ(hardware.setRecordingChoices({{kCaller, {"", 1.0f, true}}}), noErr);
    ASSERT_TRUE(pollUntil([&] { return recorder->rmsDbfs() < kSilent; }, 5000));
    recorder.reset();
    ASSERT_EQ(hardware.setRecordingChoices({}), noErr);
    recorder = std::make_unique<PulseRecorder>(*session_, kCaller);
    EXPECT_TRUE(hearsAt(kOtherHz, full)) << "left alone, its next run is not muted";
}

// As the program ends, the recorders it held record from their own choice again.
TEST_F(CallMixTest, RecordersGoBackToTheirOwnInputWhenTheProgramEnds) {
    constexpr const char* kCaller = "org.example.Caller";
    TestMicrophone chosen(*session_, kMicrophone, "Test Microphone", kVoiceHz);
    TestMicrophone own(*session_, "own_mic", "Own Microphone", kToneAHz);
    ASSERT_TRUE(pollUntil([&] { return session_->nodeID("own_mic").has_value(); }, 5000));
    PulseRecorder recorder(*session_, kCaller, std::string("own_mic"));
    const auto stream = [&] {
        const auto streams = session_->streamNodes(kCaller, "Stream/Input/Audio");
        return streams.empty() ? PipeWireSession::NodeIdentity{} : streams.front();
    };
    ASSERT_TRUE(pollUntil([&] { return stream().id != 0; }, 5000));
    {
        PipeWireAudioHardware hardware;
        ASSERT_EQ(hardware.setRecordingChoices({{kCaller, {kMicrophone, 0.5f, false}}}), noErr);
        ASSERT_TRUE(pollUntil(
            [&] {
                const auto listed = recording(hardware, kCaller);
                return listed && listed->sourceUID == kMicrophone;
            },
            8000));
    }
    EXPECT_EQ(session_->metadataValue(stream().id, "target.object"), std::nullopt);
    // Where it is linked from: a source nothing else plays into does not always keep sounding.
    const auto recordsFrom = [&] {
        std::map<std::uint32_t, std::string> names;
        std::set<std::uint32_t> sources;
        for (const auto& object : session_->dump()) {
            const auto info = object.value("info", nlohmann::json::object());
            if (object.value("type", "") == "PipeWire:Interface:Node") {
                names[object.value("id", 0u)] =
                    info.value("props", nlohmann::json::object()).value("node.name", "");
            } else if (object.value("type", "") == "PipeWire:Interface:Link" &&
                       info.value("input-node-id", 0u) == stream().id) {
                sources.insert(info.value("output-node-id", 0u));
            }
        }
        std::set<std::string> named;
        for (const std::uint32_t source : sources) {
            named.insert(names[source]);
        }
        return named;
    };
    EXPECT_TRUE(pollUntil([&] { return recordsFrom() == std::set<std::string>{"own_mic"}; }, 8000))
        << "it records from its own choice again: " << ::testing::PrintToString(recordsFrom());
}

} // namespace
} // namespace kestrelamp::e2e
