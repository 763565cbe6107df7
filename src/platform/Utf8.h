#pragma once

// Text from outside the program (audio-service properties, desktop entries, process names) may
// hold any bytes; JSON encoders and the views need UTF-8.

#include <string>
#include <string_view>

namespace kestrelamp {

// The text with every byte that does not belong to a well-formed UTF-8 sequence (stray
// continuation bytes, truncated or overlong sequences, surrogates, code points past U+10FFFF)
// replaced by U+FFFD, one for each such byte.
std::string validUtf8(std::string_view text);

} // namespace kestrelamp
