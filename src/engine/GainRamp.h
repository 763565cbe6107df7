#pragma once

// The engine gain as the samples see it: a new target is reached along a straight line over a
// few milliseconds instead of in one sample, and exactly once the line is over. Audio thread only.

#include <cstdint>

namespace kestrelamp {

class GainRamp {
public:
    static constexpr float kSeconds = 0.005f;

    static std::uint32_t framesAt(float sampleRate) {
        const float frames = sampleRate * kSeconds + 0.5f;
        return frames >= 1.0f ? std::uint32_t(frames) : 1u;
    }

    // No ramp: the gain is target from the next sample on.
    void jumpTo(float target) {
        from_ = target;
        to_ = target;
        length_ = 0;
        done_ = 0;
    }

    // From the gain of the last sample produced to target, over frames samples.
    void rampTo(float target, std::uint32_t frames) {
        if (target == to_) {
            return;
        }
        from_ = value();
        to_ = target;
        length_ = frames;
        done_ = 0;
    }

    bool isRamping() const { return done_ < length_; }
    float target() const { return to_; }

    // The gain of sample i counted from the next one to be produced.
    float at(std::uint32_t i) const {
        const std::uint64_t k = std::uint64_t(done_) + i + 1;
        return k >= length_ ? to_ : from_ + (to_ - from_) * (float(k) / float(length_));
    }

    void advance(std::uint32_t frames) {
        done_ = frames >= length_ - done_ ? length_ : done_ + frames;
    }

private:
    float value() const {
        return done_ >= length_ ? to_ : from_ + (to_ - from_) * (float(done_) / float(length_));
    }

    float from_ = 1.0f;
    float to_ = 1.0f;
    std::uint32_t length_ = 0;
    std::uint32_t done_ = 0;
};

} // namespace kestrelamp
