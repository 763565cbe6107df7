#pragma once

// What every harness checks beyond "no crash". A broken invariant traps, which libFuzzer reports
// as a crash and saves the input for.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrelamp::fuzz {

// Prints what broke, then traps.
[[noreturn]] inline void broken(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "invariant broken: %s", what);
    if (!detail.empty()) {
        std::fprintf(stderr, ": %.*s", int(detail.size()), detail.data());
    }
    std::fprintf(stderr, "\n");
    __builtin_trap();
}

inline void require(bool holds, const char* what, std::string_view detail = {}) {
    if (!holds) {
        broken(what, detail);
    }
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
inline bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = std::uint8_t(text[i]);
        std::size_t length = 0;
        std::uint32_t low = 0;
        std::uint32_t code = 0;
        if (byte < 0x80) {
            ++i;
            continue;
        } else if ((byte & 0xE0) == 0xC0) {
            length = 2, low = 0x80, code = byte & 0x1F;
        } else if ((byte & 0xF0) == 0xE0) {
            length = 3, low = 0x800, code = byte & 0x0F;
        } else if ((byte & 0xF8) == 0xF0) {
            length = 4, low = 0x10000, code = byte & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = std::uint8_t(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3F);
        }
        if (code < low || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

inline void requireUtf8(const std::string& text, const char* what) {
    require(isValidUtf8(text), what, "not valid UTF-8");
}
inline void requireUtf8(const std::optional<std::string>& text, const char* what) {
    if (text) {
        requireUtf8(*text, what);
    }
}
inline void requireUtf8(const std::vector<std::string>& texts, const char* what) {
    for (const std::string& text : texts) {
        requireUtf8(text, what);
    }
}

inline std::string_view bytesOf(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

} // namespace kestrelamp::fuzz
