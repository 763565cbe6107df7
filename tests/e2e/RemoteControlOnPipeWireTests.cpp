// A headless instance of the program on the private server, driven only through
// `kestrelamp ctl`: routes move a player's sound between the sinks, a profile brings a set-up
// back, and quitting leaves nothing of ours in the graph.

#include "ProgramHarness.h"
#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>

namespace kestrelamp::e2e {
namespace {

constexpr const char* kTone = "org.example.RemoteTone";
constexpr int kPatienceMs = 8000;

bool listsApp(const test::ProgramHarness& program, const std::string& appID) {
    return pollUntil(
        [&] {
            program.ctl({"refresh"});
            const auto status = nlohmann::json::parse(program.ctl({"status"}).out, nullptr, false);
            if (!status.is_object()) {
                return false;
            }
            for (const auto& app : status["apps"]) {
                if (app["id"] == appID && !app["state"].is_null()) {
                    return true;
                }
            }
            return false;
        },
        10000);
}

TEST(RemoteControlOnPipeWire, CtlMovesAPlayerRestoresAProfileAndQuitsWithoutTrace) {
    PipeWireSession session;
    ASSERT_TRUE(session.start()) << session.error();
    test::PrivateBus bus;
    ASSERT_FALSE(bus.address().isEmpty()) << "dbus-daemon did not start";
    test::ProgramHarness program(bus.address());

    auto player = session.startPlayer(kTone, "Remote Tone");
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    // The player's level once it has settled: a window that catches its start reads low.
    const double unrouted = steadyLevel(
        meterA, [](double level) { return level > -30.0; }, kPatienceMs);
    ASSERT_GT(unrouted, -30.0);

    ASSERT_TRUE(program.startInstance({"--headless"})) << program.instanceErrors().toStdString();
    ASSERT_TRUE(listsApp(program, kTone));

    const auto ctl = [&](const QStringList& arguments) {
        const test::RunResult result = program.ctl(arguments);
        EXPECT_EQ(result.exitCode, 0) << arguments.join(' ').toStdString() << ": " << result.err;
        return result;
    };
    ctl({"route", kTone, kSinkB});
    EXPECT_NEAR(levelNear(meterB, unrouted, 0.5, kPatienceMs), unrouted, 0.5);
    EXPECT_LT(silentLevel(meterA, kPatienceMs), kSilent);

    const std::string profileID =
        QString::fromStdString(ctl({"profile", "save", "On B"}).out).trimmed().toStdString();
    ctl({"route", kTone, kSinkA});
    EXPECT_NEAR(levelNear(meterA, unrouted, 0.5, kPatienceMs), unrouted, 0.5);
    EXPECT_LT(silentLevel(meterB, kPatienceMs), kSilent);

    ctl({"profile", "apply", "on b"});
    EXPECT_NEAR(levelNear(meterB, unrouted, 0.5, kPatienceMs), unrouted, 0.5);
    EXPECT_LT(silentLevel(meterA, kPatienceMs), kSilent);
    const auto status = nlohmann::json::parse(ctl({"status"}).out, nullptr, false);
    EXPECT_EQ(status["activeProfileID"], profileID);

    ctl({"quit"});
    EXPECT_EQ(program.waitForInstanceExit(), 0) << program.instanceErrors().toStdString();
    EXPECT_TRUE(pollUntil([&] { return kestrelampObjects(session.dump()).empty(); }, 5000))
        << ::testing::PrintToString(kestrelampObjects(session.dump()));
    // Untapped again, the player is heard on the default sink.
    EXPECT_NEAR(levelNear(meterA, unrouted, 0.5, kPatienceMs), unrouted, 0.5);
}

} // namespace
} // namespace kestrelamp::e2e
