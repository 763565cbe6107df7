#include "views/toolkit/SegmentedControl.h"

#include "views/toolkit/Colors.h"
#include "views/toolkit/Fonts.h"
#include "views/toolkit/TextLabel.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

namespace kestrelamp::toolkit {
namespace {

constexpr qreal kRadius = 5;
constexpr int kSegmentPadding = 10;

} // namespace

SegmentedControl::SegmentedControl(QStringList titles, int fontPixelSize, QWidget* parent)
    : QWidget(parent)
    , titles_(std::move(titles)) {
    setFont(systemFont(fontPixelSize));
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void SegmentedControl::setCurrentIndex(int index) {
    if (index < 0 || index >= titles_.size() || index == current_) {
        return;
    }
    current_ = index;
    update();
    Q_EMIT currentIndexChanged(index);
}

QRect SegmentedControl::segmentRect(int index) const {
    if (titles_.isEmpty()) {
        return {};
    }
    const int count = int(titles_.size());
    const int left = width() * index / count;
    const int right = width() * (index + 1) / count;
    return {left, 0, right - left, height()};
}

QSize SegmentedControl::sizeHint() const {
    int widest = 0;
    for (const QString& title : titles_) {
        widest = std::max(widest, textWidth(font(), title));
    }
    return {int(titles_.size()) * (widest + 2 * kSegmentPadding), fontMetrics().height() + 6};
}

void SegmentedControl::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF outline = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(Qt::NoPen);
    painter.setBrush(withOpacity(primaryColor(palette()), 0.07));
    painter.drawRoundedRect(outline, kRadius, kRadius);
    for (int i = 0; i < titles_.size(); ++i) {
        const QRectF segment = QRectF(segmentRect(i)).adjusted(1.5, 1.5, -1.5, -1.5);
        if (i == current_) {
            painter.setPen(Qt::NoPen);
            // Lifted from the track: the base colour on light palettes, a brighter tone on dark.
            const bool dark = palette().color(QPalette::Window).lightness() < 128;
            painter.setBrush(dark ? withOpacity(primaryColor(palette()), 0.2)
                                  : controlBackgroundColor(palette()));
            painter.drawRoundedRect(segment, kRadius - 1, kRadius - 1);
        } else if (i > 0 && i - 1 != current_) {
            painter.setPen(QPen(withOpacity(primaryColor(palette()), 0.15), 1.0));
            painter.drawLine(QPointF(segment.left() - 1.5, 4),
                             QPointF(segment.left() - 1.5, height() - 4));
        }
        painter.setPen(withOpacity(primaryColor(palette()), isEnabled() ? 1.0 : 0.4));
        painter.drawText(segment, Qt::AlignCenter, titles_[i]);
    }
    if (hasFocus()) {
        painter.setPen(QPen(accentColor(palette()), 1.0));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(outline, kRadius, kRadius);
    }
}

void SegmentedControl::mousePressEvent(QMouseEvent* event) {
    for (int i = 0; i < titles_.size(); ++i) {
        if (segmentRect(i).contains(event->position().toPoint())) {
            setCurrentIndex(i);
            return;
        }
    }
}

void SegmentedControl::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Left) {
        setCurrentIndex(current_ - 1);
    } else if (event->key() == Qt::Key_Right) {
        setCurrentIndex(current_ + 1);
    } else {
        QWidget::keyPressEvent(event);
    }
}

} // namespace kestrelamp::toolkit
