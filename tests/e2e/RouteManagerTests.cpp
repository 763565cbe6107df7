// The whole routing core on the real server: the route manager taps, equalizes, scales and plays
// an application on the devices the user chose.

#include "TempHome.h"
#include "engine/EQPreset.h"
#include "engine/hal/PipeWireAudioHardware.h"
#include "model/AudioRouteManager.h"
#include "platform/LinuxRunningApplications.h"
#include "platform/UserDefaults.h"
#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"
#include "support/Routing.h"
#include "support/SessionTest.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cmath>

namespace kestrelamp::e2e {
namespace {

constexpr const char* kToneA = "org.example.ToneA";
constexpr const char* kBass = "org.example.Bass";
constexpr int kPatienceMs = 8000;

// Windows are whole periods of the tones used.
double steadyLevelNear(LevelMeter& meter, double expected, double tolerance, std::uint32_t frames) {
    return steadyLevel(
        meter, [&](double level) { return std::abs(level - expected) < tolerance; }, kPatienceMs,
        frames);
}

class RouteManagerOnPipeWire : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        hardware_ = std::make_unique<hal::PipeWireAudioHardware>();
        running_ = std::make_unique<LinuxRunningApplications>(*hardware_);
        defaults_ = std::make_unique<UserDefaults>(folder_.path() + "/defaults.ini");
        manager_ = std::make_unique<AudioRouteManager>(*hardware_, *running_, *defaults_,
                                                       folder_.path() + "/Kestrelamp");
    }

    void TearDown() override {
        manager_.reset();
        defaults_.reset();
        running_.reset();
        hardware_.reset();
    }

    // Waits for the manager's list to show the application, refreshing as its timer would.
    bool listed(const std::string& appID) {
        return kestrelamp::test::waitUntil(
            [&] {
                manager_->refreshAudioApps();
                return manager_->state(appID) != nullptr && manager_->app(appID) != nullptr;
            },
            8000);
    }

    QTemporaryDir folder_;
    std::unique_ptr<hal::PipeWireAudioHardware> hardware_;
    std::unique_ptr<LinuxRunningApplications> running_;
    std::unique_ptr<UserDefaults> defaults_;
    std::unique_ptr<AudioRouteManager> manager_;
};

TEST_F(RouteManagerOnPipeWire, RoutesScalesMutesAndReturnsAnApplication) {
    auto player = session_->startPlayer(kToneA, "Tone A");
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    // 440 Hz: 4800 frames hold 44 whole periods.
    const double unrouted = steadyLevel(
        meterA, [](double level) { return level > -30.0; }, kPatienceMs);
    ASSERT_GT(unrouted, -30.0);
    ASSERT_TRUE(listed(kToneA));
    EXPECT_EQ(manager_->app(kToneA)->displayName, "Tone A");

    manager_->setOutputDevices(kToneA, {kSinkB});
    manager_->setVolume(kToneA, 0.5f);
    EXPECT_EQ(manager_->routeKeys(kToneA).size(), 1u);
    const double half = unrouted - 6.02;
    EXPECT_NEAR(steadyLevelNear(meterB, half, 0.3, 4800), half, 0.3);
    EXPECT_LT(silentLevel(meterA, kPatienceMs), kSilent);

    // The meter entry follows what the device plays.
    double measured = -120.0;
    EXPECT_TRUE(kestrelamp::test::waitUntil(
        [&] {
            const auto it = manager_->audioLevels().find(kToneA);
            measured = meterB.recentDbfs(4800).value_or(-120.0);
            return it != manager_->audioLevels().end() && std::abs(it->second - measured) < 1.0;
        },
        8000))
        << "meter " << measured;

    manager_->setOutputDevices(kToneA, {kSinkA, kSinkB});
    EXPECT_NEAR(steadyLevelNear(meterA, half, 0.3, 4800), half, 0.3);
    EXPECT_NEAR(steadyLevelNear(meterB, half, 0.3, 4800), half, 0.3);

    manager_->toggleMute(kToneA);
    EXPECT_LT(silentLevel(meterA, kPatienceMs), kSilent);
    EXPECT_LT(silentLevel(meterB, kPatienceMs), kSilent);
    manager_->toggleMute(kToneA);
    EXPECT_NEAR(steadyLevelNear(meterB, half, 0.3, 4800), half, 0.3);

    // "System Default": back where it played, at the volume set.
    manager_->setOutputDevices(kToneA, {});
    EXPECT_NEAR(steadyLevelNear(meterA, half, 0.3, 4800), half, 0.3);
    EXPECT_LT(silentLevel(meterB, kPatienceMs), kSilent);
    // With neutral settings, no route at all.
    manager_->setVolume(kToneA, 1.0f);
    EXPECT_TRUE(manager_->routeKeys(kToneA).empty());
    EXPECT_NEAR(steadyLevelNear(meterA, unrouted, 0.3, 4800), unrouted, 0.3);
    EXPECT_LT(silentLevel(meterB, kPatienceMs), kSilent);
    EXPECT_TRUE(pollUntil([&] { return kestrelampObjects(session_->dump()).empty(); }, 8000))
        << ::testing::PrintToString(kestrelampObjects(session_->dump()));
}

TEST_F(RouteManagerOnPipeWire, BassBoostRaisesALowToneByTheCascadesResponse) {
    auto player = session_->startPlayer(kBass, "Bass", 32.0, 0.25);
    LevelMeter meterB(kSinkB);
    ASSERT_TRUE(listed(kBass));
    manager_->setOutputDevices(kBass, {kSinkB});
    // 32 Hz: 15000 frames hold ten whole periods.
    const double flat = steadyLevel(
        meterB, [](double level) { return level > -40.0; }, kPatienceMs, 15000);
    ASSERT_GT(flat, -40.0);
    manager_->setEQPreset(kBass, EQPreset::bassBoost());
    // Band 0's +6 dB plus the skirts of the 64 and 128 Hz bands: +7.09 dB at 32 Hz.
    const double boosted = steadyLevelNear(meterB, flat + 7.09, 0.5, 15000);
    EXPECT_NEAR(boosted, flat + 7.09, 0.5);
}

} // namespace
} // namespace kestrelamp::e2e
