#include "views/toolkit/Colors.h"
#include "views/toolkit/ProgramIcons.h"
#include "views/toolkit/Symbols.h"

#include <QApplication>
#include <QFile>
#include <QImage>
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

TEST(MenuBarIcon, OurDrawingInTheTextColourOrTheSpeakerSymbol) {
    QPalette palette;
    palette.setColor(QPalette::WindowText, QColor(10, 200, 30));
    const QColor text = primaryColor(palette);
    QColor seen;

    ASSERT_FALSE(menuBarDrawing().isNull());
    const QIcon drawn = menuBarIcon(palette);
    EXPECT_GT(opaquePixels(drawn, &seen), 20);
    EXPECT_EQ(seen.rgb(), text.rgb());

    QTemporaryDir dir;
    const QString broken = dir.filePath("menubar-icon.svg");
    QFile file(broken);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("<svg this is not");
    file.close();
    for (const QString& path : {broken, dir.filePath("missing.svg")}) {
        EXPECT_TRUE(menuBarDrawing(path).isNull()) << path.toStdString();
        const QIcon fallback = menuBarIcon(palette, path);
        const QImage shown = fallback.pixmap(QSize(18, 18)).toImage();
        const QImage speaker = symbolPixmap("speaker.wave.2", QSize(18, 18), text, 1.0).toImage();
        EXPECT_EQ(shown.convertToFormat(QImage::Format_ARGB32),
                  speaker.convertToFormat(QImage::Format_ARGB32))
            << path.toStdString();
    }
}

TEST(ProgramIcon, HasAPicture) {
    EXPECT_FALSE(programIcon().pixmap(QSize(80, 80)).isNull());
}

} // namespace
} // namespace kestrelamp::toolkit
