#pragma once

// Text from outside the program (audio-service properties, desktop entries, process names) may
// hold any bytes; JSON encoders and the views need UTF-8. Plain C++, so that the audio service
// layer can use it on its own thread.

#include <string>
#include <string_view>

namespace kestrelamp {

bool isValidUtf8(std::string_view text);

// The text with every byte that does not belong to a well-formed UTF-8 sequence (stray
// continuation bytes, truncated or overlong sequences, surrogates, code points past U+10FFFF)
// replaced by U+FFFD, one for each such byte.
std::string validUtf8(std::string_view text);

} // namespace kestrelamp
