// A headless instance of the program on the private server, driven only through
// `kestrelamp ctl`: routes move a player's sound between the sinks, a profile brings a set-up
// back, and quitting leaves nothing of ours in the graph.

#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"
#include "support/ProgramSessionTest.h"

#include <gtest/gtest.h>

namespace kestrelamp::e2e {
namespace {

using RemoteControlOnPipeWire = ProgramSessionTest;

TEST_F(RemoteControlOnPipeWire, CtlMovesAPlayerRestoresAProfileAndQuitsWithoutTrace) {
    ToneA toneA;
    ASSERT_NO_FATAL_FAILURE(playToneAWithKestrelamp(toneA));
    auto& [meterA, meterB, player, unrouted] = toneA;

    ctl({"route", kToneA, kSinkB});
    EXPECT_NEAR(levelNear(meterB, unrouted, 0.5, kPatienceMs), unrouted, 0.5);
    EXPECT_LT(silentLevel(meterA, kPatienceMs), kSilent);

    const std::string profileID =
        QString::fromStdString(ctl({"profile", "save", "On B"}).out).trimmed().toStdString();
    ctl({"route", kToneA, kSinkA});
    EXPECT_NEAR(levelNear(meterA, unrouted, 0.5, kPatienceMs), unrouted, 0.5);
    EXPECT_LT(silentLevel(meterB, kPatienceMs), kSilent);

    ctl({"profile", "apply", "on b"});
    EXPECT_NEAR(levelNear(meterB, unrouted, 0.5, kPatienceMs), unrouted, 0.5);
    EXPECT_LT(silentLevel(meterA, kPatienceMs), kSilent);
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

} // namespace
} // namespace kestrelamp::e2e
