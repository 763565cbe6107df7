#include "views/toolkit/TextLabel.h"

#include <QFontMetrics>
#include <QFontMetricsF>
#include <QPainter>

#include <cmath>

namespace kestrelamp::toolkit {
namespace {

constexpr int kUnboundedHeight = 100000;

} // namespace

TextLabel::TextLabel(const QString& text, const QFont& font, ColorSpec color, QWidget* parent)
    : QWidget(parent)
    , text_(text)
    , color_(color) {
    setFont(font);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void TextLabel::setText(const QString& text) {
    if (text != text_) {
        text_ = text;
        showWholeTextWhenCut();
        updateGeometry();
        update();
    }
}

void TextLabel::setColor(const ColorSpec& color) {
    if (!(color == color_)) {
        color_ = color;
        update();
    }
}

void TextLabel::setAlignment(Qt::Alignment alignment) {
    alignment_ = alignment;
    update();
}

void TextLabel::setLines(Lines lines) {
    lines_ = lines;
    QSizePolicy policy = sizePolicy();
    policy.setHeightForWidth(lines == Lines::wrapped);
    setSizePolicy(policy);
    updateGeometry();
}

void TextLabel::setPadding(const QMargins& padding) {
    padding_ = padding;
    updateGeometry();
}

void TextLabel::setBackground(std::optional<ColorSpec> background, qreal cornerRadius) {
    background_ = background;
    cornerRadius_ = cornerRadius;
    update();
}

void TextLabel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    showWholeTextWhenCut();
}

void TextLabel::showWholeTextWhenCut() {
    const bool cut = lines_ == Lines::single && !text_.isEmpty() && displayedText() != text_;
    if (cut) {
        setToolTip(text_);
    } else if (cut_) {
        setToolTip(QString());
    }
    if (cut != cut_) {
        cut_ = cut;
        setAttribute(Qt::WA_TransparentForMouseEvents, !cut);
    }
}

QString TextLabel::displayedText() const {
    if (lines_ == Lines::wrapped) {
        return text_;
    }
    const int available = width() - padding_.left() - padding_.right();
    return fontMetrics().elidedText(text_, Qt::ElideRight, available);
}

int textWidth(const QFont& font, const QString& text) {
    // Whole pixels that surely hold the text: eliding measures in fractions.
    return int(std::ceil(QFontMetricsF(font).horizontalAdvance(text))) + 1;
}

QSize TextLabel::sizeHint() const {
    const QFontMetrics metrics = fontMetrics();
    const int width = textWidth(font(), text_) + padding_.left() + padding_.right();
    const int height = metrics.height() + padding_.top() + padding_.bottom();
    if (lines_ == Lines::wrapped) {
        return {width, heightForWidth(width)};
    }
    return {width, height};
}

QSize TextLabel::minimumSizeHint() const {
    const QFontMetrics metrics = fontMetrics();
    const int height = metrics.height() + padding_.top() + padding_.bottom();
    if (lines_ == Lines::wrapped) {
        return {metrics.averageCharWidth() * 8, height};
    }
    if (sizePolicy().horizontalPolicy() == QSizePolicy::Fixed) {
        return sizeHint();
    }
    // Long names shrink to an ellipsis rather than push their neighbours out.
    const int ellipsis = metrics.horizontalAdvance(QChar(0x2026));
    return {std::min(sizeHint().width(), ellipsis * 3 + padding_.left() + padding_.right()),
            height};
}

int TextLabel::heightForWidth(int width) const {
    if (lines_ != Lines::wrapped) {
        return sizeHint().height();
    }
    const int inner = std::max(1, width - padding_.left() - padding_.right());
    const QRect bounds = fontMetrics().boundingRect(QRect(0, 0, inner, kUnboundedHeight),
                                                    int(alignment_) | Qt::TextWordWrap, text_);
    return bounds.height() + padding_.top() + padding_.bottom();
}

void TextLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (background_) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(background_->resolve(palette()));
        painter.drawRoundedRect(QRectF(rect()), cornerRadius_, cornerRadius_);
    }
    painter.setPen(color_.resolve(palette()));
    const QRect inner = rect().marginsRemoved(padding_);
    if (lines_ == Lines::wrapped) {
        painter.drawText(inner, int(alignment_) | Qt::TextWordWrap, text_);
    } else {
        painter.drawText(inner, int(alignment_), displayedText());
    }
}

} // namespace kestrelamp::toolkit
