#include "views/toolkit/BorderlessButton.h"

#include "views/toolkit/Symbols.h"
#include "views/toolkit/TextLabel.h"

#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

namespace kestrelamp::toolkit {
namespace {

constexpr qreal kHoverOpacity = 0.08;
constexpr qreal kPressedOpacity = 0.16;

void paintHighlight(QPainter& painter, const QAbstractButton& button, qreal radius) {
    if (!button.isEnabled() || !(button.underMouse() || button.isDown())) {
        return;
    }
    const qreal opacity = button.isDown() ? kPressedOpacity : kHoverOpacity;
    painter.setPen(Qt::NoPen);
    painter.setBrush(withOpacity(primaryColor(button.palette()), opacity));
    painter.drawRoundedRect(QRectF(button.rect()), radius, radius);
}

void paintFocusRing(QPainter& painter, const QWidget& widget, qreal radius) {
    if (!widget.hasFocus()) {
        return;
    }
    painter.setPen(QPen(accentColor(widget.palette()), 1.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(widget.rect()).adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
}

} // namespace

BorderlessButton::BorderlessButton(QWidget* parent)
    : QAbstractButton(parent) {
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void BorderlessButton::setSymbol(const QString& symbol, int fontPixelSize, ColorSpec color) {
    symbol_ = symbol;
    symbolEdge_ = symbolPixelSize(fontPixelSize);
    symbolColor_ = color;
    updateGeometry();
    update();
}

void BorderlessButton::setSymbolName(const QString& symbol) {
    if (symbol != symbol_) {
        symbol_ = symbol;
        update();
    }
}

void BorderlessButton::setSymbolColor(const ColorSpec& color) {
    if (!(color == symbolColor_)) {
        symbolColor_ = color;
        update();
    }
}

void BorderlessButton::setTextStyle(const QFont& font, ColorSpec color) {
    setFont(font);
    textColor_ = color;
    updateGeometry();
    update();
}

void BorderlessButton::setTextColor(const ColorSpec& color) {
    if (!(color == textColor_)) {
        textColor_ = color;
        update();
    }
}

void BorderlessButton::setLabel(const QString& text) {
    if (text != this->text()) {
        setText(text);
        if (textYieldsSpace_) {
            setMaximumWidth(contentSize().width());
        }
        updateGeometry();
    }
}

void BorderlessButton::setSpacing(int spacing) {
    spacing_ = spacing;
    updateGeometry();
}

void BorderlessButton::setPadding(const QMargins& padding) {
    padding_ = padding;
    updateGeometry();
}

void BorderlessButton::setBackground(std::optional<ColorSpec> background, qreal cornerRadius) {
    background_ = background;
    cornerRadius_ = cornerRadius;
    update();
}

QString BorderlessButton::displayedText() const {
    const int available = width() - padding_.left() - padding_.right() - symbolEdge() - gap();
    return fontMetrics().elidedText(text(), Qt::ElideRight, std::max(0, available));
}

bool BorderlessButton::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip && !text().isEmpty() && displayedText() != text()) {
        const QString tip = toolTip().isEmpty() ? text() : toolTip() + '\n' + text();
        QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), tip, this);
        return true;
    }
    return QAbstractButton::event(event);
}

void BorderlessButton::setTextYieldsSpace(bool yields) {
    textYieldsSpace_ = yields;
    setSizePolicy(yields ? QSizePolicy::Expanding : QSizePolicy::Fixed, QSizePolicy::Fixed);
    setMaximumWidth(yields ? contentSize().width() : QWIDGETSIZE_MAX);
    updateGeometry();
}

QSize BorderlessButton::contentSize() const {
    const int width = text().isEmpty() ? 0 : textWidth(font(), text());
    const int height = text().isEmpty() ? 0 : fontMetrics().height();
    return {padding_.left() + symbolEdge() + gap() + width + padding_.right(),
            padding_.top() + std::max(symbolEdge(), height) + padding_.bottom()};
}

QSize BorderlessButton::sizeHint() const {
    return textYieldsSpace_ ? minimumSizeHint() : contentSize();
}

QSize BorderlessButton::minimumSizeHint() const {
    if (text().isEmpty() || symbol_.isEmpty()) {
        return contentSize();
    }
    // Beside a symbol the text may shrink to nothing.
    return {padding_.left() + symbolEdge() + padding_.right(), contentSize().height()};
}

void BorderlessButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (background_) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(background_->resolve(palette()));
        painter.drawRoundedRect(QRectF(rect()), cornerRadius_, cornerRadius_);
    }
    paintHighlight(painter, *this, cornerRadius_);
    paintFocusRing(painter, *this, cornerRadius_);

    const QString shown = displayedText();
    const int shownWidth = shown.isEmpty() ? 0 : fontMetrics().horizontalAdvance(shown);
    const int contentWidth = symbolEdge() + (shown.isEmpty() ? 0 : gap()) + shownWidth;
    const QRect inner = rect().marginsRemoved(padding_);
    int x = inner.left() + std::max(0, (inner.width() - contentWidth) / 2);
    const qreal opacity = isEnabled() ? 1.0 : 0.4;
    if (!symbol_.isEmpty()) {
        const QColor color = withOpacity(symbolColor_.resolve(palette()), opacity);
        const QPixmap pixmap =
            symbolPixmap(symbol_, QSize(symbolEdge_, symbolEdge_), color, devicePixelRatioF());
        const int y = inner.top() + (inner.height() - symbolEdge_) / 2;
        painter.drawPixmap(x, y, pixmap);
        x += symbolEdge_ + gap();
    }
    if (!shown.isEmpty()) {
        painter.setPen(withOpacity(textColor_.resolve(palette()), opacity));
        painter.drawText(QRect(x, inner.top(), inner.right() - x + 1, inner.height()),
                         Qt::AlignLeft | Qt::AlignVCenter, shown);
    }
}

void BorderlessButton::enterEvent(QEnterEvent* event) {
    update();
    QAbstractButton::enterEvent(event);
}

void BorderlessButton::leaveEvent(QEvent* event) {
    update();
    QAbstractButton::leaveEvent(event);
}

ClickableRow::ClickableRow(QWidget* parent)
    : QAbstractButton(parent) {
    setFocusPolicy(Qt::TabFocus);
}

void ClickableRow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    paintHighlight(painter, *this, 4);
    paintFocusRing(painter, *this, 4);
}

void ClickableRow::enterEvent(QEnterEvent* event) {
    update();
    QAbstractButton::enterEvent(event);
}

void ClickableRow::leaveEvent(QEvent* event) {
    update();
    QAbstractButton::leaveEvent(event);
}

Divider::Divider(int horizontalPadding, int verticalPadding, QWidget* parent)
    : QWidget(parent)
    , horizontalPadding_(horizontalPadding)
    , verticalPadding_(verticalPadding) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFixedHeight(1 + 2 * verticalPadding);
}

void Divider::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(
        QRect(horizontalPadding_, verticalPadding_, width() - 2 * horizontalPadding_, 1),
        withOpacity(primaryColor(palette()), 0.12));
}

} // namespace kestrelamp::toolkit
