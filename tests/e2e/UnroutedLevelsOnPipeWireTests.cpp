// The level of an application left on "System Default" with neutral settings: `kestrelamp ctl
// status` reports it from a passive monitor, which leaves the sound alone and goes once nobody
// asks for levels any more. Checked on the default sink's monitor.

#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"
#include "support/ProgramSessionTest.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>

namespace kestrelamp::e2e {
namespace {

constexpr const char* kToneA = "org.example.ToneA";
constexpr double kAudible = -30.0;
constexpr int kPatienceMs = 8000;

class UnroutedLevelsOnPipeWire : public ProgramSessionTest {
protected:
    // Tone A's entry in the status; null while it is not listed.
    nlohmann::json app() const {
        const auto status = nlohmann::json::parse(program_->ctl({"status"}).out, nullptr, false);
        if (!status.is_object()) {
            return nullptr;
        }
        for (const auto& entry : status.value("apps", nlohmann::json::array())) {
            if (entry.value("id", "") == kToneA) {
                return entry;
            }
        }
        return nullptr;
    }
};

TEST_F(UnroutedLevelsOnPipeWire, StatusReportsTheLevelHeardAndNothingStaysOnceNobodyAsks) {
    LevelMeter meterA(kSinkA);
    auto player = session_->startPlayer(kToneA, "Tone A");
    settledLevel(
        meterA, [](double l) { return l > kAudible; }, kPatienceMs);
    const double heard = steadyLevel(
        meterA, [](double) { return true; }, kPatienceMs);
    ASSERT_GT(heard, kAudible);
    ASSERT_TRUE(program_->startInstance({"--headless"}))
        << program_->instanceErrors().toStdString();

    double reported = -200.0;
    const bool close = pollUntil(
        [&] {
            const auto entry = app();
            if (entry.is_object() && entry["level"].is_number()) {
                reported = entry["level"].get<double>();
            }
            return std::fabs(reported - heard) < 2.0;
        },
        kPatienceMs);
    EXPECT_TRUE(close) << "reported " << reported << " dBFS, heard " << heard << " dBFS";
    std::printf("[ measure  ] status level %.2f dBFS, on the sink's monitor %.2f dBFS\n", reported,
                heard);
    EXPECT_TRUE(app().value("state", nlohmann::json::object()).is_object());
    const auto objects = kestrelampObjects(session_->dump());
    EXPECT_FALSE(objects.empty()) << "while levels are asked for, a monitor of ours measures it";
    EXPECT_NEAR(steadyLevel(
                    meterA, [](double) { return true; }, kPatienceMs),
                heard, 0.5)
        << "the monitor takes nothing from the sound";

    // Nobody asks any more: the monitor goes.
    const bool clean =
        pollUntil([&] { return kestrelampObjects(session_->dump()).empty(); }, 15000);
    EXPECT_TRUE(clean) << ::testing::PrintToString(kestrelampObjects(session_->dump()));
    EXPECT_NEAR(steadyLevel(
                    meterA, [](double) { return true; }, kPatienceMs),
                heard, 0.5);

    // One status after the monitors went: its answer waits for their first window, so the
    // level is there, not silence.
    const auto once = app();
    ASSERT_TRUE(once.is_object());
    EXPECT_NEAR(once.value("level", -200.0), heard, 2.0) << once.dump();
}

} // namespace
} // namespace kestrelamp::e2e
