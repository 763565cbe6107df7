#include "views/toolkit/Colors.h"

namespace kestrelamp::toolkit {
namespace {

constexpr qreal kSecondaryAlpha = 0.6;

} // namespace

QColor primaryColor(const QPalette& palette) {
    return palette.color(QPalette::WindowText);
}

QColor secondaryColor(const QPalette& palette) {
    return withOpacity(primaryColor(palette), kSecondaryAlpha);
}

QColor accentColor(const QPalette& palette) {
    return palette.color(QPalette::Highlight);
}

QColor controlBackgroundColor(const QPalette& palette) {
    return palette.color(QPalette::Base);
}

QColor withOpacity(QColor color, qreal opacity) {
    color.setAlphaF(float(color.alphaF() * opacity));
    return color;
}

QColor ColorSpec::resolve(const QPalette& palette) const {
    switch (role_) {
    case Role::primary:
        return withOpacity(primaryColor(palette), opacity_);
    case Role::secondary:
        return withOpacity(secondaryColor(palette), opacity_);
    case Role::accent:
        return withOpacity(accentColor(palette), opacity_);
    case Role::controlBackground:
        return withOpacity(controlBackgroundColor(palette), opacity_);
    case Role::fixed:
        return withOpacity(color_, opacity_);
    }
    return color_;
}

} // namespace kestrelamp::toolkit
