#pragma once

#include <QUuid>

#include <optional>
#include <string>
#include <string_view>

namespace kestrelamp {

// Canonical 36-character hyphenated form, upper-case hexadecimal.
std::string uuidString(const QUuid& uuid);
// Accepts exactly the canonical 36-character form (either case); nothing otherwise.
std::optional<QUuid> parseUuid(std::string_view text);

} // namespace kestrelamp
