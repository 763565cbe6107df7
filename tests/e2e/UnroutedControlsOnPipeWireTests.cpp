// An application left on "System Default": the program, driven through `kestrelamp ctl`, acts on
// its sound where it plays (the default output, wherever that goes) as soon as a setting is not
// neutral, and leaves nothing of its own in the graph once they all are again. Checked on the
// sinks' monitors.

#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"
#include "support/ProgramSessionTest.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kestrelamp::e2e {
namespace {

class UnroutedControlsOnPipeWire : public ProgramSessionTest {
protected:
    void TearDown() override {
        ProgramSessionTest::TearDown();
        if (session_->isRunning() && session_->defaultSink() != kSinkA) {
            session_->setDefaultSink(kSinkA);
        }
    }
};

TEST_F(UnroutedControlsOnPipeWire, VolumeMuteAndBoostActWhereItPlaysAndFollowTheDefault) {
    ToneA toneA;
    ASSERT_NO_FATAL_FAILURE(playToneAWithKestrelamp(toneA));
    auto& [meterA, meterB, player, unrouted] = toneA;

    ctl({"volume", kToneA, "0.9"});
    EXPECT_NEAR(levelNear(meterA, unrouted - 0.92, 0.3, kPatienceMs), unrouted - 0.92, 0.3);
    ctl({"volume", kToneA, "1"});
    EXPECT_TRUE(routesBecome(kToneA, {}));
    EXPECT_TRUE(playsOnlyOn(meterA, unrouted, {&meterB}));

    ctl({"mute", kToneA, "on"});
    EXPECT_LT(silentLevel(meterA, kPatienceMs), kSilent);
    EXPECT_TRUE(routesBecome(kToneA, {{kSinkA, "active"}}));
    EXPECT_EQ(storedChoice(kToneA), std::vector<std::string>{}) << "no stored choice";

    ctl({"volume", kToneA, "0.5"});
    const double half = levelNear(meterA, unrouted - 6.0, 0.5, kPatienceMs);
    EXPECT_NEAR(half, unrouted - 6.0, 0.5);
    EXPECT_LT(silentLevel(meterB, kPatienceMs), kSilent);
    EXPECT_TRUE(showsLevel(kToneA, half)) << "what the status says is what the sink plays";

    ctl({"boost", kToneA, "2"});
    EXPECT_NEAR(levelNear(meterA, unrouted, 0.5, kPatienceMs), unrouted, 0.5);
    ctl({"boost", kToneA, "1"});
    EXPECT_NEAR(levelNear(meterA, unrouted - 6.0, 0.5, kPatienceMs), unrouted - 6.0, 0.5);

    // Another default output: it plays there, still at half.
    ctl({"default-output", kSinkB});
    EXPECT_TRUE(playsOnlyOn(meterB, unrouted - 6.0, {&meterA}));
    EXPECT_TRUE(routesBecome(kToneA, {{kSinkB, "active"}}));
    // Another tool moves the default back: it follows.
    ASSERT_TRUE(session_->setDefaultSink(kSinkA));
    EXPECT_TRUE(playsOnlyOn(meterA, unrouted - 6.0, {&meterB}));
    EXPECT_TRUE(routesBecome(kToneA, {{kSinkA, "active"}}));

    // Neutral again: it plays on the default as it did, and nothing of ours is left for it.
    ctl({"volume", kToneA, "1"});
    EXPECT_TRUE(routesBecome(kToneA, {}));
    EXPECT_TRUE(playsOnlyOn(meterA, unrouted, {&meterB}));
    EXPECT_TRUE(leavesNothingOfOurs());
    EXPECT_FALSE(session_->metadataValue(session_->onlyStream(kToneA).id, "target.object"))
        << "the stream's own target is as it was";
}

// The Bass Boost preset on a 32 Hz tone: the same gain on the default output as on a chosen one.
TEST_F(UnroutedControlsOnPipeWire, AnEqualizerPresetActsOnTheDefaultAsOnAChosenDevice) {
    constexpr std::uint32_t kLowToneWindow = 6000;
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    auto player = session_->startPlayer(kToneA, "Tone A", 32.0, 0.25);
    const double unrouted = audibleLevel(meterA, kPatienceMs, kLowToneWindow);
    ASSERT_GT(unrouted, kAudible);
    startKestrelamp();

    ctl({"eq", kToneA, "Bass Boost"});
    const double onDefault = steadyLevel(
        meterA, [&](double l) { return l > unrouted + 3.0; }, kPatienceMs, kLowToneWindow);
    ctl({"route", kToneA, kSinkB});
    const double routed = steadyLevel(
        meterB, [&](double l) { return l > unrouted + 3.0; }, kPatienceMs, kLowToneWindow);
    EXPECT_GT(routed, unrouted + 3.0);
    EXPECT_NEAR(onDefault, routed, 0.5);

    // Back to System Default: the preset stays in effect there.
    ctl({"route", kToneA});
    EXPECT_TRUE(playsOnlyOn(meterA, routed, {&meterB}));
    ctl({"eq", kToneA, "Flat"});
    EXPECT_TRUE(routesBecome(kToneA, {}));
    EXPECT_TRUE(leavesNothingOfOurs());
}

} // namespace
} // namespace kestrelamp::e2e
