// An application left on "System Default": the program, driven through `kestrelamp ctl`, acts on
// its sound where it plays (the default output, wherever that goes) as soon as a setting is not
// neutral, and leaves nothing of its own in the graph once they all are again. Checked on the
// sinks' monitors.

#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"
#include "support/ProgramSessionTest.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QElapsedTimer>

#include <cmath>
#include <cstdio>

namespace kestrelamp::e2e {
namespace {

constexpr const char* kToneA = "org.example.ToneA";
constexpr double kAudible = -30.0;
constexpr int kPatienceMs = 8000;
// A 32 Hz tone has whole periods in 6000 frames.
constexpr std::uint32_t kLowToneWindow = 6000;

class UnroutedControlsOnPipeWire : public ProgramSessionTest {
protected:
    void TearDown() override {
        ProgramSessionTest::TearDown();
        if (session_->isRunning() && session_->defaultSink() != kSinkA) {
            session_->setDefaultSink(kSinkA);
        }
    }

    void startKestrelamp() {
        ASSERT_TRUE(program_->startInstance({"--headless"}))
            << program_->instanceErrors().toStdString();
        ASSERT_TRUE(pollUntil([&] { return app().is_object(); }, 10000));
    }

    void ctl(const QStringList& arguments) {
        const test::RunResult result = program_->ctl(arguments);
        EXPECT_EQ(result.exitCode, 0) << arguments.join(' ').toStdString() << ": " << result.err;
    }

    nlohmann::json status() const {
        const auto parsed = nlohmann::json::parse(program_->ctl({"status"}).out, nullptr, false);
        return parsed.is_object() ? parsed : nlohmann::json::object();
    }

    // Tone A's entry in the status; null while it is not listed.
    nlohmann::json app() const {
        for (const auto& entry : status().value("apps", nlohmann::json::array())) {
            if (entry.value("id", "") == kToneA) {
                return entry;
            }
        }
        return nullptr;
    }

    // Device UID to state text of Tone A's routes.
    std::map<std::string, std::string> routes() const {
        std::map<std::string, std::string> states;
        for (const auto& route : status().value("routes", nlohmann::json::array())) {
            if (route.value("appID", "") == kToneA) {
                states[route.value("outputDeviceUID", "")] = route.value("state", "");
            }
        }
        return states;
    }

    bool routesBecome(const std::map<std::string, std::string>& wanted) const {
        return pollUntil([&] { return routes() == wanted; }, kPatienceMs);
    }

    std::vector<std::string> storedChoice() const {
        const auto file = nlohmann::json::parse(program_->dataFile("appStates.json").toStdString(),
                                                nullptr, false);
        for (const auto& state : file.is_array() ? file : nlohmann::json::array()) {
            if (state.value("id", "") == kToneA) {
                return state.value("outputDeviceUIDs", std::vector<std::string>{});
            }
        }
        return {};
    }
};

TEST_F(UnroutedControlsOnPipeWire, VolumeMuteAndBoostActWhereItPlaysAndFollowTheDefault) {
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    auto player = session_->startPlayer(kToneA, "Tone A");
    settledLevel(
        meterA, [](double l) { return l > kAudible; }, kPatienceMs);
    const double unrouted = steadyLevel(
        meterA, [](double) { return true; }, kPatienceMs);
    ASSERT_GT(unrouted, kAudible);
    startKestrelamp();

    // Milliseconds of the next second, from the mark on, in 10 ms windows more than 3 dB below
    // the level wanted. Printed, not asserted: the tap takes the streams off the default output
    // before the aggregate's links read them, so building (or removing) a route can leave a gap
    // of a cycle or two (seen in about one run of three), the same as for a chosen device.
    const auto gapMs = [&](std::uint64_t mark, double level) {
        const auto samples = meterA.framesSince(mark, 48000);
        int quiet = samples ? 0 : 1000;
        for (std::size_t at = 0; samples && at + 480 <= samples->size(); at += 480) {
            double sum = 0.0;
            for (std::size_t i = at; i < at + 480; ++i) {
                sum += double((*samples)[i]) * double((*samples)[i]);
            }
            quiet += dbfs(std::sqrt(sum / 480.0)) < level - 3.0 ? 10 : 0;
        }
        return quiet;
    };
    std::uint64_t mark = meterA.framesReceived();
    QElapsedTimer sinceFirst;
    sinceFirst.start();
    ctl({"volume", kToneA, "0.9"});
    const qint64 firstCommandMs = sinceFirst.elapsed();
    const int buildGapMs = gapMs(mark, unrouted - 0.92);
    EXPECT_NEAR(levelNear(meterA, unrouted - 0.92, 0.3, kPatienceMs), unrouted - 0.92, 0.3);
    QElapsedTimer sinceSecond;
    sinceSecond.start();
    ctl({"volume", kToneA, "0.8"});
    std::printf("[ measure  ] first acting setting: command took %lld ms, a later one %lld ms\n",
                static_cast<long long>(firstCommandMs),
                static_cast<long long>(sinceSecond.elapsed()));
    mark = meterA.framesReceived();
    ctl({"volume", kToneA, "1"});
    const int removalGapMs = gapMs(mark, unrouted);
    std::printf("[ measure  ] gap while the route was built: %d ms, while it was removed: %d ms\n",
                buildGapMs, removalGapMs);
    EXPECT_TRUE(routesBecome({}));
    EXPECT_TRUE(playsOnlyOn(meterA, unrouted, {&meterB}, 0.5, kPatienceMs));

    QElapsedTimer sinceMute;
    sinceMute.start();
    ctl({"mute", kToneA, "on"});
    const qint64 muteCommandMs = sinceMute.elapsed();
    const bool silenced =
        pollUntil([&] { return meterA.recentDbfs(2400).value_or(0.0) < kSilent; }, kPatienceMs);
    std::printf("[ measure  ] unrouted mute: command %lld ms, silent on the default %lld ms after "
                "it was given\n",
                static_cast<long long>(muteCommandMs), static_cast<long long>(sinceMute.elapsed()));
    EXPECT_TRUE(silenced);
    EXPECT_LT(silentLevel(meterA, kPatienceMs), kSilent);
    EXPECT_TRUE(routesBecome({{kSinkA, "active"}}));
    EXPECT_EQ(storedChoice(), std::vector<std::string>{}) << "no stored choice";

    ctl({"volume", kToneA, "0.5"});
    const double half = levelNear(meterA, unrouted - 6.0, 0.5, kPatienceMs);
    EXPECT_NEAR(half, unrouted - 6.0, 0.5);
    EXPECT_LT(silentLevel(meterB, kPatienceMs), kSilent);
    // What the status says is what the sink plays.
    EXPECT_TRUE(pollUntil(
        [&] {
            const auto level = app().value("level", nlohmann::json());
            return level.is_number() && std::abs(level.get<double>() - half) < 2.0;
        },
        kPatienceMs))
        << app().dump() << " against " << half;

    ctl({"boost", kToneA, "2"});
    EXPECT_NEAR(levelNear(meterA, unrouted, 0.5, kPatienceMs), unrouted, 0.5);
    ctl({"boost", kToneA, "1"});
    EXPECT_NEAR(levelNear(meterA, unrouted - 6.0, 0.5, kPatienceMs), unrouted - 6.0, 0.5);

    // Another default output: it plays there, still at half.
    ctl({"default-output", kSinkB});
    EXPECT_TRUE(playsOnlyOn(meterB, unrouted - 6.0, {&meterA}, 0.5, kPatienceMs));
    EXPECT_TRUE(routesBecome({{kSinkB, "active"}}));
    // Another tool moves the default back: it follows.
    ASSERT_TRUE(session_->setDefaultSink(kSinkA));
    EXPECT_TRUE(playsOnlyOn(meterA, unrouted - 6.0, {&meterB}, 0.5, kPatienceMs));
    EXPECT_TRUE(routesBecome({{kSinkA, "active"}}));

    // Neutral again: it plays on the default as it did, and nothing of ours is left for it.
    ctl({"volume", kToneA, "1"});
    EXPECT_TRUE(routesBecome({}));
    EXPECT_TRUE(playsOnlyOn(meterA, unrouted, {&meterB}, 0.5, kPatienceMs));
    EXPECT_TRUE(leavesNothingOfOurs());
    EXPECT_FALSE(session_->metadataValue(session_->onlyStream(kToneA).id, "target.object"))
        << "the stream's own target is as it was";
}

TEST_F(UnroutedControlsOnPipeWire, AnEqualizerPresetActsOnTheDefaultAsOnAChosenDevice) {
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    auto player = session_->startPlayer(kToneA, "Tone A", 32.0, 0.25);
    settledLevel(
        meterA, [](double l) { return l > kAudible; }, kPatienceMs, kLowToneWindow);
    const double unrouted = steadyLevel(
        meterA, [](double) { return true; }, kPatienceMs, kLowToneWindow);
    ASSERT_GT(unrouted, kAudible);
    startKestrelamp();

    ctl({"eq", kToneA, "Bass Boost"});
    const double onDefault = steadyLevel(
        meterA, [&](double l) { return l > unrouted + 3.0; }, kPatienceMs, kLowToneWindow);
    ctl({"route", kToneA, kSinkB});
    const double routed = steadyLevel(
        meterB, [&](double l) { return l > unrouted + 3.0; }, kPatienceMs, kLowToneWindow);
    std::printf("[ measure  ] Bass Boost at 32 Hz: %+.2f dB on the default, %+.2f dB routed\n",
                onDefault - unrouted, routed - unrouted);
    EXPECT_GT(routed, unrouted + 3.0);
    EXPECT_NEAR(onDefault, routed, 0.5);

    // Back to System Default: the preset stays in effect there.
    ctl({"route", kToneA});
    EXPECT_TRUE(playsOnlyOn(meterA, routed, {&meterB}, 0.5, kPatienceMs));
    ctl({"eq", kToneA, "Flat"});
    EXPECT_TRUE(routesBecome({}));
    EXPECT_TRUE(leavesNothingOfOurs());
}

} // namespace
} // namespace kestrelamp::e2e
