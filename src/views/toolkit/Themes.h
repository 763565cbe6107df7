#pragma once

// The two palettes the program can force (screenshots, tests); otherwise the views take the
// desktop's palette.

#include <QPalette>

#include <optional>
#include <string_view>

namespace kestrelamp::toolkit {

enum class Theme { light, dark };

std::optional<Theme> themeFromName(std::string_view name);
QPalette themePalette(Theme theme);
// Fusion style with the theme's palette on the whole application.
void applyTheme(Theme theme);

} // namespace kestrelamp::toolkit
