#include "views/toolkit/Switch.h"

#include "views/toolkit/Colors.h"
#include "views/toolkit/Fonts.h"
#include "views/toolkit/TextLabel.h"

#include <QPainter>

namespace kestrelamp::toolkit {

Switch::Switch(const QString& label, int fontPixelSize, QWidget* parent)
    : QAbstractButton(parent) {
    setCheckable(true);
    setText(label);
    setFont(systemFont(fontPixelSize));
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setAccessibleName(label);
}

QSize Switch::sizeHint() const {
    const int textPart = text().isEmpty() ? 0 : kGap + textWidth(font(), text());
    return {kTrackWidth + textPart, std::max(kTrackHeight, fontMetrics().height()) + 2};
}

void Switch::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal opacity = isEnabled() ? 1.0 : 0.4;
    const QRectF track(0.5, (height() - kTrackHeight) / 2.0, kTrackWidth - 1, kTrackHeight);
    const qreal radius = track.height() / 2;
    painter.setPen(Qt::NoPen);
    painter.setBrush(isChecked() ? withOpacity(accentColor(palette()), opacity)
                                 : withOpacity(primaryColor(palette()), 0.18 * opacity));
    painter.drawRoundedRect(track, radius, radius);
    const qreal knob = track.height() - 3;
    const qreal knobX = isChecked() ? track.right() - 1.5 - knob : track.left() + 1.5;
    painter.setBrush(withOpacity(named::white, opacity));
    painter.drawEllipse(QRectF(knobX, track.top() + 1.5, knob, knob));
    if (hasFocus()) {
        painter.setPen(QPen(accentColor(palette()), 1.0));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(track.adjusted(-1, -1, 1, 1), radius + 1, radius + 1);
    }
    if (!text().isEmpty()) {
        painter.setPen(withOpacity(primaryColor(palette()), opacity));
        painter.drawText(QRect(kTrackWidth + kGap, 0, width() - kTrackWidth - kGap, height()),
                         Qt::AlignLeft | Qt::AlignVCenter, text());
    }
}

} // namespace kestrelamp::toolkit
