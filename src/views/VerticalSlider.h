#pragma once

#include "views/ContinuousSlider.h"

namespace kestrelamp {

// A continuous vertical slider: upper bound at the top. A click sets the value at once and every
// drag step sets it again; the value stays within the range however far the drag goes.
class VerticalSlider : public ContinuousSlider {
    Q_OBJECT

public:
    static constexpr int kTrackHeight = 80;
    static constexpr int kThumbDiameter = 10;

    VerticalSlider(float lower, float upper, QWidget* parent = nullptr);

    float lower() const { return lower_; }
    float upper() const { return upper_; }

    // The area the range maps onto; the thumb may overhang it by half its size.
    QRectF trackRect() const;

    // The value at a distance y below the top of a track of the given height.
    static float valueAt(qreal y, qreal height, float lower, float upper);

    QSize sizeHint() const override;

protected:
    float valueAtPointer(QPointF position) const override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    float lower_;
    float upper_;
};

} // namespace kestrelamp
