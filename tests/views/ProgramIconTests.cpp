#include "views/toolkit/ProgramIcons.h"

#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

namespace kestrelamp::toolkit {
namespace {

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
