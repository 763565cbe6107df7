#include "views/VolumeSlider.h"

#include "views/toolkit/Colors.h"

#include <QKeyEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace kestrelamp {
namespace {

constexpr qreal kTrackHeight = 4.0;
constexpr float kKeyStep = 0.01f;
constexpr float kPageStep = 0.1f;

} // namespace

VolumeSlider::VolumeSlider(QWidget* parent)
    : ContinuousSlider(1.0f, parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFixedHeight(kThumbDiameter + 4);
    setAccessibleName(QStringLiteral("Volume"));
}

float VolumeSlider::valueAt(qreal x, qreal width) {
    const qreal inset = kThumbDiameter / 2.0;
    const qreal span = width - 2 * inset;
    if (span <= 0) {
        return 0.0f;
    }
    return float(std::clamp((x - inset) / span, 0.0, 1.0));
}

QSize VolumeSlider::sizeHint() const {
    return {160, kThumbDiameter + 4};
}

QSize VolumeSlider::minimumSizeHint() const {
    return {kThumbDiameter * 4, kThumbDiameter + 4};
}

float VolumeSlider::valueAtPointer(QPointF position) const {
    return valueAt(position.x(), width());
}

void VolumeSlider::keyPressEvent(QKeyEvent* event) {
    float target = value();
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Down:
        target -= kKeyStep;
        break;
    case Qt::Key_Right:
    case Qt::Key_Up:
        target += kKeyStep;
        break;
    case Qt::Key_PageDown:
        target -= kPageStep;
        break;
    case Qt::Key_PageUp:
        target += kPageStep;
        break;
    case Qt::Key_Home:
        target = 0.0f;
        break;
    case Qt::Key_End:
        target = 1.0f;
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    edit(std::clamp(target, 0.0f, 1.0f));
}

void VolumeSlider::paintEvent(QPaintEvent*) {
    using namespace toolkit;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);

    const qreal radius = kThumbDiameter / 2.0;
    const qreal cy = height() / 2.0;
    const qreal left = radius;
    const qreal span = std::max(0.0, width() - 2 * radius);
    const qreal n = std::isfinite(value()) ? std::clamp(qreal(value()), 0.0, 1.0) : 0.0;
    const qreal thumbX = left + span * n;
    const QRectF track(left, cy - kTrackHeight / 2, span, kTrackHeight);

    const QColor primary = primaryColor(palette());
    painter.setBrush(withOpacity(primary, 0.14));
    painter.drawRoundedRect(track, kTrackHeight / 2, kTrackHeight / 2);
    painter.setBrush(accentColor(palette()));
    painter.drawRoundedRect(QRectF(left, track.top(), thumbX - left, kTrackHeight),
                            kTrackHeight / 2, kTrackHeight / 2);

    const bool dark = palette().color(QPalette::Window).lightness() < 128;
    painter.setPen(QPen(withOpacity(primary, dark ? 0.35 : 0.22), 1));
    painter.setBrush(dark ? QColor(225, 225, 225) : QColor(255, 255, 255));
    painter.drawEllipse(QPointF(thumbX, cy), radius - 0.5, radius - 0.5);
    if (hasFocus()) {
        painter.setPen(QPen(withOpacity(accentColor(palette()), 0.6), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(QPointF(thumbX, cy), radius + 1, radius + 1);
    }
}

} // namespace kestrelamp
