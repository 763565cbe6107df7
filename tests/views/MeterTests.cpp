#include "views/VUMeterView.h"

#include <gtest/gtest.h>

#include <limits>

namespace kestrelamp {
namespace {

TEST(LevelMeter, ThresholdIsLimitedAndTreatsNonNumbersAsSilence) {
    EXPECT_FLOAT_EQ(meter::litThreshold(-96.0f), 0.0f);
    EXPECT_FLOAT_EQ(meter::litThreshold(-48.0f), 0.5f);
    EXPECT_FLOAT_EQ(meter::litThreshold(20.0f), 1.0f);
    EXPECT_FLOAT_EQ(meter::litThreshold(-500.0f), 0.0f);
    EXPECT_FLOAT_EQ(meter::litThreshold(std::numeric_limits<float>::quiet_NaN()), 0.0f);
    EXPECT_EQ(meter::litBarCount(std::numeric_limits<float>::infinity(), 6), 6);
}

TEST(LevelMeterView, ANegativeBarCountIsNoBars) {
    VUMeterView none(-3);
    EXPECT_EQ(none.barCount(), 0);
}

} // namespace
} // namespace kestrelamp
