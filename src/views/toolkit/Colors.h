#pragma once

// Colours of the views. The semantic ones come from the widget's palette at paint time, so the
// views follow the desktop theme; the named ones are fixed.

#include <QColor>
#include <QPalette>

namespace kestrelamp::toolkit {

namespace named {
inline constexpr QColor green{46, 194, 126};
inline constexpr QColor yellow{245, 194, 17};
inline constexpr QColor red{224, 27, 36};
inline constexpr QColor orange{255, 120, 0};
inline constexpr QColor gray{154, 153, 150};
inline constexpr QColor white{255, 255, 255};
inline constexpr QColor clear{0, 0, 0, 0};
} // namespace named

// A colour as the views name it: a palette role or a fixed colour, with an opacity.
class ColorSpec {
public:
    enum class Role { primary, secondary, accent, controlBackground, fixed };

    static ColorSpec primary(qreal opacity = 1.0) { return {Role::primary, {}, opacity}; }
    static ColorSpec secondary(qreal opacity = 1.0) { return {Role::secondary, {}, opacity}; }
    static ColorSpec accent(qreal opacity = 1.0) { return {Role::accent, {}, opacity}; }
    static ColorSpec controlBackground(qreal opacity = 1.0) {
        return {Role::controlBackground, {}, opacity};
    }
    static ColorSpec fixed(const QColor& color, qreal opacity = 1.0) {
        return {Role::fixed, color, opacity};
    }

    ColorSpec() = default;

    QColor resolve(const QPalette& palette) const;
    Role role() const { return role_; }
    qreal opacity() const { return opacity_; }

    friend bool operator==(const ColorSpec&, const ColorSpec&) = default;

private:
    ColorSpec(Role role, QColor color, qreal opacity)
        : role_(role)
        , color_(color)
        , opacity_(opacity) {}

    Role role_ = Role::primary;
    QColor color_;
    qreal opacity_ = 1.0;
};

QColor primaryColor(const QPalette& palette);
// The primary colour toned down, as secondary labels are on every desktop.
QColor secondaryColor(const QPalette& palette);
QColor accentColor(const QPalette& palette);
QColor controlBackgroundColor(const QPalette& palette);
QColor withOpacity(QColor color, qreal opacity);

} // namespace kestrelamp::toolkit
