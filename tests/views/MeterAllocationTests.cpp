// Meters repaint at the rate levels arrive, for every routed application; a repaint must not
// allocate.

#include "views/VUMeterView.h"

#include "AllocationWatch.h"

#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

namespace kestrelamp {
namespace {

TEST(MeterAllocation, RepaintingBarsAllocatesNothingOnceThePainterExists) {
    QImage image(64, 16, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    // The first frame sets up the brushes and the painter's scratch buffers.
    meter::paintBars(painter, QRectF(0, 0, 32, 8), -30.0f, 6);

    const std::size_t counted = test::allocationsWhile([&] {
        for (float level : {-96.0f, -48.0f, -20.0f, 0.0f, -6.5f}) {
            meter::paintBars(painter, QRectF(0, 0, 32, 8), level, 6);
            meter::paintBars(painter, QRectF(0, 8, 64, 8), level, 20);
        }
    });
    EXPECT_EQ(counted, 0u);
}

} // namespace
} // namespace kestrelamp
