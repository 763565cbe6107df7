#include "views/toolkit/SymbolImage.h"

#include "views/toolkit/Symbols.h"

#include <QPainter>

namespace kestrelamp::toolkit {

SymbolImage::SymbolImage(const QString& symbol, int fontPixelSize, ColorSpec color, QWidget* parent)
    : QWidget(parent)
    , symbol_(symbol)
    , edge_(symbolPixelSize(fontPixelSize))
    , color_(color) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFixedSize(edge_, edge_);
}

void SymbolImage::setSymbol(const QString& symbol) {
    if (symbol != symbol_) {
        symbol_ = symbol;
        update();
    }
}

void SymbolImage::setColor(const ColorSpec& color) {
    if (!(color == color_)) {
        color_ = color;
        update();
    }
}

QSize SymbolImage::sizeHint() const {
    return {edge_, edge_};
}

void SymbolImage::paintEvent(QPaintEvent*) {
    const QPixmap pixmap =
        symbolPixmap(symbol_, size(), color_.resolve(palette()), devicePixelRatioF());
    if (!pixmap.isNull()) {
        QPainter(this).drawPixmap(0, 0, pixmap);
    }
}

} // namespace kestrelamp::toolkit
