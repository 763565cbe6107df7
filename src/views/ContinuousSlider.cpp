#include "views/ContinuousSlider.h"

#include <QMouseEvent>

namespace kestrelamp {

ContinuousSlider::ContinuousSlider(float initial, QWidget* parent)
    : QWidget(parent)
    , value_(initial) {
    setFocusPolicy(Qt::TabFocus);
}

void ContinuousSlider::setValue(float value) {
    if (value != value_) {
        value_ = value;
        update();
    }
}

void ContinuousSlider::edit(float value) {
    value_ = value;
    update();
    Q_EMIT valueEdited(value);
}

void ContinuousSlider::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    dragging_ = true;
    edit(valueAtPointer(event->position()));
}

void ContinuousSlider::mouseMoveEvent(QMouseEvent* event) {
    // A release can be lost to a grab elsewhere; a move without the button ends the drag.
    if (!dragging_ || !(event->buttons() & Qt::LeftButton)) {
        endDrag();
        event->ignore();
        return;
    }
    edit(valueAtPointer(event->position()));
}

void ContinuousSlider::mouseReleaseEvent(QMouseEvent* event) {
    endDrag();
    QWidget::mouseReleaseEvent(event);
}

void ContinuousSlider::endDrag() {
    if (dragging_) {
        dragging_ = false;
        Q_EMIT dragFinished();
    }
}

} // namespace kestrelamp
