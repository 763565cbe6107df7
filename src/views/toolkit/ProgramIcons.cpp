#include "views/toolkit/ProgramIcons.h"

#include "views/toolkit/Symbols.h"

#include <QFile>
#include <QIconEngine>
#include <QPainter>
#include <QSvgRenderer>

#include <cmath>

namespace kestrelamp::toolkit {
namespace {

// What trays ask for, from 16 pixels to a 48-pixel slot at twice the scale.
const QList<QSize> kTraySizes = {{16, 16}, {18, 18}, {22, 22}, {24, 24}, {32, 32},
                                 {36, 36}, {44, 44}, {48, 48}, {64, 64}, {96, 96}};

QByteArray readDrawing(const QString& resourcePath) {
    QFile file(resourcePath);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray svg = file.readAll();
    return QSvgRenderer(svg).isValid() ? svg : QByteArray();
}

QColor contrasting(const QColor& color) {
    return color.lightness() < 128 ? QColor(255, 255, 255, 210) : QColor(0, 0, 0, 190);
}

// Renders the drawing afresh for every size, so that no size is a scaled copy of another.
class TintedDrawingEngine final : public QIconEngine {
public:
    TintedDrawingEngine(QByteArray svg, QColor color, TrayGlyph glyph)
        : svg_(std::move(svg))
        , color_(color)
        , glyph_(glyph) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        const qreal dpr = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QPixmap drawn = pixmap(rect.size() * dpr, mode, state);
        drawn.setDevicePixelRatio(dpr);
        painter->drawPixmap(rect, drawn);
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override {
        if (size.isEmpty()) {
            return {};
        }
        const QImage shape = silhouette(size, mode == QIcon::Disabled ? disabled() : color_);
        QImage canvas(size, QImage::Format_ARGB32_Premultiplied);
        canvas.fill(Qt::transparent);
        QPainter painter(&canvas);
        if (glyph_ == TrayGlyph::outlined) {
            // The silhouette in the contrasting colour, shifted all around: a ring one pixel
            // wide per 18 pixels of edge.
            const QImage ring = silhouette(size, contrasting(color_));
            const int width = std::max(1, int(std::lround(size.height() / 18.0)));
            for (int dx = -width; dx <= width; ++dx) {
                for (int dy = -width; dy <= width; ++dy) {
                    if (dx != 0 || dy != 0) {
                        painter.drawImage(QPoint(dx, dy), ring);
                    }
                }
            }
        }
        painter.drawImage(QPoint(0, 0), shape);
        painter.end();
        return QPixmap::fromImage(canvas);
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override { return kTraySizes; }
    QString key() const override { return QStringLiteral("KestrelampTintedDrawing"); }
    QIconEngine* clone() const override { return new TintedDrawingEngine(svg_, color_, glyph_); }

private:
    QColor disabled() const {
        QColor faded = color_;
        faded.setAlphaF(color_.alphaF() * 0.45f);
        return faded;
    }

    // Inset by the ring's width so that the outlined glyph keeps inside the square.
    QImage silhouette(const QSize& size, const QColor& color) const {
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        QSvgRenderer renderer(svg_);
        const qreal inset =
            glyph_ == TrayGlyph::outlined ? std::max(1.0, std::round(size.height() / 18.0)) : 0.0;
        renderer.render(&painter, QRectF(image.rect()).adjusted(inset, inset, -inset, -inset));
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), color);
        return image;
    }

    QByteArray svg_;
    QColor color_;
    TrayGlyph glyph_;
};

} // namespace

QIcon programIcon() {
    return QIcon::fromTheme(QStringLiteral("com.kestrelamp.Kestrelamp"),
                            QIcon(QStringLiteral(":/images/kestrelamp.svg")));
}

QIcon menuBarDrawing(const QString& resourcePath) {
    const QByteArray svg = readDrawing(resourcePath);
    return svg.isEmpty() ? QIcon()
                         : QIcon(new TintedDrawingEngine(svg, Qt::black, TrayGlyph::plain));
}

QIcon menuBarIcon(const QColor& color, TrayGlyph glyph, const QString& resourcePath) {
    QByteArray svg = readDrawing(resourcePath);
    if (svg.isEmpty()) {
        return tintedSymbolIcon(QStringLiteral("speaker.wave.2"), color);
    }
    return QIcon(new TintedDrawingEngine(std::move(svg), color, glyph));
}

QIcon themedTrayIcon(const QColor& fallbackColor) {
    ensureIconTheme();
    if (QIcon::hasThemeIcon(kTrayIconName)) {
        return QIcon::fromTheme(kTrayIconName);
    }
    return menuBarIcon(fallbackColor, TrayGlyph::outlined);
}

QIcon genericApplicationIcon() {
    ensureIconTheme();
    return QIcon::fromTheme(QStringLiteral("application-x-executable"),
                            QIcon(QStringLiteral(":/images/generic-application.svg")));
}

} // namespace kestrelamp::toolkit
