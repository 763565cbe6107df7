// A tap on the real server belongs to an application, not to one of its processes: it holds every
// stream the application plays, now and after it restarts, until another program moves it, and it
// gives the streams back to whatever they played on before.

#include "engine/hal/PipeWireAudioHardware.h"
#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"
#include "support/Routing.h"
#include "support/SessionTest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <thread>

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

// Where either of two sinks carries sound, on one time line of 48 kHz steps: recordings of sinks
// driven by different clocks line up by the time their frames were played.
class HeardOnEither {
public:
    HeardOnEither(LevelMeter& a, LevelMeter& b)
        : meters_{&a, &b}
        , marks_{a.framesReceived(), b.framesReceived()} {}

    // Records up to what both meters have received; false when a recording did not arrive.
    bool finish() {
        std::uint64_t ends[2];
        std::int64_t first = 0;
        std::int64_t last = 0;
        for (int m = 0; m < 2; ++m) {
            ends[m] = meters_[m]->framesReceived();
            const auto from = meters_[m]->frameTime(marks_[m]);
            const auto to = meters_[m]->frameTime(ends[m] - 1);
            if (!from || !to) {
                return false;
            }
            first = m == 0 ? *from : std::max(first, *from);
            last = m == 0 ? *to : std::min(last, *to);
        }
        if (last <= first) {
            return false;
        }
        start_ = first;
        for (int m = 0; m < 2; ++m) {
            loud_[m].assign(std::size_t(step(last, first)) + 1, false);
            const auto samples =
                meters_[m]->framesSince(marks_[m], std::uint32_t(ends[m] - marks_[m]));
            if (!samples) {
                return false;
            }
            for (std::size_t i = 0; i < samples->size(); ++i) {
                const std::int64_t at = step(*meters_[m]->frameTime(marks_[m] + i), first);
                if (at >= 0 && at < std::int64_t(loud_[m].size()) &&
                    std::abs((*samples)[i]) > kNearZero) {
                    loud_[m][std::size_t(at)] = true;
                }
            }
        }
        return true;
    }

    // The longest runs of steps where neither sink carries sound, and where both do, over the
    // whole recording or between two CLOCK_MONOTONIC times.
    std::size_t longestSilence(std::int64_t from = 0, std::int64_t to = 0) const {
        return longestRun(from, to, [](bool a, bool b) { return !a && !b; });
    }
    std::size_t longestDouble(std::int64_t from = 0, std::int64_t to = 0) const {
        return longestRun(from, to, [](bool a, bool b) { return a && b; });
    }
    static double milliseconds(std::size_t steps) { return double(steps) / 48.0; }
    static std::int64_t now() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

private:
    static constexpr float kNearZero = 0.005f;

    static std::int64_t step(std::int64_t time, std::int64_t start) {
        return (time - start) * 48000 / 1000000000;
    }

    template <class Predicate>
    std::size_t longestRun(std::int64_t from, std::int64_t to, Predicate predicate) const {
        const auto clamp = [&](std::int64_t time, std::size_t otherwise) {
            return time == 0 ? otherwise
                             : std::size_t(std::clamp<std::int64_t>(step(time, start_), 0,
                                                                    std::int64_t(loud_[0].size())));
        };
        std::size_t longest = 0;
        std::size_t run = 0;
        for (std::size_t i = clamp(from, 0); i < clamp(to, loud_[0].size()); ++i) {
            run = predicate(loud_[0][i], loud_[1][i]) ? run + 1 : 0;
            longest = std::max(longest, run);
        }
        return longest;
    }

    LevelMeter* meters_[2];
    std::uint64_t marks_[2];
    std::vector<bool> loud_[2];
    std::int64_t start_ = 0;
};

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

    // By a PulseAudio client, and by the metadata.
    const std::vector<std::pair<const char*, std::function<bool()>>> moves = {
        {"pactl", [&] { return session_->moveWithPactl(node, kSinkC); }},
        {"pw-metadata", [&] {
             return runCommand({"pw-metadata", "-n", "default", std::to_string(stream),
                                "target.object", kSinkC},
                               session_->logPath("move"))
                        .status == 0;
         }}};
    for (const auto& [tool, move] : moves) {
        SCOPED_TRACE(tool);
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

        ASSERT_TRUE(move());
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

// The application's streams move to the tap only while an aggregate reading it plays, so that
// they never play into a node nobody reads; a tap no aggregate reads takes them after a moment.
TEST_F(ApplicationTapTest, TheApplicationMovesOnlyWhileAnAggregatePlaysItsTap) {
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    std::unique_ptr<ChildProcess> player;
    const double unrouted = startToneA(player, meterA);
    PipeWireAudioHardware hardware;
    const auto process = findProcess(hardware, kToneA);
    ASSERT_TRUE(process);
    auto description = CATapDescription::stereoMixdownOfProcesses({*process});
    description.muteBehavior = CATapMuteBehavior::mutedWhenTapped;

    AudioObjectID tap = kAudioObjectUnknown;
    ASSERT_EQ(hardware.createProcessTap(description, tap), noErr);
    EXPECT_LT(silentLevel(meterA), kSilent) << "a tap no aggregate reads holds the application";
    ASSERT_EQ(hardware.destroyProcessTap(tap), noErr);
    ASSERT_TRUE(playsOnlyOn(meterA, unrouted, {&meterB}));

    ASSERT_EQ(hardware.createProcessTap(description, tap), noErr);
    AggregateDeviceDescription aggregateDescription;
    aggregateDescription.name = "Kestrelamp-e2e";
    aggregateDescription.uid = "com.kestrelamp.aggregate.0E2E0000-0000-4000-8000-000000000001";
    aggregateDescription.subDeviceUIDs = {kSinkB};
    aggregateDescription.tapUIDs = {readString(hardware, tap, kAudioTapPropertyUID)};
    AudioObjectID aggregate = kAudioObjectUnknown;
    ASSERT_EQ(hardware.createAggregateDevice(aggregateDescription, aggregate), noErr);
    // Longer than a tap without an aggregate waits.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(playsOnlyOn(meterA, unrouted, {&meterB}))
        << "until the aggregate plays, the application stays where it plays";

    PassThrough renderer;
    AudioDeviceIOProcID ioProc = kAudioDeviceIOProcIDNone;
    ASSERT_EQ(hardware.createIOProcID(aggregate, renderer.block(), ioProc), noErr);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(hardware.deviceStart(aggregate, ioProc), noErr);
        EXPECT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA}));
        ASSERT_EQ(hardware.deviceStop(aggregate, ioProc), noErr);
        EXPECT_TRUE(playsOnlyOn(meterA, unrouted, {&meterB}))
            << "a stopped aggregate gives the application back";
    }
    hardware.destroyIOProcID(aggregate, ioProc);
    hardware.destroyAggregateDevice(aggregate);
    hardware.destroyProcessTap(tap);
    EXPECT_TRUE(playsOnlyOn(meterA, unrouted, {&meterB}));
}

TEST_F(ApplicationTapTest, RoutingAndUnroutingLeaveNoSilenceBetweenTheSinks) {
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    std::unique_ptr<ChildProcess> player;
    ASSERT_GT(startToneA(player, meterA), kAudible);
    PipeWireAudioHardware hardware;
    const auto process = findProcess(hardware, kToneA);
    ASSERT_TRUE(process);
    const auto loud = [](double level) { return level > kAudible; };

    // When each change was asked for and when the call returned.
    std::vector<std::pair<std::int64_t, std::int64_t>> builds;
    std::vector<std::pair<std::int64_t, std::int64_t>> removals;
    const auto hold = [] { std::this_thread::sleep_for(std::chrono::milliseconds(150)); };
    HeardOnEither heard(meterA, meterB);
    for (int i = 0; i < 10; ++i) {
        PassThrough renderer;
        const std::int64_t building = HeardOnEither::now();
        TestRoute route(hardware, *process, kSinkB, renderer);
        builds.emplace_back(building, HeardOnEither::now());
        ASSERT_EQ(route.failure(), "");
        EXPECT_GT(settledLevel(meterB, loud), kAudible) << "routed, round " << i;
        hold();
        const std::int64_t removing = HeardOnEither::now();
        route.destroy();
        removals.emplace_back(removing, HeardOnEither::now());
        EXPECT_GT(settledLevel(meterA, loud), kAudible) << "back on the default, round " << i;
        hold();
    }
    ASSERT_TRUE(heard.finish());

    // Each change's own figures: from the call until well after the sinks' monitors have
    // passed on what played when it returned.
    const auto report = [&](const char* what,
                            const std::vector<std::pair<std::int64_t, std::int64_t>>& calls) {
        std::string silences;
        std::string doubles;
        for (const auto& [asked, returned] : calls) {
            const std::int64_t until = returned + 120'000'000;
            silences += " " + std::to_string(int(
                                  HeardOnEither::milliseconds(heard.longestSilence(asked, until))));
            doubles +=
                " " +
                std::to_string(int(HeardOnEither::milliseconds(heard.longestDouble(asked, until))));
        }
        std::printf("[ measure  ] %s: silence ms%s; sound on both ms%s\n", what, silences.c_str(),
                    doubles.c_str());
    };
    report("routes built", builds);
    report("routes removed", removals);
    const std::uint32_t quantum = std::max(meterA.quantum(), meterB.quantum());
    const std::size_t silence = heard.longestSilence();
    std::printf("[ measure  ] longest silence on both sinks over 10 rounds: %zu frames (%.1f ms, "
                "%.2f quanta of %u)\n",
                silence, HeardOnEither::milliseconds(silence), double(silence) / quantum, quantum);
    EXPECT_LE(silence, 2 * std::size_t(quantum));
}

} // namespace
} // namespace kestrelamp::e2e
