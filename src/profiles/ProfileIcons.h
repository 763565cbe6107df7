#pragma once

#include <array>
#include <string_view>

namespace kestrelamp {

// The symbol names a profile may carry, in the order the profile switcher offers them; the first
// is the one a new profile starts with.
inline constexpr std::array<std::string_view, 12> kProfileIconOptions = {
    "music.note", "headphones", "gamecontroller", "desktopcomputer", "video",       "mic",
    "film",       "guitars",    "speaker.wave.3", "waveform",        "hifispeaker", "airpodspro",
};

} // namespace kestrelamp
