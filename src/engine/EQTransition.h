#pragma once

// The equalizer as the audio thread runs it: the coefficient set for the band gains in use at the
// rate the cycle runs at. A change of gains is walked in dB, in kSteps equal steps of about
// kSeconds / kSteps each, with a whole new set for every step, so that a new curve fades in
// instead of clicking; every intermediate set is itself a stable peaking cascade. A change of
// rate recomputes the set at once, before the cycle is filtered. Audio thread only: nothing here
// allocates or locks.

#include "engine/Biquad.h"

#include <cstdint>
#include <span>

namespace kestrelamp {

// From frame `start` of the cycle on (until the next segment), filter with `set`.
struct FilterSegment {
    std::uint32_t start = 0;
    BiquadSet set;
};

class EQTransition {
public:
    static constexpr int kSteps = 16;
    static constexpr float kSeconds = 0.010f;

    static std::uint32_t stepFramesAt(float sampleRate);

    // The first cycle: the gains take effect at once, there is no earlier sound to fade from.
    void start(const BandGains& gains, float sampleRate);
    // Later cycles. A new rate recomputes the set in use; new target gains start a transition
    // from the gains in use now.
    void setRate(float sampleRate);
    void setTarget(const BandGains& gains);

    // The sets for the next `frames` frames, one segment per step that begins within them (at
    // most kSteps + 1), and moves past them.
    std::span<const FilterSegment> plan(std::uint32_t frames);

    // Whether the filters have anything to do: a transition in progress or a set that is not the
    // identity. While they have not, they are neither run nor advanced.
    bool isActive() const { return isTransitioning() || !areFlatGains(current_); }
    bool isTransitioning() const { return step_ < kSteps || stepFramesLeft_ > 0; }

    float sampleRate() const { return sampleRate_; }
    const BandGains& gains() const { return current_; }
    const BiquadSet& set() const { return set_; }

private:
    void enterStep(int step);

    float sampleRate_ = 0.0f;
    BandBases bases_{};
    std::uint32_t stepFrames_ = 1;
    BandGains from_{};
    BandGains to_{};
    BandGains current_{};
    BiquadSet set_{};
    int step_ = kSteps;
    // Frames still to run at the current step; the last step, too, runs a whole step's length
    // before the transition counts as over.
    std::uint32_t stepFramesLeft_ = 0;
    std::array<FilterSegment, kSteps + 1> segments_{};
};

} // namespace kestrelamp
