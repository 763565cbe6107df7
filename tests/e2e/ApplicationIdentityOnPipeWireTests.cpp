// Two games under one Wine loader, as PulseAudio clients announce them: two applications with
// their own names, and routing one leaves the other where it plays.

#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"
#include "support/ProgramSessionTest.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kestrelamp::e2e {
namespace {

using ApplicationIdentityOnPipeWire = ProgramSessionTest;

constexpr double kFirstGameTone = 440.0;
constexpr double kSecondGameTone = 660.0;

// True once the sink plays the first tone and not the second.
bool playsOneNotTheOther(LevelMeter& meter, double heard, double unheard, int timeoutMs) {
    return pollUntil(
        [&] { return toneLevel(meter, heard) > kAudible && toneLevel(meter, unheard) < kSilent; },
        timeoutMs);
}

TEST_F(ApplicationIdentityOnPipeWire, TwoGamesUnderOneWineLoaderAreTwoApplicationsRoutedApart) {
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    const auto game = [&](const std::string& name, double frequency) {
        ToneOptions tone;
        tone.frequencies = {frequency};
        tone.seconds = 120;
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{"paplay", "--client-name=" + name, session_->toneFile(tone)},
            session_->logPath("game-" + std::to_string(int(frequency))),
            std::map<std::string, std::string>{
                {"PULSE_PROP", "application.process.binary=wine64-preloader"}});
    };
    // Started before any route: a stream created while its application is routed is another
    // matter.
    const auto first = game("VRChat.exe", kFirstGameTone);
    const auto second = game("Diablo IV", kSecondGameTone);
    const auto bothOnA = [&] {
        return pollUntil(
            [&] {
                return toneLevel(meterA, kFirstGameTone) > kAudible &&
                       toneLevel(meterA, kSecondGameTone) > kAudible;
            },
            kPatienceMs);
    };
    ASSERT_TRUE(bothOnA()) << first->log() << second->log();

    startKestrelamp();
    ASSERT_TRUE(listed("VRChat.exe"));
    ASSERT_TRUE(listed("Diablo IV"));
    EXPECT_EQ(appEntry("VRChat.exe").value("displayName", ""), "VRChat.exe");
    EXPECT_EQ(appEntry("Diablo IV").value("displayName", ""), "Diablo IV");
    EXPECT_TRUE(appEntry("wine64-preloader").is_null()) << "the loader is no application";

    ctl({"route", "VRChat.exe", kSinkB});
    EXPECT_TRUE(routesBecome("VRChat.exe", {{kSinkB, "active"}}));
    EXPECT_TRUE(playsOneNotTheOther(meterB, kFirstGameTone, kSecondGameTone, kPatienceMs));
    EXPECT_TRUE(playsOneNotTheOther(meterA, kSecondGameTone, kFirstGameTone, kPatienceMs))
        << "Diablo IV stays on the default";
    EXPECT_EQ(storedChoice("VRChat.exe"), std::vector<std::string>{kSinkB});
    EXPECT_TRUE(storedChoice("Diablo IV").empty());
    EXPECT_TRUE(routeStates("Diablo IV").empty());

    quitKestrelamp();
    EXPECT_TRUE(leavesNothingOfOurs());
    EXPECT_TRUE(bothOnA()) << "both play on the default again";
}

} // namespace
} // namespace kestrelamp::e2e
