#include "engine/hal/ChannelMix.h"

#include <algorithm>
#include <cstring>

namespace kestrelamp::hal {

std::vector<std::string> defaultChannelNames(std::uint32_t count) {
    switch (count) {
    case 1:
        return {"MONO"};
    case 2:
        return {"FL", "FR"};
    case 6:
        return {"FL", "FR", "FC", "LFE", "RL", "RR"};
    default:
        break;
    }
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < count; ++i) {
        names.push_back("AUX" + std::to_string(i));
    }
    return names;
}

ChannelMixer::ChannelMixer(const std::vector<std::string>& from, const std::vector<std::string>& to)
    : from_(from.size()) {
    for (const std::string& name : to) {
        const auto it = std::find(from.begin(), from.end(), name);
        map_.push_back(it == from.end() ? -1 : int(it - from.begin()));
    }
}

void ChannelMixer::mix(const float* const* in, float* const* out,
                       std::uint32_t frames) const noexcept {
    for (std::size_t o = 0; o < map_.size(); ++o) {
        if (out[o] == nullptr) {
            continue;
        }
        if (map_[o] < 0 || in[map_[o]] == nullptr) {
            std::memset(out[o], 0, frames * sizeof(float));
        } else {
            std::memcpy(out[o], in[map_[o]], frames * sizeof(float));
        }
    }
}

} // namespace kestrelamp::hal
