// A JACK program (through pipewire-jack) connects its own ports and nothing moves it by a target:
// routed, it is heard on the chosen device, also after it starts again; letting go by "System
// Default", by quitting, and after a killed run by the next one, gives it the connections it had
// made. What the program reports is checked against what the sinks' monitors hear.

#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"
#include "support/ProgramSessionTest.h"

#include <gtest/gtest.h>

#include <csignal>

namespace kestrelamp::e2e {
namespace {

constexpr const char* kJackApp = "jack-play";
constexpr double kJackTone = 523.0;

class JackProgramsOnPipeWire : public ProgramSessionTest {
protected:
    std::unique_ptr<ChildProcess> startJackPlayer() const {
        ToneOptions tone;
        tone.frequencies = {kJackTone};
        tone.seconds = 120;
        // pw-jack execs the player: the pid is the player's, its node "jack-play-PID".
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{"pw-jack", "jack-play", session_->toneFile(tone)},
            session_->logPath("jack-play"));
    }

    static std::string nodeOf(const ChildProcess& player) {
        return "jack-play-" + std::to_string(player.pid());
    }

    // As the program or a patchbay connects it: out_1 and out_2 to the sink's two inputs.
    static bool connectToSink(const ChildProcess& player, const std::string& sink) {
        if (!pollUntil([&] { return session_->portCount(nodeOf(player)) >= 2; }, kPatienceMs)) {
            return false;
        }
        for (const auto& [output, input] :
             {std::pair{"out_1", "playback_FL"}, std::pair{"out_2", "playback_FR"}}) {
            const auto linked =
                runCommand({"pw-link", nodeOf(player) + ":" + output, sink + ":" + input},
                           session_->logPath("pw-link"));
            if (linked.status != 0) {
                ADD_FAILURE() << linked.output;
                return false;
            }
        }
        return true;
    }
};

TEST_F(JackProgramsOnPipeWire, RoutedRestartedAndGivenItsConnectionsBack) {
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    auto player = startJackPlayer();
    ASSERT_TRUE(connectToSink(*player, kSinkA));
    const double unrouted = audibleLevel(meterA, kPatienceMs);
    ASSERT_GT(unrouted, kAudible);
    startKestrelamp();
    ASSERT_TRUE(listed(kJackApp));

    ctl({"route", kJackApp, kSinkB});
    EXPECT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA}));
    EXPECT_TRUE(routesBecome(kJackApp, {{kSinkB, "active"}}));
    ctl({"volume", kJackApp, "0.5"});
    EXPECT_NEAR(levelNear(meterB, unrouted - 6.02, 1.0), unrouted - 6.02, 1.0);
    ctl({"volume", kJackApp, "1"});

    // A new run connects itself again: the route takes that connection over too.
    player->stop();
    player = startJackPlayer();
    EXPECT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA}));
    ASSERT_TRUE(connectToSink(*player, kSinkA));
    EXPECT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA}));
    EXPECT_TRUE(routesBecome(kJackApp, {{kSinkB, "active"}}));

    ctl({"route", kJackApp});
    EXPECT_TRUE(playsOnlyOn(meterA, unrouted, {&meterB}));
    EXPECT_TRUE(routesBecome(kJackApp, {}));

    // Killed while routed, the next run gives the connections back when it quits.
    ctl({"route", kJackApp, kSinkB});
    ASSERT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA}));
    ASSERT_EQ(::kill(pid_t(program_->instance().processId()), SIGKILL), 0);
    program_->waitForInstanceExit();
    startKestrelamp();
    EXPECT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA}));
    EXPECT_TRUE(routesBecome(kJackApp, {{kSinkB, "active"}}));
    quitKestrelamp();
    EXPECT_TRUE(leavesNothingOfOurs());
    EXPECT_TRUE(playsOnlyOn(meterA, unrouted, {&meterB}));
}

} // namespace
} // namespace kestrelamp::e2e
