#pragma once

#include <QWidget>

namespace kestrelamp {

// A slider over a continuous range: a left click sets the value under the pointer and a drag
// follows it. Subclasses map pointer positions to values, draw, and choose their keys.
class ContinuousSlider : public QWidget {
    Q_OBJECT

public:
    float value() const { return value_; }
    // Shows a value; emits nothing.
    void setValue(float value);

Q_SIGNALS:
    // Every change the user makes, and only those.
    void valueEdited(float value);
    // A drag ended (the button was let go, or the drag was lost).
    void dragFinished();

protected:
    ContinuousSlider(float initial, QWidget* parent);

    virtual float valueAtPointer(QPointF position) const = 0;
    // Sets the value as the user's own change.
    void edit(float value);

    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void endDrag();

    float value_;
    bool dragging_ = false;
};

} // namespace kestrelamp
