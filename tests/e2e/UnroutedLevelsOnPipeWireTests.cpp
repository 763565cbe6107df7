// The level of an application left on "System Default" with neutral settings: `kestrelamp ctl
// status` reports it from a passive monitor, which leaves the sound alone and goes once nobody
// asks for levels any more. Checked on the default sink's monitor.

#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"
#include "support/ProgramSessionTest.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>


namespace kestrelamp::e2e {
namespace {

using UnroutedLevelsOnPipeWire = ProgramSessionTest;

TEST_F(UnroutedLevelsOnPipeWire, StatusReportsTheLevelHeardAndNothingStaysOnceNobodyAsks) {
    LevelMeter meterA(kSinkA);
    std::unique_ptr<ChildProcess> player;
    const double heard = startToneA(player, meterA, kPatienceMs);
    ASSERT_GT(heard, kAudible);
    startKestrelamp();

    EXPECT_TRUE(showsLevel(kToneA, heard));
    EXPECT_TRUE(appEntry(kToneA).value("state", nlohmann::json::object()).is_object());
    const auto objects = kestrelampObjects(session_->dump());
    EXPECT_FALSE(objects.empty()) << "while levels are asked for, a monitor of ours measures it";
    EXPECT_NEAR(audibleLevel(meterA, kPatienceMs), heard, 0.5)
        << "the monitor takes nothing from the sound";

    // Nobody asks any more: the monitor goes.
    EXPECT_TRUE(leavesNothingOfOurs(15000));
    EXPECT_NEAR(audibleLevel(meterA, kPatienceMs), heard, 0.5);

    // One status after the monitors went: its answer waits for their first window, so the
    // level is there, not silence.
    const auto once = appEntry(kToneA);
    ASSERT_TRUE(once.is_object());
    EXPECT_NEAR(once.value("level", -200.0), heard, 2.0) << once.dump();
}

} // namespace
} // namespace kestrelamp::e2e
