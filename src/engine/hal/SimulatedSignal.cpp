#include "engine/hal/SimulatedSignal.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kestrelamp::hal {

SignalGenerator::SignalGenerator(SimulatedSignal signal, std::uint32_t seed)
    : signal_(signal)
    , noiseState_(seed == 0 ? 1 : seed) {}

void SignalGenerator::render(std::uint32_t frames, double sampleRate, std::vector<float>& out) {
    const std::uint32_t channels = signal_.channels;
    out.assign(std::size_t(channels) * frames, 0.0f);
    if (channels == 0 || frames == 0) {
        return;
    }
    float* first = out.data();
    switch (signal_.type) {
    case SimulatedSignal::Type::silence:
        return;
    case SimulatedSignal::Type::sine: {
        const double step = sampleRate > 0 ? signal_.frequency / sampleRate : 0.0;
        for (std::uint32_t i = 0; i < frames; ++i) {
            first[i] = signal_.amplitude * float(std::sin(2.0 * std::numbers::pi * phase_));
            phase_ += step;
            phase_ -= std::floor(phase_);
        }
        break;
    }
    case SimulatedSignal::Type::noise:
        for (std::uint32_t i = 0; i < frames; ++i) {
            // xorshift32: uniform in [-amplitude, amplitude).
            noiseState_ ^= noiseState_ << 13;
            noiseState_ ^= noiseState_ >> 17;
            noiseState_ ^= noiseState_ << 5;
            const double unit = double(noiseState_) / 4294967296.0;
            first[i] = signal_.amplitude * float(2.0 * unit - 1.0);
        }
        break;
    }
    for (std::uint32_t channel = 1; channel < channels; ++channel) {
        std::copy(first, first + frames, first + std::size_t(channel) * frames);
    }
}

} // namespace kestrelamp::hal
