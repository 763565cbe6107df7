#pragma once

#include <QWidget>

namespace kestrelamp {

// A continuous horizontal slider over 0 … 1. A click jumps to the pointer and a drag follows it;
// the wheel is left to the scrolling list around it.
class VolumeSlider : public QWidget {
    Q_OBJECT

public:
    static constexpr int kThumbDiameter = 12;

    explicit VolumeSlider(QWidget* parent = nullptr);

    float value() const { return value_; }
    // Shows a value; emits nothing.
    void setValue(float value);

    // The value for a pointer at x in a slider of the given width.
    static float valueAt(qreal x, qreal width);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

Q_SIGNALS:
    void valueEdited(float value);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void edit(float value);

    float value_ = 1.0f;
    bool dragging_ = false;
};

} // namespace kestrelamp
