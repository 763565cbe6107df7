#pragma once

#include <compare>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrelamp {

// A release version made of dotted numbers, compared numerically component by component:
// "1.10" > "1.9", "1.2" == "1.2.0", "01.2" == "1.2". Components may be arbitrarily long.
class Version {
public:
    // Nothing unless the text (surrounding white space aside) is digits separated by single dots.
    static std::optional<Version> parse(std::string_view text);

    std::strong_ordering operator<=>(const Version& other) const;
    bool operator==(const Version& other) const = default;

private:
    Version() = default;

    // Digits without leading zeros ("0" is ""), trailing zero components dropped.
    std::vector<std::string> components_;
};

} // namespace kestrelamp
