// A tap on the real server takes the application's streams only while an aggregate plays it, and
// moves them without a gap between the sinks.

#include "engine/hal/PipeWireAudioHardware.h"
#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"
#include "support/Routing.h"
#include "support/SessionTest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace kestrelamp::e2e {
namespace {

using namespace hal;

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
        for (int m = 0; m < 2; ++m) {
            loud_[m].assign(std::size_t(step(last, first)) + 1, false);
            recorded_[m].assign(loud_[m].size(), false);
            const auto samples =
                meters_[m]->framesSince(marks_[m], std::uint32_t(ends[m] - marks_[m]));
            if (!samples) {
                return false;
            }
            for (std::size_t i = 0; i < samples->size(); ++i) {
                const std::int64_t at = step(*meters_[m]->frameTime(marks_[m] + i), first);
                if (at < 0 || at >= std::int64_t(loud_[m].size())) {
                    continue;
                }
                recorded_[m][std::size_t(at)] = true;
                if (std::abs((*samples)[i]) > kNearZero) {
                    loud_[m][std::size_t(at)] = true;
                }
            }
        }
        return true;
    }

    // The longest run of steps where both sinks were recorded and neither carried sound. A
    // cycle a meter missed (this process not scheduled in time) is no silence anyone heard.
    std::size_t longestSilence() const {
        std::size_t longest = 0;
        std::size_t run = 0;
        for (std::size_t i = 0; i < loud_[0].size(); ++i) {
            if (recorded_[0][i] && recorded_[1][i]) {
                run = !loud_[0][i] && !loud_[1][i] ? run + 1 : 0;
            }
            longest = std::max(longest, run);
        }
        return longest;
    }

private:
    static constexpr float kNearZero = 0.005f;

    static std::int64_t step(std::int64_t time, std::int64_t start) {
        return (time - start) * 48000 / 1000000000;
    }

    LevelMeter* meters_[2];
    std::uint64_t marks_[2];
    std::vector<bool> loud_[2];
    std::vector<bool> recorded_[2];
};

class ApplicationTapTest : public SessionTest {
protected:
    std::string readString(AudioHardware& hardware, AudioObjectID object,
                           AudioObjectPropertySelector selector) {
        std::string value;
        hardware.getPropertyString(object, globalAddress(selector), value);
        return value;
    }
};

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

    const auto hold = [] { std::this_thread::sleep_for(std::chrono::milliseconds(150)); };
    HeardOnEither heard(meterA, meterB);
    for (int i = 0; i < 10; ++i) {
        PassThrough renderer;
        TestRoute route(hardware, *process, kSinkB, renderer);
        ASSERT_EQ(route.failure(), "");
        EXPECT_GT(settledLevel(meterB, loud), kAudible) << "routed, round " << i;
        hold();
        route.destroy();
        EXPECT_GT(settledLevel(meterA, loud), kAudible) << "back on the default, round " << i;
        hold();
    }
    ASSERT_TRUE(heard.finish());
    const std::uint32_t quantum = std::max(meterA.quantum(), meterB.quantum());
    const std::size_t silence = heard.longestSilence();
    EXPECT_LE(silence, 2 * std::size_t(quantum)) << "frames of silence, quantum " << quantum;
}

} // namespace
} // namespace kestrelamp::e2e
