#pragma once

// The equalizer's building blocks: the ten-band layout, one peaking section's coefficients and the
// direct-form-I filter that runs them.

#include <array>
#include <atomic>
#include <cstddef>

namespace kestrelamp {

inline constexpr std::size_t kEQBandCount = 10;
inline constexpr std::array<float, kEQBandCount> kEQBandFrequencies = {
    32.0f, 64.0f, 128.0f, 256.0f, 512.0f, 1024.0f, 2048.0f, 4096.0f, 8192.0f, 16384.0f};

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

// A gain of at most 0.05 dB in magnitude counts as flat; so does a gain that is not a number.
bool isFlatGain(float gainDB);

// A peaking section at centreFrequency, computed in 32-bit float. Flat gains give the identity, as
// do bands at or above the Nyquist frequency and sections that float cannot represent: either
// would otherwise turn the cascade unstable or fill its history with NaN.
BiquadCoefficients peakingCoefficients(float gainDB, float centreFrequency, float sampleRate);

struct BiquadHistory {
    float x1 = 0.0f;
    float x2 = 0.0f;
    float y1 = 0.0f;
    float y2 = 0.0f;
};

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

// The coefficients are written on the main thread while the audio thread reads them, so each one
// is an atomic: an update may be seen coefficient by coefficient but never torn. The history
// belongs to the audio thread.
class BiquadFilter {
public:
    BiquadFilter() = default;
    BiquadFilter(const BiquadFilter&) = delete;
    BiquadFilter& operator=(const BiquadFilter&) = delete;

    BiquadCoefficients coefficients() const noexcept {
        return {b0_.load(std::memory_order_relaxed), b1_.load(std::memory_order_relaxed),
                b2_.load(std::memory_order_relaxed), a1_.load(std::memory_order_relaxed),
                a2_.load(std::memory_order_relaxed)};
    }
    void setCoefficients(const BiquadCoefficients& c) noexcept {
        b0_.store(c.b0, std::memory_order_relaxed);
        b1_.store(c.b1, std::memory_order_relaxed);
        b2_.store(c.b2, std::memory_order_relaxed);
        a1_.store(c.a1, std::memory_order_relaxed);
        a2_.store(c.a2, std::memory_order_relaxed);
    }

    float process(float x) noexcept {
        const BiquadCoefficients c = coefficients();
        return directFormI(c.b0, c.b1, c.b2, c.a1, c.a2, x, history.x1, history.x2, history.y1,
                           history.y2);
    }

    BiquadHistory history;

private:
    std::atomic<float> b0_{1.0f};
    std::atomic<float> b1_{0.0f};
    std::atomic<float> b2_{0.0f};
    std::atomic<float> a1_{0.0f};
    std::atomic<float> a2_{0.0f};
};

using BiquadBank = std::array<BiquadFilter, kEQBandCount>;

// The plain cascade over one buffer: every sample through the ten sections in band order, then
// times gain. Returns the sum of the squared outputs. in and out may be the same buffer.
float processCascade(BiquadBank& bank, const float* in, float* out, std::size_t frames,
                     float gain) noexcept;

} // namespace kestrelamp
