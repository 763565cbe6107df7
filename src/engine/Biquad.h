#pragma once

// The equalizer's building blocks: the ten-band layout, one peaking section's coefficients and the
// direct-form-I filter that runs them.

#include <array>
#include <cstddef>

namespace kestrelamp {

inline constexpr std::size_t kEQBandCount = 10;
inline constexpr std::array<float, kEQBandCount> kEQBandFrequencies = {
    32.0f, 64.0f, 128.0f, 256.0f, 512.0f, 1024.0f, 2048.0f, 4096.0f, 8192.0f, 16384.0f};

// Gains in dB, index = band.
using BandGains = std::array<float, kEQBandCount>;

// Already divided by a0. The default value passes the signal through.
struct BiquadCoefficients {
    float b0 = 1.0f;
    float b1 = 0.0f;
    float b2 = 0.0f;
    float a1 = 0.0f;
    float a2 = 0.0f;

    static constexpr BiquadCoefficients identity() { return {}; }
    friend bool operator==(const BiquadCoefficients&, const BiquadCoefficients&) = default;
};

// One coefficient set for the whole cascade, band order. Every channel filters with the same set.
using BiquadSet = std::array<BiquadCoefficients, kEQBandCount>;

// A gain of at most 0.05 dB in magnitude counts as flat; so does a gain that is not a number.
bool isFlatGain(float gainDB);
bool areFlatGains(const BandGains& gains);

// What a peaking section at one centre frequency needs from the sample rate. Depends only on
// frequency and rate, so it is computed once per rate and reused for every gain.
struct PeakingBasis {
    float alpha = 0.0f;
    float cosOmega = 1.0f;
    // False at or above the Nyquist frequency, where the section would be unstable.
    bool usable = false;

    static PeakingBasis at(float centreFrequency, float sampleRate);
};

using BandBases = std::array<PeakingBasis, kEQBandCount>;
BandBases bandBases(float sampleRate);

// A peaking section, computed in 32-bit float. Flat gains give the identity, as do unusable bands
// and sections that float cannot represent or that would not be stable: either would otherwise
// turn the cascade unstable or fill its history with NaN.
BiquadCoefficients peakingCoefficients(float gainDB, const PeakingBasis& basis);
BiquadCoefficients peakingCoefficients(float gainDB, float centreFrequency, float sampleRate);
BiquadSet peakingSet(const BandGains& gains, const BandBases& bases);
BiquadSet peakingSet(const BandGains& gains, float sampleRate);

struct BiquadHistory {
    float x1 = 0.0f;
    float x2 = 0.0f;
    float y1 = 0.0f;
    float y2 = 0.0f;

    friend bool operator==(const BiquadHistory&, const BiquadHistory&) = default;
};

// One channel's cascade state: the histories of its ten sections, band order. The coefficients
// live apart, in the set the render cycle uses for every channel.
using BiquadBank = std::array<BiquadHistory, kEQBandCount>;

// One direct-form-I step. Written once for float and for vectors of floats, so that every lane
// of a vector computes exactly what the scalar path computes.
template <class T>
inline T directFormI(T b0, T b1, T b2, T a1, T a2, T x, T& x1, T& x2, T& y1, T& y2) {
    const T y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1;
    x1 = x;
    y2 = y1;
    y1 = y;
    return y;
}

inline float filterSample(const BiquadCoefficients& c, BiquadHistory& h, float x) {
    return directFormI(c.b0, c.b1, c.b2, c.a1, c.a2, x, h.x1, h.x2, h.y1, h.y2);
}

// A NaN or infinity from the application would otherwise stay in the history for good.
bool isFinite(const BiquadHistory& history);
inline BiquadHistory finiteOrCleared(const BiquadHistory& history) {
    return isFinite(history) ? history : BiquadHistory{};
}

// The plain cascade over one buffer: every sample through the ten sections in band order, then
// times gain. Returns the sum of the squared outputs. in and out may be the same buffer.
float processCascade(const BiquadSet& set, BiquadBank& bank, const float* in, float* out,
                     std::size_t frames, float gain) noexcept;

} // namespace kestrelamp
