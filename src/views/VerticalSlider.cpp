#include "views/VerticalSlider.h"

#include "views/toolkit/Colors.h"

#include <QKeyEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace kestrelamp {
namespace {

constexpr qreal kTrackWidth = 3.0;
constexpr qreal kTrackRadius = 1.5;
constexpr qreal kZeroMarkWidth = 7.0;
constexpr float kKeyStep = 1.0f;
constexpr float kPageStep = 6.0f;

} // namespace

VerticalSlider::VerticalSlider(float lower, float upper, QWidget* parent)
    : ContinuousSlider(lower + (upper - lower) / 2, parent)
    , lower_(lower)
    , upper_(upper) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setFixedHeight(kTrackHeight + kThumbDiameter);
    setMinimumWidth(kThumbDiameter + 2);
}

QRectF VerticalSlider::trackRect() const {
    const qreal inset = kThumbDiameter / 2.0;
    return QRectF(0, inset, width(), height() - 2 * inset);
}

float VerticalSlider::valueAt(qreal y, qreal height, float lower, float upper) {
    float t = height > 0 ? float(1.0 - y / height) : 0.0f;
    if (t < 0.0f || std::isnan(t)) {
        t = 0.0f;
    } else if (t >= 1.0f) {
        t = 1.0f;
    }
    return lower + (upper - lower) * t;
}

QSize VerticalSlider::sizeHint() const {
    return {kThumbDiameter * 2, kTrackHeight + kThumbDiameter};
}

float VerticalSlider::valueAtPointer(QPointF position) const {
    const QRectF track = trackRect();
    return valueAt(position.y() - track.top(), track.height(), lower_, upper_);
}

void VerticalSlider::keyPressEvent(QKeyEvent* event) {
    float step = 0;
    switch (event->key()) {
    case Qt::Key_Up:
        step = kKeyStep;
        break;
    case Qt::Key_Down:
        step = -kKeyStep;
        break;
    case Qt::Key_PageUp:
        step = kPageStep;
        break;
    case Qt::Key_PageDown:
        step = -kPageStep;
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    edit(std::clamp(value() + step, std::min(lower_, upper_), std::max(lower_, upper_)));
}

void VerticalSlider::paintEvent(QPaintEvent*) {
    using namespace toolkit;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);

    const QRectF track = trackRect();
    const qreal cx = track.center().x();
    const qreal span = upper_ - lower_;
    const qreal n = span != 0 ? std::clamp(qreal(value() - lower_) / span, 0.0, 1.0) : 0.5;
    const qreal thumbY = track.top() + track.height() * (1 - n);
    const qreal centreY = track.top() + track.height() * 0.5;

    painter.setBrush(withOpacity(named::gray, 0.2));
    painter.drawRoundedRect(QRectF(cx - kTrackWidth / 2, track.top(), kTrackWidth, track.height()),
                            kTrackRadius, kTrackRadius);
    painter.setBrush(withOpacity(named::gray, 0.4));
    painter.drawRect(QRectF(cx - kZeroMarkWidth / 2, centreY - 0.5, kZeroMarkWidth, 1));

    const QColor accent = accentColor(palette());
    painter.setBrush(withOpacity(accent, 0.6));
    painter.drawRoundedRect(QRectF(cx - kTrackWidth / 2, std::min(centreY, thumbY), kTrackWidth,
                                   std::abs(thumbY - centreY)),
                            kTrackRadius, kTrackRadius);

    painter.setBrush(accent);
    painter.drawEllipse(QPointF(cx, thumbY), kThumbDiameter / 2.0, kThumbDiameter / 2.0);
    if (hasFocus()) {
        painter.setPen(QPen(withOpacity(accent, 0.5), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(QPointF(cx, thumbY), kThumbDiameter / 2.0 + 1.5,
                            kThumbDiameter / 2.0 + 1.5);
    }
}

} // namespace kestrelamp
