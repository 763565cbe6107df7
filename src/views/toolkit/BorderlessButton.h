#pragma once

#include "views/toolkit/Colors.h"

#include <QAbstractButton>
#include <QFont>
#include <QMargins>
#include <QString>

#include <optional>

namespace kestrelamp::toolkit {

// A flat button: an optional symbol followed by optional text, a hover highlight, and an
// optional filled background. Text that does not fit is truncated at the tail.
class BorderlessButton : public QAbstractButton {
    Q_OBJECT

public:
    explicit BorderlessButton(QWidget* parent = nullptr);

    void setSymbol(const QString& symbol, int fontPixelSize, ColorSpec color);
    void setSymbolName(const QString& symbol);
    void setSymbolColor(const ColorSpec& color);
    const QString& symbol() const { return symbol_; }
    const ColorSpec& symbolColor() const { return symbolColor_; }

    // QAbstractButton::text() holds the text; these style it.
    void setTextStyle(const QFont& font, ColorSpec color);
    void setTextColor(const ColorSpec& color);
    const ColorSpec& textColor() const { return textColor_; }
    void setLabel(const QString& text);
    // The text as drawn at the current width.
    QString displayedText() const;

    void setSpacing(int spacing);
    void setPadding(const QMargins& padding);
    void setBackground(std::optional<ColorSpec> background, qreal cornerRadius);
    // Asks for room for the symbol only and takes more, up to the whole text, when the layout
    // has it to spare: neighbours keep their text before this one does.
    void setTextYieldsSpace(bool yields);
    const std::optional<ColorSpec>& background() const { return background_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    // Text cut short is shown whole in the tooltip, below the button's own.
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QSize contentSize() const;
    int symbolEdge() const { return symbol_.isEmpty() ? 0 : symbolEdge_; }
    int gap() const { return !symbol_.isEmpty() && !text().isEmpty() ? spacing_ : 0; }

    QString symbol_;
    int symbolEdge_ = 0;
    ColorSpec symbolColor_ = ColorSpec::secondary();
    ColorSpec textColor_ = ColorSpec::primary();
    int spacing_ = 3;
    QMargins padding_{3, 2, 3, 2};
    std::optional<ColorSpec> background_;
    qreal cornerRadius_ = 4;
    bool textYieldsSpace_ = false;
};

// A row of child widgets that acts as one button: the whole rectangle takes the click.
class ClickableRow : public QAbstractButton {
    Q_OBJECT

public:
    explicit ClickableRow(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
};

// A hairline separator with room around it.
class Divider : public QWidget {
    Q_OBJECT

public:
    explicit Divider(int horizontalPadding = 0, int verticalPadding = 0, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int horizontalPadding_;
    int verticalPadding_;
};

} // namespace kestrelamp::toolkit
