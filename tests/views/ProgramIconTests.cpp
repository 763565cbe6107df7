#include "views/toolkit/Colors.h"
#include "views/toolkit/ProgramIcons.h"
#include "views/toolkit/Symbols.h"

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace kestrelamp::toolkit {
namespace {

// Opaque pixels of the icon drawn at 18 by 18, all of them in one colour.
int opaquePixels(const QIcon& icon, QColor* colour) {
    const QImage image = icon.pixmap(QSize(18, 18)).toImage();
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (pixel.alpha() == 255) {
                *colour = pixel;
                ++count;
            }
        }
    }
    return count;
}

// How many pixels of the icon, drawn at the size onto a panel of the colour, differ clearly from
// the panel: what a user can see of it.
int visiblePixels(const QIcon& icon, int edge, const QColor& panel) {
    QImage canvas(edge, edge, QImage::Format_ARGB32);
    canvas.fill(panel);
    QPainter painter(&canvas);
    icon.paint(&painter, canvas.rect());
    painter.end();
    int count = 0;
    for (int y = 0; y < edge; ++y) {
        for (int x = 0; x < edge; ++x) {
            const QColor pixel = canvas.pixelColor(x, y);
            count += std::abs(pixel.lightness() - panel.lightness()) > 60;
        }
    }
    return count;
}

TEST(MenuBarIcon, OurDrawingInOneColourSharpAtEverySizeOrTheSpeakerSymbol) {
    const QColor green(10, 200, 30);
    QColor seen;

    ASSERT_FALSE(menuBarDrawing().isNull());
    const QIcon drawn = menuBarIcon(green);
    EXPECT_GT(opaquePixels(drawn, &seen), 20);
    EXPECT_EQ(seen.rgb(), green.rgb());
    // Rendered for each size, never a small picture scaled up: a 48-pixel slot (24 at twice
    // the scale) gets 48 pixels of drawing, and as many more opaque pixels as the area says.
    const QImage big = drawn.pixmap(QSize(48, 48)).toImage();
    EXPECT_EQ(big.size(), QSize(48, 48));
    int bigOpaque = 0;
    for (int y = 0; y < 48; ++y) {
        for (int x = 0; x < 48; ++x) {
            bigOpaque += qAlpha(big.pixel(x, y)) == 255;
        }
    }
    EXPECT_GT(bigOpaque, opaquePixels(drawn, &seen) * 5);

    QTemporaryDir dir;
    const QString broken = dir.filePath("menubar-icon.svg");
    QFile file(broken);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("<svg this is not");
    file.close();
    for (const QString& path : {broken, dir.filePath("missing.svg")}) {
        EXPECT_TRUE(menuBarDrawing(path).isNull()) << path.toStdString();
        const QIcon fallback = menuBarIcon(green, TrayGlyph::plain, path);
        const QImage shown = fallback.pixmap(QSize(18, 18)).toImage();
        const QImage speaker = symbolPixmap("speaker.wave.2", QSize(18, 18), green, 1.0).toImage();
        EXPECT_EQ(shown.convertToFormat(QImage::Format_ARGB32),
                  speaker.convertToFormat(QImage::Format_ARGB32))
            << path.toStdString();
    }
}

TEST(MenuBarIcon, TheOutlinedGlyphReadsOnDarkAndLightPanels) {
    const QColor darkPanel(0x20, 0x20, 0x24);
    const QColor lightPanel(0xf0, 0xf0, 0xf0);
    for (const QColor& text : {QColor(Qt::black), QColor(0xee, 0xee, 0xee)}) {
        // One colour alone vanishes on a panel of its own lightness...
        const QIcon plain = menuBarIcon(text);
        EXPECT_LT(
            std::min(visiblePixels(plain, 22, darkPanel), visiblePixels(plain, 22, lightPanel)),
            10);
        // ...the ring in the contrasting colour does not.
        const QIcon outlined = menuBarIcon(text, TrayGlyph::outlined);
        for (const QColor& panel : {darkPanel, lightPanel}) {
            EXPECT_GT(visiblePixels(outlined, 22, panel), 60) << panel.name().toStdString();
        }
    }
}

} // namespace
} // namespace kestrelamp::toolkit
