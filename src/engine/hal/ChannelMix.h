#pragma once

// Placeholder until the real channel mixing lands: same names pass through, nothing else.

#include <cstdint>
#include <string>
#include <vector>

namespace kestrelamp::hal {

// PipeWire's positions for a stream of that many channels that names none.
std::vector<std::string> defaultChannelNames(std::uint32_t count);

class ChannelMixer {
public:
    ChannelMixer(const std::vector<std::string>& from, const std::vector<std::string>& to);
    std::size_t inputCount() const { return from_; }
    std::size_t outputCount() const { return map_.size(); }
    void mix(const float* const* in, float* const* out, std::uint32_t frames) const noexcept;

private:
    std::size_t from_ = 0;
    std::vector<int> map_;
};

} // namespace kestrelamp::hal
