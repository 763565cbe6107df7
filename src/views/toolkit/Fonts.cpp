#include "views/toolkit/Fonts.h"

#include <QFontDatabase>
#include <QGuiApplication>

namespace kestrelamp::toolkit {
namespace {

QFont::Weight qtWeight(FontWeight weight) {
    switch (weight) {
    case FontWeight::regular:
        return QFont::Normal;
    case FontWeight::medium:
        return QFont::Medium;
    case FontWeight::semibold:
        return QFont::DemiBold;
    case FontWeight::bold:
        return QFont::Bold;
    }
    return QFont::Normal;
}

QFont sized(QFont font, int pixelSize, FontWeight weight) {
    font.setPixelSize(pixelSize);
    font.setWeight(qtWeight(weight));
    return font;
}

} // namespace

QFont systemFont(int pixelSize, FontWeight weight) {
    return sized(QGuiApplication::font(), pixelSize, weight);
}

QFont captionFont(int pixelSize) {
    QFont font = systemFont(pixelSize, FontWeight::bold);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 0.5);
    return font;
}

QFont monospacedFont(int pixelSize, FontWeight weight) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleHint(QFont::Monospace);
    return sized(font, pixelSize, weight);
}

} // namespace kestrelamp::toolkit
