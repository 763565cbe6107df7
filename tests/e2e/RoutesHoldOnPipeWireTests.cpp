// The program on the private server, driven only through `kestrelamp ctl`, keeps its routes in
// effect: through the application's restarts and its other processes, through its own restarts,
// while a device goes and comes back; it follows another program's move and leaves nothing of
// ours behind. What it reports is checked against what the sinks' monitors hear.

#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"
#include "support/ProgramSessionTest.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <csignal>
#include <tuple>

namespace kestrelamp::e2e {
namespace {

constexpr const char* kSinkC = "test_sink_c";
constexpr const char* kSource = "test_source";

class RoutesHoldOnPipeWire : public ProgramSessionTest {
protected:
    void SetUp() override {
        ProgramSessionTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_TRUE(session_->createSink(kSinkC, "Test Sink C"));
    }

    void TearDown() override {
        ProgramSessionTest::TearDown();
        if (session_->isRunning()) {
            session_->destroyNode(kSinkC);
            session_->destroyNode(kSource);
        }
    }

    // The application's stored device list as the status shows it; nothing while it is not
    // listed.
    std::optional<std::vector<std::string>> shownChoice(const std::string& appID) const {
        const auto app = appEntry(appID);
        if (!app.is_object() || !app["state"].is_object()) {
            return std::nullopt;
        }
        return app["state"].value("outputDeviceUIDs", std::vector<std::string>{});
    }

    bool choiceBecomes(const std::string& appID, const std::vector<std::string>& wanted) const {
        return pollUntil([&] { return shownChoice(appID) == wanted; }, kPatienceMs);
    }

    // Tone A with Kestrelamp, then routed to B and heard only there.
    void playToneAOnB(ToneA& tone, LevelMeter& meterC) {
        ASSERT_NO_FATAL_FAILURE(playToneAWithKestrelamp(tone));
        ctl({"route", kToneA, kSinkB});
        ASSERT_TRUE(playsOnlyOn(tone.meterB, tone.unrouted, {&tone.meterA, &meterC}));
    }

    static qint64 msUntilOnlyOn(const QElapsedTimer& since, LevelMeter& where, double level,
                                const std::vector<LevelMeter*>& silent) {
        return e2e::msUntilOnlyOn(since, where, level, silent, {std::nullopt, 0.5, kPatienceMs});
    }
};

TEST_F(RoutesHoldOnPipeWire, ARouteHoldsTheApplicationThroughItsRestartsAndOtherProcesses) {
    ToneA toneA;
    ASSERT_NO_FATAL_FAILURE(playToneAWithKestrelamp(toneA));
    auto& [meterA, meterB, player, unrouted] = toneA;

    ctl({"route", kToneA, kSinkB});
    EXPECT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA}));
    EXPECT_TRUE(routesBecome(kToneA, {{kSinkB, "active"}}));

    player->stop();
    EXPECT_TRUE(routesBecome(kToneA, {{kSinkB, "waiting for the application"}}));
    const std::uint64_t mark = meterA.framesReceived();
    player = session_->startPlayer(kToneA, "Tone A");
    EXPECT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA}));
    EXPECT_TRUE(routesBecome(kToneA, {{kSinkB, "active"}}));
    EXPECT_LT(measured("ms of the restarted application's sound on the default sink",
                       msOfSoundSince(meterA, mark, 0.5)),
              250.0);

    // Another process of the application, in another pitch, plays through the route as well.
    auto second = session_->startPlayer(kToneA, "Tone A", 880.0);
    EXPECT_TRUE(pollUntil([&] { return toneLevel(meterB, 880.0) > kAudible; }, kPatienceMs));
    EXPECT_NEAR(toneLevel(meterB, 440.0), unrouted, 0.5);
    EXPECT_LT(silentLevel(meterA, kPatienceMs), kSilent);

    // A choice made while the application is away is stored, reported as not in effect, and in
    // effect once the application plays again.
    second->stop();
    player->stop();
    EXPECT_TRUE(routesBecome(kToneA, {{kSinkB, "waiting for the application"}}));
    const test::RunResult waiting = ctl({"route", kToneA, kSinkC}, 1);
    EXPECT_NE(waiting.err.find(std::string("Route for ") + kToneA + "|" + kSinkC + ": "),
              std::string::npos)
        << waiting.err;
    EXPECT_EQ(storedChoice(kToneA), std::vector<std::string>{kSinkC});
    EXPECT_EQ(routeStates(kToneA), (RouteStates{{kSinkC, "waiting for the application"}}));
    LevelMeter meterC(kSinkC);
    player = session_->startPlayer(kToneA, "Tone A");
    EXPECT_TRUE(playsOnlyOn(meterC, unrouted, {&meterA, &meterB}));
    EXPECT_TRUE(routesBecome(kToneA, {{kSinkC, "active"}}));
}

// Moving a routed application to another device: the new route takes it over from the old one,
// so that nothing of it reaches the default output in between.
TEST_F(RoutesHoldOnPipeWire, MovingARoutedApplicationNeverPassesThroughTheDefault) {
    ToneA toneA;
    LevelMeter meterC(kSinkC);
    ASSERT_NO_FATAL_FAILURE(playToneAOnB(toneA, meterC));
    auto& [meterA, meterB, player, unrouted] = toneA;

    for (const auto& [device, meter, other] :
         {std::tuple{kSinkC, &meterC, &meterB}, std::tuple{kSinkB, &meterB, &meterC}}) {
        const std::uint64_t mark = meterA.framesReceived();
        ctl({"route", kToneA, device});
        EXPECT_TRUE(playsOnlyOn(*meter, unrouted, {&meterA, other})) << device;
        EXPECT_LT(peakSince(meterA, mark), 0.001f)
            << "heard on the default output while moving to " << device;
    }
}

TEST_F(RoutesHoldOnPipeWire, StoredRoutesComeBackWithKestrelampAndLeaveNothingWhenItEnds) {
    ToneA toneA;
    ASSERT_NO_FATAL_FAILURE(playToneAWithKestrelamp(toneA));
    auto& [meterA, meterB, player, unrouted] = toneA;
    ctl({"route", kToneA, kSinkB});
    ASSERT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA}));
    // Nothing of ours is offered as an output to other programs.
    const auto sinks = runCommand({"pactl", "list", "short", "sinks"}, session_->logPath("sinks"));
    EXPECT_EQ(sinks.output.find("com.kestrelamp"), std::string::npos) << sinks.output;
    const std::string status = runCommand({"wpctl", "status"}, session_->logPath("wpctl")).output;
    const auto listed = status.find("Sinks:");
    EXPECT_EQ(
        status.substr(listed, status.find("Sink endpoints:", listed) - listed).find("Kestrelamp"),
        std::string::npos)
        << status;

    quitKestrelamp();
    EXPECT_TRUE(leavesNothingOfOurs());
    EXPECT_TRUE(playsOnlyOn(meterA, unrouted, {&meterB}));

    // No command: the stored choice is in effect once the program runs.
    QElapsedTimer sinceStart;
    sinceStart.start();
    startKestrelamp();
    EXPECT_GE(measured("stored route in effect, ms after the start",
                       msUntilOnlyOn(sinceStart, meterB, unrouted, {&meterA})),
              0);
    EXPECT_TRUE(routesBecome(kToneA, {{kSinkB, "active"}}));
    // Choosing what is stored already changes nothing and says so.
    ctl({"route", kToneA, kSinkB});
    EXPECT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA}));

    // Killed: the server removes what the program owned, the next run clears the rest and
    // restores the choice, and quitting that one leaves nothing.
    ASSERT_EQ(::kill(pid_t(program_->instance().processId()), SIGKILL), 0);
    program_->waitForInstanceExit();
    EXPECT_TRUE(playsOnlyOn(meterA, unrouted, {&meterB}));
    // This time the application comes after the program.
    player->stop();
    startKestrelamp();
    EXPECT_TRUE(routesBecome(kToneA, {{kSinkB, "waiting for the application"}}));
    player = session_->startPlayer(kToneA, "Tone A");
    EXPECT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA}));
    EXPECT_TRUE(routesBecome(kToneA, {{kSinkB, "active"}}));
    quitKestrelamp();
    EXPECT_TRUE(leavesNothingOfOurs());
    EXPECT_TRUE(playsOnlyOn(meterA, unrouted, {&meterB}));
}

TEST_F(RoutesHoldOnPipeWire, WhileItsDeviceIsAwayTheApplicationPlaysOnTheDefault) {
    ToneA toneA;
    ASSERT_NO_FATAL_FAILURE(playToneAWithKestrelamp(toneA));
    auto& [meterA, meterB, player, unrouted] = toneA;
    ctl({"route", kToneA, kSinkC});
    {
        LevelMeter meterC(kSinkC);
        ASSERT_TRUE(playsOnlyOn(meterC, unrouted, {&meterA}));
    }

    QElapsedTimer sinceRemoval;
    sinceRemoval.start();
    ASSERT_TRUE(session_->destroyNode(kSinkC));
    EXPECT_GE(measured("device removed: on the default after ms",
                       msUntilOnlyOn(sinceRemoval, meterA, unrouted, {})),
              0);
    EXPECT_TRUE(routesBecome(kToneA, {{kSinkC, "waiting for the device"}}));
    EXPECT_EQ(shownChoice(kToneA), std::vector<std::string>{kSinkC});
    EXPECT_EQ(storedChoice(kToneA), std::vector<std::string>{kSinkC});

    QElapsedTimer sinceReturn;
    sinceReturn.start();
    ASSERT_TRUE(session_->createSink(kSinkC, "Test Sink C"));
    {
        LevelMeter meterC(kSinkC);
        EXPECT_GE(measured("device back: route in effect after ms",
                           msUntilOnlyOn(sinceReturn, meterC, unrouted, {&meterA})),
                  0);
        EXPECT_TRUE(routesBecome(kToneA, {{kSinkC, "active"}}));

        ctl({"route", kToneA, kSinkB, kSinkC});
        EXPECT_TRUE(playsOnlyOn(meterC, unrouted, {&meterA}));
        EXPECT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA}));
    }
    // With one of its devices left it plays there, and only there.
    ASSERT_TRUE(session_->destroyNode(kSinkC));
    EXPECT_TRUE(routesBecome(kToneA, {{kSinkB, "active"}, {kSinkC, "waiting for the device"}}));
    EXPECT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA}));
}

TEST_F(RoutesHoldOnPipeWire, AnotherProgramsMoveBecomesTheChoice) {
    ToneA toneA;
    LevelMeter meterC(kSinkC);
    ASSERT_NO_FATAL_FAILURE(playToneAOnB(toneA, meterC));
    auto& [meterA, meterB, player, unrouted] = toneA;
    const auto stream = session_->onlyStream(kToneA);
    ASSERT_NE(stream.serial, 0u);

    ASSERT_TRUE(session_->moveWithPactl(stream, kSinkC));
    ASSERT_TRUE(choiceBecomes(kToneA, {kSinkC}));
    EXPECT_TRUE(routesBecome(kToneA, {{kSinkC, "active"}}));
    EXPECT_EQ(storedChoice(kToneA), std::vector<std::string>{kSinkC});
    EXPECT_TRUE(playsOnlyOn(meterC, unrouted, {&meterA, &meterB}));

    // "System Default" takes away only what is ours: the other program's entry stays, and the
    // application plays where it says.
    ctl({"route", kToneA});
    EXPECT_TRUE(routesBecome(kToneA, {}));
    const auto target = session_->metadataValue(stream.id, "target.object");
    const auto sinkC = session_->nodeIdentity(kSinkC);
    ASSERT_TRUE(target && sinkC);
    EXPECT_TRUE(*target == std::to_string(sinkC->serial) || *target == kSinkC) << *target;
    EXPECT_TRUE(playsOnlyOn(meterC, unrouted, {&meterA, &meterB}));

    // Moved to a node that is no output device: nothing the program lists, so "System Default",
    // which is where the session manager plays it.
    ctl({"route", kToneA, kSinkB});
    ASSERT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA, &meterC}));
    SinkOptions source;
    source.mediaClass = "Audio/Source";
    ASSERT_TRUE(session_->createSink(kSource, "Test Source", source));
    const auto toSource = runCommand(
        {"pw-metadata", "-n", "default", std::to_string(stream.id), "target.object", kSource},
        session_->logPath("m"));
    ASSERT_EQ(toSource.status, 0) << toSource.output;
    EXPECT_TRUE(choiceBecomes(kToneA, {}));
    EXPECT_TRUE(routesBecome(kToneA, {}));
    EXPECT_EQ(storedChoice(kToneA), std::vector<std::string>{});
    EXPECT_TRUE(playsOnlyOn(meterA, unrouted, {&meterB, &meterC}));
    EXPECT_EQ(session_->metadataValue(stream.id, "target.object"), std::string(kSource));
}

// A server that does not answer refuses the route: the command says so, the choice is kept, and
// choosing the same again once the server is back builds it.
TEST_F(RoutesHoldOnPipeWire, ARouteTheServerRefusesIsReportedAndBuiltWhenChosenAgain) {
    ToneA toneA;
    ASSERT_NO_FATAL_FAILURE(playToneAWithKestrelamp(toneA));
    auto& [meterA, meterB, player, unrouted] = toneA;

    session_->pauseServer();
    const test::RunResult refused = program_->ctl({"route", kToneA, kSinkB});
    session_->resumeServer();
    EXPECT_EQ(refused.exitCode, 1) << refused.err;
    const std::string line = std::string("Route for ") + kToneA + "|" + kSinkB + ": ";
    EXPECT_NE(refused.err.find(line), std::string::npos) << refused.err;
    EXPECT_EQ(storedChoice(kToneA), std::vector<std::string>{kSinkB});
    const RouteStates states = routeStates(kToneA);
    ASSERT_EQ(states.size(), 1u);
    EXPECT_TRUE(states.begin()->second.starts_with("failed: ")) << states.begin()->second;
    EXPECT_NE(refused.err.find(states.begin()->second.substr(8)), std::string::npos);
    // Failing, it left the application where it was.
    EXPECT_TRUE(playsOnlyOn(meterA, unrouted, {&meterB}));

    ctl({"route", kToneA, kSinkB});
    EXPECT_TRUE(routesBecome(kToneA, {{kSinkB, "active"}}));
    EXPECT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA}));
    // What the refused attempt made once the server answered again went with it.
    quitKestrelamp();
    EXPECT_TRUE(leavesNothingOfOurs());
}

// The server and the session manager restart (an update, a crash): the program keeps running,
// connects again and its routes are in effect for the application as soon as it plays again.
TEST_F(RoutesHoldOnPipeWire, RoutesComeBackAfterTheServerRestarts) {
    double unrouted = 0.0;
    {
        ToneA toneA;
        ASSERT_NO_FATAL_FAILURE(playToneAWithKestrelamp(toneA));
        unrouted = toneA.unrouted;
        ctl({"route", kToneA, kSinkB});
        ASSERT_TRUE(playsOnlyOn(toneA.meterB, unrouted, {&toneA.meterA}));
        session_->stop();
    }
    ASSERT_TRUE(session_->start()) << session_->error();
    QElapsedTimer sinceBack;
    sinceBack.start();
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    auto player = session_->startPlayer(kToneA, "Tone A");
    EXPECT_GE(measured("server restarted: route in effect after ms",
                       msUntilOnlyOn(sinceBack, meterB, unrouted, {&meterA})),
              0);
    EXPECT_EQ(program_->instance().state(), QProcess::Running);
    EXPECT_TRUE(routesBecome(kToneA, {{kSinkB, "active"}}));
    quitKestrelamp();
    EXPECT_TRUE(leavesNothingOfOurs());
}

// A target another program had set before the route is the application's again once the route
// goes: when the program quits, and when it was killed, once its next run has ended.
TEST_F(RoutesHoldOnPipeWire, AnotherProgramsEarlierTargetOutlivesTheProgram) {
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    LevelMeter meterC(kSinkC);
    std::unique_ptr<ChildProcess> player;
    const double unrouted = startToneA(player, meterA, kPatienceMs);
    ASSERT_GT(unrouted, kAudible);
    const auto stream = session_->onlyStream(kToneA);
    const auto chosen = runCommand(
        {"pw-metadata", "-n", "default", std::to_string(stream.id), "target.object", kSinkC},
        session_->logPath("before"));
    ASSERT_EQ(chosen.status, 0) << chosen.output;
    ASSERT_TRUE(playsOnlyOn(meterC, unrouted, {&meterA, &meterB}));
    startKestrelamp();
    ASSERT_TRUE(listed(kToneA));
    // Moving between devices lets the stream go and takes it again: the earlier target written
    // back in between is not another program's choice.
    for (const char* device : {kSinkB, kSinkA, kSinkB}) {
        ctl({"route", kToneA, device});
        EXPECT_TRUE(choiceBecomes(kToneA, {device}));
        LevelMeter& where = device == kSinkA ? meterA : meterB;
        LevelMeter& other = device == kSinkA ? meterB : meterA;
        EXPECT_TRUE(playsOnlyOn(where, unrouted, {&other, &meterC})) << device;
    }

    quitKestrelamp();
    EXPECT_TRUE(leavesNothingOfOurs());
    EXPECT_EQ(session_->metadataValue(stream.id, "target.object"), std::string(kSinkC));
    EXPECT_TRUE(playsOnlyOn(meterC, unrouted, {&meterA, &meterB}));

    startKestrelamp();
    ASSERT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA, &meterC}));
    ASSERT_EQ(::kill(pid_t(program_->instance().processId()), SIGKILL), 0);
    program_->waitForInstanceExit();
    startKestrelamp();
    EXPECT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA, &meterC}));
    quitKestrelamp();
    EXPECT_TRUE(leavesNothingOfOurs());
    EXPECT_EQ(session_->metadataValue(stream.id, "target.object"), std::string(kSinkC));
    EXPECT_TRUE(playsOnlyOn(meterC, unrouted, {&meterA, &meterB}));
}

} // namespace
} // namespace kestrelamp::e2e
