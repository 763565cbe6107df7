#pragma once

// What a simulated device played: the most recent frames of every channel, kept in a ring.

#include <cstdint>
#include <optional>
#include <vector>

namespace kestrelamp::hal {

class PlaybackRecording {
public:
    PlaybackRecording(std::uint32_t channels, std::uint32_t capacityFrames);

    std::uint32_t channels() const { return std::uint32_t(rings_.size()); }
    // Frames played since creation or the last clear.
    std::uint64_t framesRecorded() const { return framesRecorded_; }

    // samples holds frames per channel, channel after channel.
    void append(const float* samples, std::uint32_t frames);
    void clear();

    // The last min(frames, recorded, capacity) samples of the channel, oldest first; nothing for
    // a channel the device does not have.
    std::optional<std::vector<float>> lastSamples(std::uint32_t channel,
                                                  std::uint32_t frames) const;
    // 20·log10(max(rms, 1e-6)) over the last frames of one channel or of all channels; −120 when
    // nothing was recorded. Nothing for a channel the device does not have.
    std::optional<float> level(std::uint32_t channel, std::uint32_t frames) const;
    std::optional<float> level(std::uint32_t frames) const;

private:
    std::uint32_t available(std::uint32_t frames) const;
    double sumOfSquares(std::uint32_t channel, std::uint32_t frames) const;

    std::vector<std::vector<float>> rings_;
    std::uint32_t capacity_;
    std::uint32_t writeIndex_ = 0;
    std::uint64_t framesRecorded_ = 0;
};

// 20·log10(max(rms, 1e-6)): the level scale of the whole program, never below −120 dBFS.
float levelFromRms(double rms);

} // namespace kestrelamp::hal
