#include "platform/Uuid.h"

#include <array>

namespace kestrelamp {

std::string uuidString(const QUuid& uuid) {
    return uuid.toString(QUuid::WithoutBraces).toUpper().toStdString();
}

std::optional<QUuid> parseUuid(std::string_view text) {
    static constexpr std::array<std::size_t, 4> hyphens{8, 13, 18, 23};
    if (text.size() != 36) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool hyphenPosition =
            i == hyphens[0] || i == hyphens[1] || i == hyphens[2] || i == hyphens[3];
        const char c = text[i];
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (hyphenPosition ? c != '-' : !hex) {
            return std::nullopt;
        }
    }
    return QUuid::fromString(QAnyStringView(QByteArrayView(text.data(), qsizetype(text.size()))));
}

} // namespace kestrelamp
