#pragma once

#include "views/toolkit/Colors.h"

#include <QFont>
#include <QMargins>
#include <QString>
#include <QWidget>

#include <optional>

namespace kestrelamp::toolkit {

// Whole pixels that surely hold the text in that font.
int textWidth(const QFont& font, const QString& text);

// Plain text in one font and colour, painted with the palette of the moment so that it follows
// theme changes. One line truncated at the tail (the whole text then in its tooltip), or
// wrapped; optionally on a rounded background. The pointer passes through it unless it is cut.
class TextLabel : public QWidget {
    Q_OBJECT

public:
    enum class Lines { single, wrapped };

    TextLabel(const QString& text, const QFont& font, ColorSpec color, QWidget* parent = nullptr);

    const QString& text() const { return text_; }
    void setText(const QString& text);
    const ColorSpec& color() const { return color_; }
    void setColor(const ColorSpec& color);
    void setAlignment(Qt::Alignment alignment);
    void setLines(Lines lines);
    void setPadding(const QMargins& padding);
    void setBackground(std::optional<ColorSpec> background, qreal cornerRadius = 0);
    const std::optional<ColorSpec>& background() const { return background_; }
    // The text as drawn at the current width (truncated with an ellipsis when it does not fit).
    QString displayedText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return lines_ == Lines::wrapped; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Text cut short gets the whole of it as a tooltip, and takes the pointer to show it.
    void showWholeTextWhenCut();

    QString text_;
    ColorSpec color_;
    Qt::Alignment alignment_ = Qt::AlignLeft | Qt::AlignVCenter;
    Lines lines_ = Lines::single;
    QMargins padding_;
    std::optional<ColorSpec> background_;
    qreal cornerRadius_ = 0;
    bool cut_ = false;
};

} // namespace kestrelamp::toolkit
