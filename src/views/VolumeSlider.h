#pragma once

#include "views/ContinuousSlider.h"

namespace kestrelamp {

// A continuous horizontal slider over 0 … 1. A click jumps to the pointer and a drag follows it;
// the wheel is left to the scrolling list around it.
class VolumeSlider : public ContinuousSlider {
    Q_OBJECT

public:
    static constexpr int kThumbDiameter = 12;

    explicit VolumeSlider(QWidget* parent = nullptr);

    // The value for a pointer at x in a slider of the given width.
    static float valueAt(qreal x, qreal width);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    float valueAtPointer(QPointF position) const override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};

} // namespace kestrelamp
