#include "engine/hal/AudioHardware.h"

#include <cctype>

namespace kestrelamp::hal {

std::string fourCharCodeString(std::uint32_t code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto byte = static_cast<unsigned char>((code >> shift) & 0xFF);
        if (!std::isprint(byte)) {
            return std::to_string(static_cast<std::int32_t>(code));
        }
        text.push_back(static_cast<char>(byte));
    }
    return text;
}

} // namespace kestrelamp::hal
