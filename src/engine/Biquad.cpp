#include "engine/Biquad.h"

#include <cmath>

namespace kestrelamp {
namespace {

bool isFinite(const BiquadCoefficients& c) {
    return std::isfinite(c.b0) && std::isfinite(c.b1) && std::isfinite(c.b2) &&
           std::isfinite(c.a1) && std::isfinite(c.a2);
}

bool isFinite(const BiquadHistory& h) {
    return std::isfinite(h.x1) && std::isfinite(h.x2) && std::isfinite(h.y1) && std::isfinite(h.y2);
}

} // namespace

bool isFlatGain(float gainDB) {
    return !(std::isfinite(gainDB) && std::fabs(gainDB) > 0.05f);
}

BiquadCoefficients peakingCoefficients(float gainDB, float centreFrequency, float sampleRate) {
    if (isFlatGain(gainDB) || !(centreFrequency * 2.0f < sampleRate)) {
        return BiquadCoefficients::identity();
    }
    const float a = std::pow(10.0f, gainDB / 40.0f);
    const float omega = centreFrequency * 6.283185f / sampleRate;
    const float alpha = std::sin(omega) / 2.828f;
    const float cosOmega = std::cos(omega);
    const float a0 = 1.0f + alpha / a;
    BiquadCoefficients c;
    c.b0 = (1.0f + alpha * a) / a0;
    c.b1 = (-2.0f * cosOmega) / a0;
    c.b2 = (1.0f - alpha * a) / a0;
    c.a1 = (-2.0f * cosOmega) / a0;
    c.a2 = (1.0f - alpha / a) / a0;
    return isFinite(c) ? c : BiquadCoefficients::identity();
}

float processCascade(BiquadBank& bank, const float* in, float* out, std::size_t frames,
                     float gain) noexcept {
    // Local copies: the compiler then knows that writing out[] cannot change them.
    BiquadCoefficients c[kEQBandCount];
    BiquadHistory h[kEQBandCount];
    for (std::size_t k = 0; k < kEQBandCount; ++k) {
        c[k] = bank[k].coefficients();
        h[k] = bank[k].history;
    }
    float sumSquares = 0.0f;
    for (std::size_t i = 0; i < frames; ++i) {
        float x = in[i];
        for (std::size_t k = 0; k < kEQBandCount; ++k) {
            x = directFormI(c[k].b0, c[k].b1, c[k].b2, c[k].a1, c[k].a2, x, h[k].x1, h[k].x2,
                            h[k].y1, h[k].y2);
        }
        const float y = gain * x;
        out[i] = y;
        sumSquares += y * y;
    }
    for (std::size_t k = 0; k < kEQBandCount; ++k) {
        // One NaN from the application would otherwise silence this bank for good.
        bank[k].history = isFinite(h[k]) ? h[k] : BiquadHistory{};
    }
    return sumSquares;
}

} // namespace kestrelamp
