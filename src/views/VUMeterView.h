#pragma once

// Bar meters for a level in dB full scale: -96 and below lights nothing, 0 and above lights
// every bar.

#include <QWidget>

#include <QColor>

class QPainter;

namespace kestrelamp {

namespace meter {

inline constexpr float kSilenceDb = -96.0f;

enum class BarBand { green, yellow, red };

// By position p = index / barCount: below 0.6 green, below 0.85 yellow, red from there.
BarBand barBand(int index, int barCount);
QColor bandColor(BarBand band);
// (level + 96) / 96 in single precision, limited to 0 … 1; a level that is not a number is silence.
float litThreshold(float level);
// Strictly below the threshold.
bool isBarLit(int index, int barCount, float level);
int litBarCount(float level, int barCount);

// Draws the bars into rect; allocates nothing once the painter exists.
void paintBars(QPainter& painter, const QRectF& rect, float level, int barCount);

} // namespace meter

class VUMeterView : public QWidget {
    Q_OBJECT

public:
    // barCount must not be negative; a negative count draws nothing.
    explicit VUMeterView(int barCount, QWidget* parent = nullptr);

    float level() const { return level_; }
    // Repaints only when the value changes.
    void setLevel(float level);
    int barCount() const { return barCount_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int barCount_;
    float level_ = meter::kSilenceDb;
};

// The six-bar meter of an application row, 32 by 8.
class InlineVUMeter : public VUMeterView {
    Q_OBJECT

public:
    static constexpr int kBarCount = 6;
    static constexpr int kWidth = 32;
    static constexpr int kHeight = 8;

    explicit InlineVUMeter(QWidget* parent = nullptr);
};

} // namespace kestrelamp
