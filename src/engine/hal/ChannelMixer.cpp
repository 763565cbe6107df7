#include "engine/hal/ChannelMix.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kestrelamp::hal {

namespace {

using Shaping = ChannelMatrix::Shaping;

// PipeWire's Linkwitz-Riley building block: a Butterworth low-pass section, run twice.
struct LowPassCoefficients {
    double b0, b1, b2, a1, a2;
};

LowPassCoefficients lowPass(double crossoverHz, double sampleRate) {
    const double theta =
        std::min(2.0 * std::numbers::pi * crossoverHz / sampleRate, std::numbers::pi * 0.999);
    const double sn = 0.5 * std::numbers::sqrt2 * std::sin(theta);
    const double beta = 0.5 * (1.0 - sn) / (1.0 + sn);
    const double gamma = (0.5 + beta) * std::cos(theta);
    const double alpha = 0.25 * (0.5 + beta - gamma);
    return {2.0 * alpha, 4.0 * alpha, 2.0 * alpha, -2.0 * gamma, 2.0 * beta};
}

} // namespace

ChannelMixer::ChannelMixer(ChannelMatrix matrix, double sampleRate)
    : matrix_(std::move(matrix))
    , scratch_(kScratchFrames) {
    const auto delayCapacity =
        std::size_t(std::ceil(ChannelMatrix::kSurroundDelaySeconds * kMaxSampleRate)) + 1;
    const std::size_t sources = matrix_.source.size();
    for (std::size_t d = 0; d < matrix_.destination.size(); ++d) {
        Destination destination;
        destination.firstTerm = std::uint32_t(terms_.size());
        for (std::size_t s = 0; s < sources; ++s) {
            if (const float gain = matrix_.gains[d * sources + s]; gain != 0.0f) {
                terms_.push_back({std::uint32_t(s), gain});
            }
        }
        destination.termCount = std::uint32_t(terms_.size()) - destination.firstTerm;
        destination.shaping = matrix_.shaping[d];
        switch (destination.shaping) {
        case Shaping::centreLowPass:
        case Shaping::lfeLowPass:
            destination.state = std::uint32_t(lowPass_.size());
            lowPass_.emplace_back();
            break;
        case Shaping::surroundDelay:
            destination.state = std::uint32_t(delays_.size());
            delays_.push_back({std::vector<float>(delayCapacity, 0.0f), 0, 0});
            break;
        case Shaping::none:
            break;
        }
        destinations_.push_back(destination);
    }
    setSampleRate(sampleRate > 0.0 && sampleRate <= kMaxSampleRate ? sampleRate
                                                                   : kFallbackEngineSampleRate);
}

void ChannelMixer::setSampleRate(double sampleRate) noexcept {
    if (!(sampleRate > 0.0 && sampleRate <= kMaxSampleRate) || sampleRate == sampleRate_) {
        return;
    }
    sampleRate_ = sampleRate;
    for (const Destination& destination : destinations_) {
        if (destination.shaping == Shaping::centreLowPass ||
            destination.shaping == Shaping::lfeLowPass) {
            const LowPassCoefficients c = lowPass(destination.shaping == Shaping::centreLowPass
                                                      ? ChannelMatrix::kCentreCrossoverHz
                                                      : ChannelMatrix::kLfeCrossoverHz,
                                                  sampleRate);
            lowPass_[destination.state].section = {c.b0, c.b1, c.b2, c.a1, c.a2};
        }
    }
    const auto delayFrames =
        std::uint32_t(std::floor(ChannelMatrix::kSurroundDelaySeconds * sampleRate + 1e-6));
    for (DelayLine& delay : delays_) {
        delay.length = std::min(delayFrames, std::uint32_t(delay.samples.size()));
    }
    reset();
}

void ChannelMixer::reset() noexcept {
    for (LowPassState& state : lowPass_) {
        state.first = {};
        state.second = {};
    }
    for (DelayLine& delay : delays_) {
        std::fill(delay.samples.begin(), delay.samples.end(), 0.0f);
        delay.position = 0;
    }
}

void ChannelMixer::sumTerms(const Destination& destination, const float* const* sources,
                            std::uint32_t offset, std::uint32_t frames, float* out) const noexcept {
    bool written = false;
    for (std::uint32_t t = 0; t < destination.termCount; ++t) {
        const Term& term = terms_[destination.firstTerm + t];
        const float* in = sources[term.source];
        if (!in) {
            continue;
        }
        in += offset;
        const float gain = term.gain;
        if (!written) {
            for (std::uint32_t i = 0; i < frames; ++i) {
                out[i] = gain * in[i];
            }
            written = true;
        } else {
            for (std::uint32_t i = 0; i < frames; ++i) {
                out[i] += gain * in[i];
            }
        }
    }
    if (!written) {
        std::fill(out, out + frames, 0.0f);
    }
}

void ChannelMixer::shape(const Destination& destination, float* samples,
                         std::uint32_t frames) noexcept {
    switch (destination.shaping) {
    case Shaping::none:
        return;
    case Shaping::centreLowPass:
    case Shaping::lfeLowPass: {
        LowPassState& state = lowPass_[destination.state];
        const Section& c = state.section;
        SectionHistory& h1 = state.first;
        SectionHistory& h2 = state.second;
        for (std::uint32_t i = 0; i < frames; ++i) {
            samples[i] = float(c.run(c.run(samples[i], h1), h2));
        }
        return;
    }
    case Shaping::surroundDelay: {
        DelayLine& delay = delays_[destination.state];
        if (delay.length == 0) {
            return;
        }
        float* line = delay.samples.data();
        std::uint32_t position = delay.position;
        for (std::uint32_t i = 0; i < frames; ++i) {
            const float delayed = line[position];
            line[position] = samples[i];
            samples[i] = delayed;
            position = position + 1 == delay.length ? 0 : position + 1;
        }
        delay.position = position;
        return;
    }
    }
}

void ChannelMixer::mix(const float* const* sources, float* const* destinations,
                       std::uint32_t frames) noexcept {
    for (std::size_t d = 0; d < destinations_.size(); ++d) {
        if (float* out = destinations[d]) {
            sumTerms(destinations_[d], sources, 0, frames, out);
            shape(destinations_[d], out, frames);
        }
    }
}

void ChannelMixer::mixInto(const float* const* sources, float* const* destinations,
                           std::uint32_t frames) noexcept {
    for (std::size_t d = 0; d < destinations_.size(); ++d) {
        float* out = destinations[d];
        if (!out) {
            continue;
        }
        for (std::uint32_t offset = 0; offset < frames; offset += kScratchFrames) {
            const std::uint32_t count = std::min(kScratchFrames, frames - offset);
            sumTerms(destinations_[d], sources, offset, count, scratch_.data());
            shape(destinations_[d], scratch_.data(), count);
            for (std::uint32_t i = 0; i < count; ++i) {
                out[offset + i] += scratch_[i];
            }
        }
    }
}

} // namespace kestrelamp::hal
