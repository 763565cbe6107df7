#include "views/VUMeterView.h"

#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kestrelamp {
namespace {

TEST(LevelMeter, LitBarsFollowTheLevel) {
    EXPECT_EQ(meter::litBarCount(-96.0f, 6), 0);
    EXPECT_EQ(meter::litBarCount(-120.0f, 6), 0);
    EXPECT_EQ(meter::litBarCount(0.0f, 6), 6);
    EXPECT_EQ(meter::litBarCount(6.0f, 6), 6);
    // t = 0.5 lights positions 0, 1/6 and 2/6; position 3/6 = 0.5 is not below it.
    EXPECT_EQ(meter::litBarCount(-48.0f, 6), 3);
    EXPECT_TRUE(meter::isBarLit(2, 6, -48.0f));
    EXPECT_FALSE(meter::isBarLit(3, 6, -48.0f));
    EXPECT_EQ(meter::litBarCount(-48.0f, 20), 10);
    EXPECT_EQ(meter::litBarCount(-12.0f, 0), 0);
}

TEST(LevelMeter, ThresholdIsLimitedAndTreatsNonNumbersAsSilence) {
    EXPECT_FLOAT_EQ(meter::litThreshold(-96.0f), 0.0f);
    EXPECT_FLOAT_EQ(meter::litThreshold(-48.0f), 0.5f);
    EXPECT_FLOAT_EQ(meter::litThreshold(20.0f), 1.0f);
    EXPECT_FLOAT_EQ(meter::litThreshold(-500.0f), 0.0f);
    EXPECT_FLOAT_EQ(meter::litThreshold(std::numeric_limits<float>::quiet_NaN()), 0.0f);
    EXPECT_EQ(meter::litBarCount(std::numeric_limits<float>::infinity(), 6), 6);
}

class InlineMeterPaint : public testing::Test {
protected:
    QImage paintAt(float level) {
        InlineVUMeter view;
        view.setLevel(level);
        QImage image(view.size(), QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        view.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        return image;
    }
    // The middle of bar i: bars are 4.5 wide with 1 between them.
    static QPoint barCentre(int i) { return QPoint(int(i * 5.5 + 2.25), 4); }
};

TEST_F(InlineMeterPaint, LitBarsAreOpaqueAndTheRestFaint) {
    const QImage image = paintAt(-48.0f);
    for (int i = 0; i < 6; ++i) {
        const QColor pixel = image.pixelColor(barCentre(i));
        const QColor band = meter::bandColor(meter::barBand(i, 6));
        if (i < 3) {
            EXPECT_EQ(pixel.alpha(), 255) << "bar " << i;
        } else {
            EXPECT_NEAR(pixel.alphaF(), 0.15, 0.02) << "bar " << i;
        }
        // Faint pixels keep fewer bits of their colour.
        const int tolerance = i < 3 ? 2 : 8;
        EXPECT_NEAR(pixel.red(), band.red(), tolerance) << "bar " << i;
        EXPECT_NEAR(pixel.green(), band.green(), tolerance) << "bar " << i;
    }
}

TEST(LevelMeterView, ANegativeBarCountIsNoBars) {
    VUMeterView none(-3);
    EXPECT_EQ(none.barCount(), 0);
}

} // namespace
} // namespace kestrelamp
