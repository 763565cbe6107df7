#include "views/toolkit/Themes.h"

#include <QApplication>
#include <QStyleFactory>

namespace kestrelamp::toolkit {
namespace {

struct ThemeColors {
    QColor window, windowText, base, alternateBase, button, buttonText, mid, dark, light, highlight,
        highlightedText, toolTipBase, toolTipText, placeholder, link;
};

constexpr QColor kAccentBlue{53, 132, 228};

QPalette build(const ThemeColors& c) {
    QPalette palette;
    palette.setColor(QPalette::Window, c.window);
    palette.setColor(QPalette::WindowText, c.windowText);
    palette.setColor(QPalette::Base, c.base);
    palette.setColor(QPalette::AlternateBase, c.alternateBase);
    palette.setColor(QPalette::Text, c.windowText);
    palette.setColor(QPalette::Button, c.button);
    palette.setColor(QPalette::ButtonText, c.buttonText);
    palette.setColor(QPalette::BrightText, Qt::white);
    palette.setColor(QPalette::Light, c.light);
    palette.setColor(QPalette::Midlight, c.light);
    palette.setColor(QPalette::Mid, c.mid);
    palette.setColor(QPalette::Dark, c.dark);
    palette.setColor(QPalette::Shadow, Qt::black);
    palette.setColor(QPalette::Highlight, c.highlight);
    palette.setColor(QPalette::HighlightedText, c.highlightedText);
    palette.setColor(QPalette::ToolTipBase, c.toolTipBase);
    palette.setColor(QPalette::ToolTipText, c.toolTipText);
    palette.setColor(QPalette::PlaceholderText, c.placeholder);
    palette.setColor(QPalette::Link, c.link);
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        QColor disabled = palette.color(role);
        disabled.setAlphaF(0.45f);
        palette.setColor(QPalette::Disabled, role, disabled);
    }
    return palette;
}

} // namespace

std::optional<Theme> themeFromName(std::string_view name) {
    if (name == "light") {
        return Theme::light;
    }
    if (name == "dark") {
        return Theme::dark;
    }
    return std::nullopt;
}

QPalette themePalette(Theme theme) {
    if (theme == Theme::dark) {
        return build({.window = QColor(36, 36, 36),
                      .windowText = QColor(255, 255, 255),
                      .base = QColor(48, 48, 48),
                      .alternateBase = QColor(42, 42, 42),
                      .button = QColor(58, 58, 58),
                      .buttonText = QColor(255, 255, 255),
                      .mid = QColor(80, 80, 80),
                      .dark = QColor(20, 20, 20),
                      .light = QColor(72, 72, 72),
                      .highlight = QColor(120, 174, 237),
                      .highlightedText = QColor(0, 0, 0),
                      .toolTipBase = QColor(56, 56, 56),
                      .toolTipText = QColor(255, 255, 255),
                      .placeholder = QColor(255, 255, 255, 110),
                      .link = QColor(120, 174, 237)});
    }
    return build({.window = QColor(250, 250, 250),
                  .windowText = QColor(0, 0, 0, 204),
                  .base = QColor(255, 255, 255),
                  .alternateBase = QColor(244, 244, 244),
                  .button = QColor(238, 238, 238),
                  .buttonText = QColor(0, 0, 0, 204),
                  .mid = QColor(200, 200, 200),
                  .dark = QColor(160, 160, 160),
                  .light = QColor(255, 255, 255),
                  .highlight = kAccentBlue,
                  .highlightedText = QColor(255, 255, 255),
                  .toolTipBase = QColor(50, 50, 50),
                  .toolTipText = QColor(255, 255, 255),
                  .placeholder = QColor(0, 0, 0, 110),
                  .link = kAccentBlue});
}

void applyTheme(Theme theme) {
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) {
        QApplication::setStyle(fusion);
    }
    QApplication::setPalette(themePalette(theme));
}

} // namespace kestrelamp::toolkit
