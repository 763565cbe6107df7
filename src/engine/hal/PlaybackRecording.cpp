#include "engine/hal/PlaybackRecording.h"

#include <algorithm>
#include <cmath>

namespace kestrelamp::hal {

float levelFromRms(double rms) {
    return float(20.0 * std::log10(std::max(rms, 1e-6)));
}

PlaybackRecording::PlaybackRecording(std::uint32_t channels, std::uint32_t capacityFrames)
    : rings_(channels, std::vector<float>(std::max<std::uint32_t>(capacityFrames, 1), 0.0f))
    , capacity_(std::max<std::uint32_t>(capacityFrames, 1)) {}

void PlaybackRecording::append(const float* samples, std::uint32_t frames) {
    // Only the newest capacity frames can be kept.
    const std::uint32_t skipped = frames > capacity_ ? frames - capacity_ : 0;
    for (std::size_t channel = 0; channel < rings_.size(); ++channel) {
        std::vector<float>& ring = rings_[channel];
        const float* source = samples + channel * frames + skipped;
        std::uint32_t index = (writeIndex_ + skipped) % capacity_;
        for (std::uint32_t i = skipped; i < frames; ++i) {
            ring[index] = *source++;
            index = index + 1 == capacity_ ? 0 : index + 1;
        }
    }
    writeIndex_ = std::uint32_t((std::uint64_t(writeIndex_) + frames) % capacity_);
    framesRecorded_ += frames;
}

void PlaybackRecording::clear() {
    for (std::vector<float>& ring : rings_) {
        std::fill(ring.begin(), ring.end(), 0.0f);
    }
    writeIndex_ = 0;
    framesRecorded_ = 0;
}

std::uint32_t PlaybackRecording::available(std::uint32_t frames) const {
    return std::uint32_t(std::min<std::uint64_t>({frames, framesRecorded_, capacity_}));
}

std::optional<std::vector<float>> PlaybackRecording::lastSamples(std::uint32_t channel,
                                                                 std::uint32_t frames) const {
    if (channel >= rings_.size()) {
        return std::nullopt;
    }
    const std::uint32_t count = available(frames);
    const std::vector<float>& ring = rings_[channel];
    std::vector<float> samples(count);
    std::uint32_t index = (writeIndex_ + capacity_ - count) % capacity_;
    for (float& sample : samples) {
        sample = ring[index];
        index = index + 1 == capacity_ ? 0 : index + 1;
    }
    return samples;
}

double PlaybackRecording::sumOfSquares(std::uint32_t channel, std::uint32_t frames) const {
    double sum = 0.0;
    const std::vector<float> samples = *lastSamples(channel, frames);
    for (const float sample : samples) {
        sum += double(sample) * sample;
    }
    return sum;
}

std::optional<float> PlaybackRecording::level(std::uint32_t channel, std::uint32_t frames) const {
    if (channel >= rings_.size()) {
        return std::nullopt;
    }
    const std::uint32_t count = available(frames);
    if (count == 0) {
        return levelFromRms(0.0);
    }
    return levelFromRms(std::sqrt(sumOfSquares(channel, frames) / count));
}

std::optional<float> PlaybackRecording::level(std::uint32_t frames) const {
    if (rings_.empty()) {
        return std::nullopt;
    }
    const std::uint32_t count = available(frames);
    if (count == 0) {
        return levelFromRms(0.0);
    }
    double sum = 0.0;
    for (std::uint32_t channel = 0; channel < rings_.size(); ++channel) {
        sum += sumOfSquares(channel, frames);
    }
    return levelFromRms(std::sqrt(sum / (double(count) * rings_.size())));
}

} // namespace kestrelamp::hal
