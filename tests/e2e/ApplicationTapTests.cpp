// A tap on the real server belongs to an application, not to one of its processes: it holds every
// stream the application plays, now and after it restarts, until another program moves it, and it
// gives the streams back to whatever they played on before.

#include "engine/hal/PipeWireAudioHardware.h"
#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"
#include "support/Routing.h"
#include "support/SessionTest.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>

namespace kestrelamp::e2e {
namespace {

using namespace hal;

constexpr const char* kToneA = "org.example.ToneA";
constexpr const char* kSinkC = "test_sink_c";
constexpr double kAudible = -30.0;

OSStatus countCall(AudioObjectID, std::uint32_t, const AudioObjectPropertyAddress*, void* data) {
    static_cast<std::atomic<int>*>(data)->fetch_add(1);
    return noErr;
}

class ApplicationTapTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        if (!HasFatalFailure()) {
            ASSERT_TRUE(session_->createSink(kSinkC, "Test Sink C"));
        }
    }

    void TearDown() override {
        if (session_->isRunning()) {
            session_->destroyNode(kSinkC);
        }
    }

    // Tone A playing unrouted on A, at the level it has there.
    double startToneA(std::unique_ptr<ChildProcess>& player, LevelMeter& meterA) {
        player = session_->startPlayer(kToneA, "Tone A");
        settledLevel(meterA, [](double l) { return l > kAudible; });
        return steadyLevel(meterA, [](double) { return true; });
    }

    // What wpctl lists as audio sinks.
    static std::string wpctlSinks(const std::string& status) {
        const auto start = status.find("Sinks:");
        const auto end = status.find("Sink endpoints:", start);
        return start == std::string::npos ? std::string() : status.substr(start, end - start);
    }

    std::string readString(AudioHardware& hardware, AudioObjectID object,
                           AudioObjectPropertySelector selector) {
        std::string value;
        hardware.getPropertyString(object, globalAddress(selector), value);
        return value;
    }
};

TEST_F(ApplicationTapTest, HoldsTheApplicationThroughRestartsAndItsOtherProcesses) {
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    std::unique_ptr<ChildProcess> player;
    const double unrouted = startToneA(player, meterA);
    ASSERT_GT(unrouted, kAudible);
    PipeWireAudioHardware hardware;
    const auto process = findProcess(hardware, kToneA);
    ASSERT_TRUE(process);
    PassThrough renderer;
    TestRoute route(hardware, *process, kSinkB, renderer);
    ASSERT_EQ(route.failure(), "");
    EXPECT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA}));

    // Between its runs the application is not listed, and its tap waits.
    player->stop();
    ASSERT_TRUE(pollUntil([&] { return !findProcess(hardware, kToneA, 0); }, 5000));
    const std::uint64_t mark = meterA.framesReceived();
    player = session_->startPlayer(kToneA, "Tone A");
    EXPECT_EQ(findProcess(hardware, kToneA), process) << "the same object for the new run";
    EXPECT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA}));

    // What the default sink heard of the new run's first second (1.5 s from just before it
    // started), as milliseconds of the tone at full level.
    const auto start = meterA.framesSince(mark, 72000);
    ASSERT_TRUE(start);
    double energy = 0.0;
    for (const float sample : *start) {
        energy += double(sample) * sample;
    }
    const double toneEnergyPerMs = 0.5 * 0.5 / 2.0 * 48.0;
    const double leakedMs = energy / toneEnergyPerMs;
    std::printf("[ measure  ] a returning application's first second on the default sink: "
                "%.1f ms of its sound\n",
                leakedMs);
    EXPECT_LT(leakedMs, 250.0);

    // A second process of the application, in another pitch, is held as well.
    auto second = session_->startPlayer(kToneA, "Tone A", 880.0);
    LevelMeter* meters[] = {&meterA, &meterB};
    const auto tones = [&](LevelMeter* meter, double frequency) {
        return meter->toneDbfs(frequency, 9600).value_or(std::vector<double>{-120.0})[0];
    };
    EXPECT_TRUE(pollUntil([&] { return tones(meters[1], 880.0) > kAudible; }, 5000));
    EXPECT_NEAR(tones(meters[1], 440.0), unrouted, 0.5);
    EXPECT_LT(silentLevel(meterA), kSilent);
    const auto processes = listedObjects(hardware, kAudioHardwarePropertyProcessObjectList);
    EXPECT_EQ(std::count(processes.begin(), processes.end(), *process), 1);
}

TEST_F(ApplicationTapTest, AnotherProgramsMoveReleasesTheTapAndKeepsItsChoice) {
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    LevelMeter meterC(kSinkC);
    std::unique_ptr<ChildProcess> player;
    const double unrouted = startToneA(player, meterA);
    PipeWireAudioHardware hardware;
    const auto process = findProcess(hardware, kToneA);
    ASSERT_TRUE(process);
    const auto node = session_->onlyStream(kToneA);
    const std::uint32_t stream = node.id;

    // By a PulseAudio client (its sink inputs are numbered by serial), and by the metadata.
    const std::vector<std::vector<std::string>> moves = {
        {"pactl", "move-sink-input", std::to_string(node.serial), kSinkC},
        {"pw-metadata", "-n", "default", std::to_string(stream), "target.object", kSinkC}};
    for (const auto& move : moves) {
        SCOPED_TRACE(move.front());
        PassThrough renderer;
        TestRoute route(hardware, *process, kSinkB, renderer);
        ASSERT_EQ(route.failure(), "");
        ASSERT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA, &meterC}));
        std::atomic<int> calls{0};
        const auto released = globalAddress(kAudioTapPropertyIsReleased);
        ASSERT_EQ(hardware.addPropertyListener(route.tap(), released, &countCall, &calls), noErr);
        std::string text;
        EXPECT_NE(hardware.getPropertyString(
                      route.tap(), globalAddress(kAudioTapPropertyReleaseDeviceUID), text),
                  noErr);

        const auto result = runCommand(move, session_->logPath("move"));
        ASSERT_EQ(result.status, 0) << result.output;
        EXPECT_TRUE(pollUntil([&] { return calls.load() > 0; }, 5000));
        std::uint32_t isReleased = 0;
        hardware.getPropertyUInt32(route.tap(), released, isReleased);
        EXPECT_EQ(isReleased, 1u);
        EXPECT_EQ(readString(hardware, route.tap(), kAudioTapPropertyReleaseDeviceUID), kSinkC);
        EXPECT_TRUE(playsOnlyOn(meterC, unrouted, {&meterA, &meterB}));

        // Going away, the route leaves the other program's choice as it is.
        const auto chosen = session_->metadataValue(stream, "target.object");
        hardware.removePropertyListener(route.tap(), released, &countCall, &calls);
        route.destroy();
        EXPECT_EQ(session_->metadataValue(stream, "target.object"), chosen);
        EXPECT_TRUE(playsOnlyOn(meterC, unrouted, {&meterA, &meterB}));
        // Key by key: the session manager does not act on a subject cleared as a whole.
        for (const char* key : {"target.object", "target.node"}) {
            runCommand({"pw-metadata", "-n", "default", "-d", std::to_string(stream), key},
                       session_->logPath("clear"));
        }
        ASSERT_TRUE(playsOnlyOn(meterA, unrouted, {&meterB, &meterC}));
    }
}

TEST_F(ApplicationTapTest, LettingGoGivesTheStreamBackToTheTargetItHadBefore) {
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    LevelMeter meterC(kSinkC);
    std::unique_ptr<ChildProcess> player;
    const double unrouted = startToneA(player, meterA);
    const std::uint32_t stream = session_->onlyStream(kToneA).id;
    runCommand({"pw-metadata", "-n", "default", std::to_string(stream), "target.object", kSinkC},
               session_->logPath("before"));
    ASSERT_TRUE(playsOnlyOn(meterC, unrouted, {&meterA, &meterB}));
    {
        PipeWireAudioHardware hardware;
        const auto process = findProcess(hardware, kToneA);
        ASSERT_TRUE(process);
        PassThrough renderer;
        TestRoute route(hardware, *process, kSinkB, renderer);
        ASSERT_EQ(route.failure(), "");
        EXPECT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA, &meterC}));
        // Nothing of ours is offered as an output to other programs.
        const auto sinks = runCommand({"pactl", "list", "short", "sinks"}, session_->logPath("l"));
        EXPECT_EQ(sinks.output.find("com.kestrelamp"), std::string::npos) << sinks.output;
        const auto status = runCommand({"wpctl", "status"}, session_->logPath("wpctl"));
        EXPECT_EQ(wpctlSinks(status.output).find("Kestrelamp"), std::string::npos) << status.output;
    }
    EXPECT_EQ(session_->metadataValue(stream, "target.object"), std::string(kSinkC));
    EXPECT_TRUE(playsOnlyOn(meterC, unrouted, {&meterA, &meterB}));
    EXPECT_TRUE(pollUntil([&] { return kestrelampObjects(session_->dump()).empty(); }, 5000))
        << ::testing::PrintToString(kestrelampObjects(session_->dump()));
}

} // namespace
} // namespace kestrelamp::e2e
