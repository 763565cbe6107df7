#include "engine/EQTransition.h"

#include <algorithm>
#include <cmath>

namespace kestrelamp {
namespace {

// A gain that is not a number is flat; as a flat 0 it can also be walked from and to.
BandGains usable(const BandGains& gains) {
    BandGains result;
    std::transform(gains.begin(), gains.end(), result.begin(),
                   [](float gain) { return std::isfinite(gain) ? gain : 0.0f; });
    return result;
}

} // namespace

std::uint32_t EQTransition::stepFramesAt(float sampleRate) {
    const float frames = sampleRate * (kSeconds / float(kSteps)) + 0.5f;
    return frames >= 1.0f ? std::uint32_t(frames) : 1u;
}

void EQTransition::start(const BandGains& gains, float sampleRate) {
    sampleRate_ = sampleRate;
    bases_ = bandBases(sampleRate);
    stepFrames_ = stepFramesAt(sampleRate);
    to_ = usable(gains);
    from_ = to_;
    current_ = to_;
    set_ = peakingSet(current_, bases_);
    step_ = kSteps;
    stepFramesLeft_ = 0;
}

void EQTransition::setRate(float sampleRate) {
    if (sampleRate == sampleRate_) {
        return;
    }
    sampleRate_ = sampleRate;
    bases_ = bandBases(sampleRate);
    stepFrames_ = stepFramesAt(sampleRate);
    stepFramesLeft_ = std::min(stepFramesLeft_, stepFrames_);
    set_ = peakingSet(current_, bases_);
}

void EQTransition::setTarget(const BandGains& gains) {
    const BandGains target = usable(gains);
    if (target == to_) {
        return;
    }
    from_ = current_;
    to_ = target;
    enterStep(1);
}

void EQTransition::enterStep(int step) {
    step_ = step;
    if (step == kSteps) {
        current_ = to_;
    } else {
        const float fraction = float(step) / float(kSteps);
        for (std::size_t band = 0; band < kEQBandCount; ++band) {
            current_[band] = from_[band] + (to_[band] - from_[band]) * fraction;
        }
    }
    set_ = peakingSet(current_, bases_);
    stepFramesLeft_ = stepFrames_;
}

std::span<const FilterSegment> EQTransition::plan(std::uint32_t frames) {
    std::size_t count = 0;
    segments_[count++] = {0, set_};
    std::uint32_t position = 0;
    while (isTransitioning() && position < frames) {
        const std::uint32_t run = std::min(stepFramesLeft_, frames - position);
        position += run;
        stepFramesLeft_ -= run;
        if (stepFramesLeft_ == 0 && step_ < kSteps) {
            enterStep(step_ + 1);
            if (position < frames) {
                segments_[count++] = {position, set_};
            }
        }
    }
    return {segments_.data(), count};
}

} // namespace kestrelamp
