#pragma once

#include "views/toolkit/Colors.h"

#include <QString>
#include <QWidget>

namespace kestrelamp::toolkit {

// A symbol drawn in one colour at the size that goes with a font size; ignores the mouse.
class SymbolImage : public QWidget {
    Q_OBJECT

public:
    SymbolImage(const QString& symbol, int fontPixelSize, ColorSpec color,
                QWidget* parent = nullptr);

    const QString& symbol() const { return symbol_; }
    const ColorSpec& color() const { return color_; }
    void setSymbol(const QString& symbol);
    void setColor(const ColorSpec& color);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString symbol_;
    int edge_;
    ColorSpec color_;
};

} // namespace kestrelamp::toolkit
