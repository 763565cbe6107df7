// A headless instance of the program on the private server, driven only through
// `kestrelamp ctl`: routes move a player's sound between the sinks, a profile brings a set-up
// back, a recorder records where it is told, and quitting leaves nothing of ours in the graph.

#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"
#include "support/ProgramSessionTest.h"
#include "support/Recorders.h"

#include <gtest/gtest.h>

namespace kestrelamp::e2e {
namespace {

using RemoteControlOnPipeWire = ProgramSessionTest;

TEST_F(RemoteControlOnPipeWire, CtlMovesAPlayerRestoresAProfileAndQuitsWithoutTrace) {
    ToneA toneA;
    ASSERT_NO_FATAL_FAILURE(playToneAWithKestrelamp(toneA));
    auto& [meterA, meterB, player, unrouted] = toneA;

    ctl({"route", kToneA, kSinkB});
    EXPECT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA}));

    const std::string profileID =
        QString::fromStdString(ctl({"profile", "save", "On B"}).out).trimmed().toStdString();
    ctl({"route", kToneA, kSinkA});
    EXPECT_TRUE(playsOnlyOn(meterA, unrouted, {&meterB}));

    ctl({"profile", "apply", "on b"});
    EXPECT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA}));
    EXPECT_EQ(status()["activeProfileID"], profileID);

    quitKestrelamp();
    EXPECT_TRUE(leavesNothingOfOurs());
    // Untapped again, the player is heard on the default sink.
    EXPECT_NEAR(levelNear(meterA, unrouted, 0.5, kPatienceMs), unrouted, 0.5);
}

// A recorder on the call mix hears the player sent there beside its sink; off, nothing of the
// call mix is left and the sink goes on playing.
TEST_F(RemoteControlOnPipeWire, CtlSendsAPlayerIntoTheCallMixBesideItsSink) {
    ToneA toneA;
    ASSERT_NO_FATAL_FAILURE(playToneAWithKestrelamp(toneA));
    auto& [meterA, meterB, player, unrouted] = toneA;

    ctl({"call-mix", "on"});
    EXPECT_EQ(status()["callMix"]["on"], true);
    ctl({"route", kToneA, kSinkA, "com.kestrelamp.callmix"});
    MeterFormat recorder;
    recorder.source = true;
    LevelMeter call("com.kestrelamp.callmix", recorder);
    EXPECT_NEAR(levelNear(call, unrouted, 1.0, kPatienceMs), unrouted, 1.0);
    EXPECT_NEAR(levelNear(meterA, unrouted, 0.5, kPatienceMs), unrouted, 0.5);

    ctl({"call-mix", "off"});
    EXPECT_FALSE(session_->nodeID("com.kestrelamp.callmix"));
    EXPECT_NEAR(levelNear(meterA, unrouted, 0.5, kPatienceMs), unrouted, 0.5);
    quitKestrelamp();
    EXPECT_TRUE(leavesNothingOfOurs());
}

// A call program (parecord) whose input is chosen with ctl records from it, through its restart;
// `ctl status` gives the level of what it records; muted, it records silence; quitting gives it
// back untouched.
TEST_F(RemoteControlOnPipeWire, CtlChoosesWhereARecorderRecordsAndReadsItsLevel) {
    constexpr const char* kCaller = "org.example.Caller";
    constexpr double kVoiceHz = 1000.0;
    auto microphone =
        std::make_unique<TestMicrophone>(*session_, "test_mic", "Test Microphone", kVoiceHz);
    startKestrelamp();
    const auto entry = [&] {
        for (const auto& app : status().value("recording", nlohmann::json::array())) {
            if (app.value("id", "") == kCaller) {
                return app;
            }
        }
        return nlohmann::json();
    };
    const auto recordsFrom = [&](const std::string& uid) {
        return pollUntil(
            [&] {
                const auto app = entry();
                return app.is_object() && app.value("recordsFrom", "") == uid;
            },
            kPatienceMs);
    };
    auto recorder = std::make_unique<PulseRecorder>(*session_, kCaller);
    ASSERT_TRUE(pollUntil([&] { return entry().is_object(); }, kPatienceMs));
    ctl({"record-from", kCaller, "test_mic"});
    EXPECT_TRUE(recordsFrom("test_mic"));
    recorder = std::make_unique<PulseRecorder>(*session_, kCaller);
    EXPECT_TRUE(recordsFrom("test_mic")) << "restarted, it records from its choice";
    ASSERT_TRUE(microphone->ensureSounding());
    ASSERT_TRUE(pollUntil([&] { return recorder->toneDbfs(kVoiceHz) > kAudible; }, kPatienceMs));

    double reported = -200.0;
    EXPECT_TRUE(pollUntil(
        [&] {
            const auto level = entry().value("level", nlohmann::json());
            reported = level.is_number() ? level.get<double>() : -200.0;
            return std::abs(reported - recorder->rmsDbfs()) < 2.0;
        },
        kPatienceMs))
        << reported << " against " << recorder->rmsDbfs();
    RecordProperty("statusLevelDb", std::to_string(reported));
    RecordProperty("recordedDb", std::to_string(recorder->rmsDbfs()));

    // The microphone leaves: the recorder records where the session manager puts it, and says
    // so; back, it records from it again.
    microphone.reset();
    EXPECT_TRUE(pollUntil(
        [&] {
            const auto app = entry();
            return app.is_object() && app.value("recordsFrom", "") != "test_mic" &&
                   app.value("state", "").starts_with("waiting for the device");
        },
        kPatienceMs))
        << entry().dump();
    microphone =
        std::make_unique<TestMicrophone>(*session_, "test_mic", "Test Microphone", kVoiceHz);
    EXPECT_TRUE(recordsFrom("test_mic")) << "back, it records from its choice again";
    ASSERT_TRUE(microphone->ensureSounding());
    EXPECT_TRUE(pollUntil([&] { return recorder->toneDbfs(kVoiceHz) > kAudible; }, kPatienceMs));

    ctl({"record-mute", kCaller, "on"});
    EXPECT_TRUE(pollUntil([&] { return recorder->rmsDbfs() < kSilent; }, kPatienceMs))
        << "muted, it records " << recorder->rmsDbfs();
    const auto streams = session_->streamNodes(kCaller, "Stream/Input/Audio");
    ASSERT_EQ(streams.size(), 1u);
    quitKestrelamp();
    EXPECT_TRUE(leavesNothingOfOurs());
    EXPECT_EQ(session_->metadataValue(streams.front().id, "target.object"), std::nullopt);
    const auto muted = [&] {
        for (const auto& object : session_->dump()) {
            if (object.value("id", 0u) == streams.front().id && object.contains("info")) {
                const auto props = object["info"]["params"].value("Props", nlohmann::json::array());
                return !props.empty() && props[0].value("mute", true);
            }
        }
        return true;
    };
    EXPECT_TRUE(pollUntil([&] { return !muted(); }, kPatienceMs)) << "given back, it is not muted";
}

} // namespace
} // namespace kestrelamp::e2e
