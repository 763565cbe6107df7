#include "engine/Biquad.h"

#include <algorithm>
#include <cmath>

namespace kestrelamp {
namespace {

bool isFinite(const BiquadCoefficients& c) {
    return std::isfinite(c.b0) && std::isfinite(c.b1) && std::isfinite(c.b2) &&
           std::isfinite(c.a1) && std::isfinite(c.a2);
}

// Both poles strictly inside the unit circle.
bool isStable(const BiquadCoefficients& c) {
    return std::fabs(c.a2) < 1.0f && std::fabs(c.a1) < 1.0f + c.a2;
}

} // namespace

bool isFlatGain(float gainDB) {
    return !(std::isfinite(gainDB) && std::fabs(gainDB) > 0.05f);
}

bool areFlatGains(const BandGains& gains) {
    return std::all_of(gains.begin(), gains.end(), isFlatGain);
}

bool isFinite(const BiquadHistory& h) {
    return std::isfinite(h.x1) && std::isfinite(h.x2) && std::isfinite(h.y1) && std::isfinite(h.y2);
}

PeakingBasis PeakingBasis::at(float centreFrequency, float sampleRate) {
    if (!(centreFrequency * 2.0f < sampleRate)) {
        return {};
    }
    const float omega = centreFrequency * 6.283185f / sampleRate;
    return {std::sin(omega) / 2.828f, std::cos(omega), true};
}

BandBases bandBases(float sampleRate) {
    BandBases bases;
    for (std::size_t band = 0; band < kEQBandCount; ++band) {
        bases[band] = PeakingBasis::at(kEQBandFrequencies[band], sampleRate);
    }
    return bases;
}

BiquadCoefficients peakingCoefficients(float gainDB, const PeakingBasis& basis) {
    if (isFlatGain(gainDB) || !basis.usable) {
        return BiquadCoefficients::identity();
    }
    const float a = std::pow(10.0f, gainDB / 40.0f);
    const float alpha = basis.alpha;
    const float a0 = 1.0f + alpha / a;
    BiquadCoefficients c;
    c.b0 = (1.0f + alpha * a) / a0;
    c.b1 = (-2.0f * basis.cosOmega) / a0;
    c.b2 = (1.0f - alpha * a) / a0;
    c.a1 = (-2.0f * basis.cosOmega) / a0;
    c.a2 = (1.0f - alpha / a) / a0;
    return isFinite(c) && isStable(c) ? c : BiquadCoefficients::identity();
}

BiquadCoefficients peakingCoefficients(float gainDB, float centreFrequency, float sampleRate) {
    return peakingCoefficients(gainDB, PeakingBasis::at(centreFrequency, sampleRate));
}

BiquadSet peakingSet(const BandGains& gains, const BandBases& bases) {
    BiquadSet set;
    for (std::size_t band = 0; band < kEQBandCount; ++band) {
        set[band] = peakingCoefficients(gains[band], bases[band]);
    }
    return set;
}

BiquadSet peakingSet(const BandGains& gains, float sampleRate) {
    return peakingSet(gains, bandBases(sampleRate));
}

float processCascade(const BiquadSet& set, BiquadBank& bank, const float* in, float* out,
                     std::size_t frames, float gain) noexcept {
    // Local copies: the compiler then knows that writing out[] cannot change them.
    const BiquadSet c = set;
    BiquadBank h = bank;
    float sumSquares = 0.0f;
    for (std::size_t i = 0; i < frames; ++i) {
        float x = in[i];
        for (std::size_t k = 0; k < kEQBandCount; ++k) {
            x = filterSample(c[k], h[k], x);
        }
        const float y = gain * x;
        out[i] = y;
        sumSquares += y * y;
    }
    for (std::size_t k = 0; k < kEQBandCount; ++k) {
        bank[k] = finiteOrCleared(h[k]);
    }
    return sumSquares;
}

} // namespace kestrelamp
