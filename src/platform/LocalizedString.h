#pragma once

// Locale-aware string comparison, shared by every caller that orders or searches names shown to
// the user. Strings are UTF-8; the current locale's collation rules apply.

#include <string_view>

namespace kestrelamp {

// <0, 0 or >0, like strcmp, with the current locale's collation (case and accents significant).
int localizedCompare(std::string_view a, std::string_view b);

// The same, ignoring case.
int localizedCaseInsensitiveCompare(std::string_view a, std::string_view b);

// Whether the haystack contains the needle, ignoring case. An empty needle is contained.
bool localizedCaseInsensitiveContains(std::string_view haystack, std::string_view needle);

} // namespace kestrelamp
