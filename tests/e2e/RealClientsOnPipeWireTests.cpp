// Programs nobody here wrote, as Debian ships them: a PulseAudio player, a GStreamer pipeline, an
// ALSA player and a headless browser, each with a tone of its own. Kestrelamp, driven through
// `kestrelamp ctl`, routes them, sets their volume, holds them through their restarts and their
// next streams, and lets them go; every step is checked on the sinks' monitors and against what
// `ctl status` says. The figures the timed steps took are printed, not asserted.

#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"
#include "support/ProgramSessionTest.h"
#include "support/RealClients.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <functional>

namespace kestrelamp::e2e {
namespace {

// A browser's first start in a fresh profile takes seconds on a loaded machine.
constexpr int kClientStartMs = 20000;
// Half the volume, in dB.
constexpr double kHalf = 6.02;
constexpr double kHalfTolerance = 1.0;

constexpr ClientKind kEveryKind[] = {ClientKind::paplay, ClientKind::gstreamer, ClientKind::aplay,
                                     ClientKind::firefox};

double frequencyOf(ClientKind kind) {
    constexpr double kFrequencies[] = {330.0, 550.0, 770.0, 990.0};
    return kFrequencies[int(kind)];
}

class RealClientsOnPipeWire : public ProgramSessionTest {
protected:
    // `kestrelamp ctl COMMAND APP ARGUMENTS...`
    void ctlOn(const char* command, const std::string& appID,
               const QStringList& arguments = {}) const {
        ctl(QStringList{command, QString::fromStdString(appID)} + arguments);
    }

    // The routes the status shows for the application and, within 2 dB, the level heard.
    bool reports(const std::string& appID, const RouteStates& routes, double heard) const {
        const bool routed = routesBecome(appID, routes);
        EXPECT_TRUE(routed) << appID << ": wanted " << ::testing::PrintToString(routes)
                            << "; status " << status().dump();
        return routed && showsLevel(appID, heard);
    }

    // Starts a new run of a routed client, with both sinks silent: it is heard only on `where`,
    // and hardly any of it on `other`. Prints how long that took from its start and from its
    // first sound anywhere, and how much of it `other` heard.
    std::unique_ptr<ChildProcess>
    startNextRun(const std::string& what,
                 const std::function<std::unique_ptr<ChildProcess>()>& start, LevelMeter& where,
                 double level, LevelMeter& other, const Listening& listening) {
        const std::uint64_t mark = other.framesReceived();
        QElapsedTimer since;
        since.start();
        auto process = start();
        pollUntil(
            [&] {
                return where.recentDbfs(2400).value_or(-120.0) > kAudible ||
                       other.recentDbfs(2400).value_or(-120.0) > kAudible;
            },
            listening.timeoutMs);
        const std::int64_t firstSoundMs = since.elapsed();
        const auto onlyOnMs = msUntilOnlyOn(since, where, level, {&other}, listening);
        EXPECT_GE(onlyOnMs, 0) << what << " is heard only on the chosen sink";
        EXPECT_TRUE(e2e::playsOnlyOn(where, level, {&other}, listening.tolerance, kPatienceMs))
            << what;
        measured(what + ": first heard, ms after its start", double(firstSoundMs));
        measured(what + ": only on the chosen sink, ms after its start", double(onlyOnMs));
        EXPECT_LT(measured(what + ": ms of its sound elsewhere",
                           msOfSoundSince(other, mark, kClientAmplitude)),
                  250.0);
        return process;
    }

    // Routed, at half volume, restarted, back on "System Default", neutral again: heard only
    // where it belongs at each step, and the status says so.
    void routeRestartAndLetGo(ClientKind kind) {
        const std::string app = clientAppID(kind);
        const std::string name = clientName(kind);
        const double frequency = frequencyOf(kind);
        LevelMeter meterA(kSinkA);
        LevelMeter meterB(kSinkB);
        auto client = clients_.start(kind, frequency);
        const double unrouted = audibleLevel(meterA, kClientStartMs);
        ASSERT_GT(unrouted, kAudible) << name << " plays on the default:\n" << client->log();
        startKestrelamp();
        ASSERT_TRUE(listed(app)) << status().dump();

        ctlOn("route", app, {kSinkB});
        EXPECT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA})) << name;
        EXPECT_TRUE(reports(app, {{kSinkB, "active"}}, unrouted));

        ctlOn("volume", app, {"0.5"});
        const double half = unrouted - kHalf;
        EXPECT_TRUE(e2e::playsOnlyOn(meterB, half, {&meterA}, kHalfTolerance, kPatienceMs)) << name;
        EXPECT_TRUE(reports(app, {{kSinkB, "active"}}, half));

        client->stop();
        EXPECT_TRUE(routesBecome(app, {{kSinkB, "waiting for the application"}}));
        EXPECT_LT(silentLevel(meterB, kPatienceMs), kSilent);
        // At half volume: heard at full level, the new stream would be playing on the device
        // past the route.
        client = startNextRun(name + " restarted", [&] { return clients_.start(kind, frequency); },
                              meterB, half, meterA, {std::nullopt, kHalfTolerance, kClientStartMs});
        EXPECT_TRUE(reports(app, {{kSinkB, "active"}}, half));

        // Its volume still acts, now on the default through a route of ours.
        QElapsedTimer sinceDefault;
        sinceDefault.start();
        ctlOn("route", app);
        measured(name + " on \"System Default\": only on the default after ms",
                 double(msUntilOnlyOn(sinceDefault, meterA, half, {&meterB},
                                      {std::nullopt, kHalfTolerance, kPatienceMs})));
        EXPECT_TRUE(e2e::playsOnlyOn(meterA, half, {&meterB}, kHalfTolerance, kPatienceMs)) << name;
        EXPECT_TRUE(reports(app, {{kSinkA, "active"}}, half));

        ctlOn("volume", app, {"1"});
        EXPECT_TRUE(playsOnlyOn(meterA, unrouted, {&meterB})) << name;
        EXPECT_TRUE(reports(app, {}, unrouted));
    }

    RealClients clients_{*session_};
};

TEST_F(RealClientsOnPipeWire, PaplayIsRoutedRestartedAndLetGo) {
    routeRestartAndLetGo(ClientKind::paplay);
}

TEST_F(RealClientsOnPipeWire, GStreamerPulsesinkIsRoutedRestartedAndLetGo) {
    routeRestartAndLetGo(ClientKind::gstreamer);
}

TEST_F(RealClientsOnPipeWire, AplayThroughPipeWireAlsaIsRoutedRestartedAndLetGo) {
    routeRestartAndLetGo(ClientKind::aplay);
}

TEST_F(RealClientsOnPipeWire, HeadlessFirefoxIsRoutedRestartedAndLetGo) {
    routeRestartAndLetGo(ClientKind::firefox);
}

// A PulseAudio stream created while its application is routed that brings its first sound only
// later.
TEST_F(RealClientsOnPipeWire, APulseAudioStreamThatStartsLateIsHeardWhereItsApplicationIsRouted) {
    constexpr double kLateTone = 440.0;
    const std::string app = clientAppID(ClientKind::paplay);
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    // Unrouted first, for the figure to compare with.
    QElapsedTimer since;
    since.start();
    auto player = clients_.startLatePacat(kLateTone, 1500);
    pollUntil([&] { return meterA.recentDbfs(2400).value_or(-120.0) > kAudible; }, kClientStartMs);
    measured("pacat sounding 1.5 s after its start, unrouted: first heard after ms",
             double(since.elapsed()));
    const double unrouted = audibleLevel(meterA, kClientStartMs);
    ASSERT_GT(unrouted, kAudible) << player->log();
    startKestrelamp();
    ASSERT_TRUE(listed(app));
    ctlOn("route", app, {kSinkB});
    ASSERT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA}));
    player->stop();
    EXPECT_TRUE(routesBecome(app, {{kSinkB, "waiting for the application"}}));
    EXPECT_LT(silentLevel(meterB, kPatienceMs), kSilent);

    player = startNextRun("pacat sounding 1.5 s after its start",
                          [&] { return clients_.startLatePacat(kLateTone, 1500); }, meterB,
                          unrouted, meterA, {kLateTone, 0.5, kClientStartMs});
    EXPECT_TRUE(reports(app, {{kSinkB, "active"}}, unrouted));
}

// A routed browser whose page starts another audio element after the first ended: the new
// stream of the running application.
TEST_F(RealClientsOnPipeWire, ABrowsersNextStreamIsHeardWhereItIsRouted) {
    constexpr double kFirstTone = 660.0;
    constexpr double kNextTone = 880.0;
    const std::string app = clientAppID(ClientKind::firefox);
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    startKestrelamp();
    auto browser = clients_.startBrowser(kFirstTone, 8, kNextTone);
    const double unrouted = steadyTone(meterA, kFirstTone, kClientStartMs);
    ASSERT_GT(unrouted, kAudible) << browser->log();
    ASSERT_TRUE(listed(app));
    ctlOn("route", app, {kSinkB});
    QElapsedTimer since;
    since.start();
    ASSERT_GE(msUntilOnlyOn(since, meterB, unrouted, {&meterA}, {kFirstTone, 0.5, kPatienceMs}), 0)
        << "the first element is heard only on the chosen sink";

    const std::uint64_t mark = meterA.framesReceived();
    since.start();
    EXPECT_GE(measured("firefox's next stream: only on the chosen sink, ms after routing",
                       double(msUntilOnlyOn(since, meterB, unrouted, {&meterA},
                                            {kNextTone, 0.5, kClientStartMs}))),
              0)
        << "the next element is heard only on the chosen sink";
    EXPECT_TRUE(playsOnlyOn(meterB, unrouted, {&meterA}));
    EXPECT_LT(measured("firefox's next stream: ms of its sound on the default",
                       msOfSoundSince(meterA, mark, kClientAmplitude)),
              250.0);
    EXPECT_TRUE(reports(app, {{kSinkB, "active"}}, unrouted));

    ctlOn("route", app);
    EXPECT_TRUE(playsOnlyOn(meterA, unrouted, {&meterB}));
    EXPECT_TRUE(reports(app, {}, unrouted));
}

// Every kind of client at once, routed; Kestrelamp quits, then is killed: each plays on the
// default again, and its next run lets them go as well.
TEST_F(RealClientsOnPipeWire, EveryClientPlaysOnTheDefaultOnceKestrelampQuitsOrIsKilled) {
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    struct Playing {
        ClientKind kind;
        std::unique_ptr<ChildProcess> process;
        double level = -120.0;
    };
    std::vector<Playing> clients;
    for (const ClientKind kind : kEveryKind) {
        clients.push_back({kind, clients_.start(kind, frequencyOf(kind))});
    }
    for (Playing& client : clients) {
        client.level = steadyTone(meterA, frequencyOf(client.kind), kClientStartMs);
        ASSERT_GT(client.level, kAudible) << clientName(client.kind) << client.process->log();
    }
    // Only where the clients were measured playing; -1 when one of them is not.
    const auto allOnlyOn = [&](LevelMeter& where, LevelMeter& other, const QElapsedTimer& since) {
        std::int64_t ms = 0;
        for (const Playing& client : clients) {
            const auto done = msUntilOnlyOn(since, where, client.level, {&other},
                                            {frequencyOf(client.kind), 0.5, kPatienceMs});
            EXPECT_GE(done, 0) << clientName(client.kind);
            ms = done < 0 || ms < 0 ? -1 : std::max(ms, done);
        }
        return ms;
    };
    startKestrelamp();
    for (const Playing& client : clients) {
        ASSERT_TRUE(listed(clientAppID(client.kind))) << clientName(client.kind);
        ctlOn("route", clientAppID(client.kind), {kSinkB});
    }
    QElapsedTimer since;
    since.start();
    ASSERT_GE(allOnlyOn(meterB, meterA, since), 0);

    since.start();
    quitKestrelamp();
    measured("Kestrelamp quit: every client only on the default after ms",
             double(allOnlyOn(meterA, meterB, since)));
    EXPECT_TRUE(leavesNothingOfOurs());
    // Nothing was left behind that decides where the next run of a client plays.
    for (Playing& client : clients) {
        client.process->stop();
    }
    for (Playing& client : clients) {
        client.process = clients_.start(client.kind, frequencyOf(client.kind));
    }
    since.start();
    measured("restarted after Kestrelamp quit: every client only on the default after ms",
             double(allOnlyOn(meterA, meterB, since)));

    // The stored routes come back with the next run, then it is killed.
    startKestrelamp();
    since.start();
    ASSERT_GE(allOnlyOn(meterB, meterA, since), 0);
    since.start();
    ASSERT_EQ(::kill(pid_t(program_->instance().processId()), SIGKILL), 0);
    program_->waitForInstanceExit();
    measured("Kestrelamp killed: every client only on the default after ms",
             double(allOnlyOn(meterA, meterB, since)));

    // The run after a killed one clears what that one left, and lets go when it quits.
    startKestrelamp();
    since.start();
    EXPECT_GE(allOnlyOn(meterB, meterA, since), 0);
    quitKestrelamp();
    EXPECT_TRUE(leavesNothingOfOurs());
    since.start();
    EXPECT_GE(allOnlyOn(meterA, meterB, since), 0);
}

} // namespace
} // namespace kestrelamp::e2e
