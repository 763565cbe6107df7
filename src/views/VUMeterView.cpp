#include "views/VUMeterView.h"

#include "views/toolkit/Colors.h"

#include <QBrush>
#include <QPainter>

#include <array>
#include <cmath>

namespace kestrelamp {
namespace meter {
namespace {

constexpr double kYellowFrom = 0.6;
constexpr double kRedFrom = 0.85;
constexpr qreal kUnlitOpacity = 0.15;
constexpr qreal kBarSpacing = 1.0;
constexpr qreal kBarRadius = 1.0;

// Brushes made once, so that painting a meter never builds one.
struct BandBrushes {
    std::array<QBrush, 3> lit;
    std::array<QBrush, 3> unlit;

    BandBrushes() {
        for (int band = 0; band < 3; ++band) {
            const QColor color = bandColor(BarBand(band));
            lit[std::size_t(band)] = QBrush(color);
            unlit[std::size_t(band)] = QBrush(toolkit::withOpacity(color, kUnlitOpacity));
        }
    }
};

const BandBrushes& brushes() {
    static const BandBrushes instance;
    return instance;
}

} // namespace

BarBand barBand(int index, int barCount) {
    const double position = barCount > 0 ? double(index) / double(barCount) : 0.0;
    if (position < kYellowFrom) {
        return BarBand::green;
    }
    return position < kRedFrom ? BarBand::yellow : BarBand::red;
}

QColor bandColor(BarBand band) {
    switch (band) {
    case BarBand::green:
        return toolkit::named::green;
    case BarBand::yellow:
        return toolkit::named::yellow;
    case BarBand::red:
        return toolkit::named::red;
    }
    return toolkit::named::green;
}

float litThreshold(float level) {
    if (std::isnan(level)) {
        return 0.0f;
    }
    const float t = (level + 96.0f) / 96.0f;
    if (t >= 1.0f) {
        return 1.0f;
    }
    return t < 0.0f ? 0.0f : t;
}

bool isBarLit(int index, int barCount, float level) {
    if (barCount <= 0) {
        return false;
    }
    const double position = double(index) / double(barCount);
    return position < double(litThreshold(level));
}

int litBarCount(float level, int barCount) {
    int lit = 0;
    for (int i = 0; i < barCount; ++i) {
        lit += isBarLit(i, barCount, level) ? 1 : 0;
    }
    return lit;
}

void paintBars(QPainter& painter, const QRectF& rect, float level, int barCount) {
    if (barCount <= 0) {
        return;
    }
    const BandBrushes& palette = brushes();
    const qreal barWidth = (rect.width() - kBarSpacing * (barCount - 1)) / barCount;
    if (barWidth <= 0) {
        return;
    }
    painter.setPen(Qt::NoPen);
    for (int i = 0; i < barCount; ++i) {
        const auto band = std::size_t(barBand(i, barCount));
        painter.setBrush(isBarLit(i, barCount, level) ? palette.lit[band] : palette.unlit[band]);
        const QRectF bar(rect.left() + i * (barWidth + kBarSpacing), rect.top(), barWidth,
                         rect.height());
        painter.drawRoundedRect(bar, kBarRadius, kBarRadius);
    }
}

} // namespace meter

VUMeterView::VUMeterView(int barCount, QWidget* parent)
    : QWidget(parent)
    , barCount_(barCount < 0 ? 0 : barCount) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAccessibleName(QStringLiteral("Level"));
}

void VUMeterView::setLevel(float level) {
    if (level == level_ || (std::isnan(level) && std::isnan(level_))) {
        return;
    }
    const bool sameBars =
        meter::litBarCount(level, barCount_) == meter::litBarCount(level_, barCount_);
    level_ = level;
    if (!sameBars) {
        update();
    }
}

void VUMeterView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    meter::paintBars(painter, QRectF(rect()), level_, barCount_);
}

InlineVUMeter::InlineVUMeter(QWidget* parent)
    : VUMeterView(kBarCount, parent) {
    setFixedSize(kWidth, kHeight);
}

} // namespace kestrelamp
