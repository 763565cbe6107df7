// The call mix on the real server, heard the way a call program hears it: by recording from it.

#include "engine/hal/PipeWireAudioHardware.h"
#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"
#include "support/Routing.h"
#include "support/SessionTest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <thread>
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

double toneLevel(LevelMeter& meter, double frequency) {
    const auto levels = meter.toneDbfs(frequency, 9600);
    return levels && !levels->empty() ? (*levels)[0] : -120.0;
}

// Waits until the tone's level on the meter settles above silence, and returns it.
double settledTone(LevelMeter& meter, double frequency, int timeoutMs = 8000) {
    double level = -120.0;
    pollUntil(
        [&] {
            const double before = toneLevel(meter, frequency);
            level = toneLevel(meter, frequency);
            return level > kAudible && std::abs(level - before) < 0.5;
        },
        timeoutMs);
    return level;
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
    const double heard = settledTone(call, kToneAHz);
    const double played = settledTone(meterA, kToneAHz);
    EXPECT_NEAR(heard, played, 1.0) << "Tone A in the call as on the sink";
    EXPECT_LT(toneLevel(call, kToneBHz), -70.0) << "Tone B is not routed into the call";
    EXPECT_GT(settledTone(meterA, kToneBHz), kAudible) << "the sink plays both";

    routeToMix.destroy();
    routeToSink.destroy();
    ASSERT_EQ(hardware.setCallMix({}), noErr);
    EXPECT_TRUE(
        pollUntil([&] { return session_->nodeID(kCallMixDeviceUID) == std::nullopt; }, 5000));
}

// A microphone of the test's own: what plays on "mic_feed" comes out of the source "test_mic".
class TestMicrophone {
public:
    explicit TestMicrophone(PipeWireSession& session)
        : session_(session) {
        session_.createSink("mic_feed", "Microphone feed");
        loopback_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{
                "pw-loopback", "--capture-props",
                "stream.capture.sink=true target.object=mic_feed node.name=mic_feed_capture",
                "--playback-props",
                std::string("media.class=Audio/Source node.name=") + kMicrophone +
                    " node.description=\"Test Microphone\" audio.position=[FL FR]"},
            session_.logPath("microphone"));
        ToneOptions tone;
        tone.frequencies = {kVoiceHz};
        voice_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"pw-play", "--target", "mic_feed", "-P",
                                     "{ application.id=org.example.Voice }",
                                     session_.toneFile(tone)},
            session_.logPath("voice"));
    }
    ~TestMicrophone() {
        voice_.reset();
        loopback_.reset();
        session_.destroyNode("mic_feed");
    }

private:
    PipeWireSession& session_;
    std::unique_ptr<ChildProcess> loopback_;
    std::unique_ptr<ChildProcess> voice_;
};

TEST_F(CallMixTest, TheChosenMicrophoneIsMixedInAtItsVolumeAndNotWhenMuted) {
    TestMicrophone microphone(*session_);
    LevelMeter direct(kMicrophone, recorder());
    const double voice = settledTone(direct, kVoiceHz);
    ASSERT_GT(voice, kAudible);

    PipeWireAudioHardware hardware;
    CallMixSettings settings = on();
    settings.microphoneUID = kMicrophone;
    settings.microphoneVolume = 0.5f;
    ASSERT_EQ(hardware.setCallMix(settings), noErr);
    ASSERT_TRUE(findDevice(hardware, kCallMixDeviceUID));
    LevelMeter call(kCallMixDeviceUID, recorder());
    EXPECT_NEAR(settledTone(call, kVoiceHz), voice - 6.02, 1.0);

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

// The level (dBFS, as LevelMeter::toneDbfs gives it) of a sine in channel 0 of interleaved
// stereo floats, over a Hann window.
double toneInRecording(const std::vector<float>& samples, double frequency, double rate) {
    const std::size_t frames = samples.size() / 2;
    double re = 0;
    double im = 0;
    double windowSum = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(frames));
        const double phase = 2 * M_PI * frequency * double(i) / rate;
        re += w * samples[2 * i] * std::cos(phase);
        im -= w * samples[2 * i] * std::sin(phase);
        windowSum += w;
    }
    const double amplitude = windowSum > 0 ? 2 * std::hypot(re, im) / windowSum : 0;
    return dbfs(amplitude / std::sqrt(2.0));
}

// A PulseAudio recorder, as browsers and call programs record: parecord from the call mix.
TEST_F(CallMixTest, PulseAudioRecordersHearItToo) {
    TwoTones world;
    ASSERT_NO_FATAL_FAILURE(startTwoTonesAndTheCallMix(world));
    auto& [meterA, toneA, toneB, hardware, a] = world;
    // Its level as it plays on its own, before the route takes it off the sink.
    const double played = settledTone(meterA, kToneAHz);
    PassThrough toMix;
    TestRoute route(hardware, *a, kCallMixDeviceUID, toMix);
    ASSERT_EQ(route.failure(), "");

    const std::string file = session_->path() + "/parecord.raw";
    {
        ChildProcess recorder({"parecord", "--raw", "--latency-msec=20", "--format=float32le",
                               "--rate=48000", "--channels=2",
                               std::string("--device=") + kCallMixDeviceUID, file},
                              session_->logPath("parecord"));
        std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    }
    std::vector<float> recorded;
    {
        std::ifstream raw(file, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(raw)), {});
        recorded.resize(bytes.size() / sizeof(float));
        std::memcpy(recorded.data(), bytes.data(), recorded.size() * sizeof(float));
    }
    // The last second: the first moments of a recording are the server starting it.
    ASSERT_GT(recorded.size(), std::size_t(2 * 48000 * 1.5)) << "parecord recorded too little";
    const std::vector<float> last(recorded.end() - 2 * 48000, recorded.end());
    EXPECT_NEAR(toneInRecording(last, kToneAHz, 48000), played, 1.0);
    EXPECT_LT(toneInRecording(last, kToneBHz, 48000), -70.0);
    route.destroy();
}

} // namespace
} // namespace kestrelamp::e2e
