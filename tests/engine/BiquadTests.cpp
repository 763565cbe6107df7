#include "engine/Biquad.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <vector>

namespace kestrelamp {
namespace {

double responseDB(const BiquadCoefficients& c, double frequency, double sampleRate) {
    const std::complex<double> z1 =
        std::polar(1.0, -2.0 * std::numbers::pi * frequency / sampleRate);
    const std::complex<double> z2 = z1 * z1;
    const auto h = (double(c.b0) + double(c.b1) * z1 + double(c.b2) * z2) /
                   (1.0 + double(c.a1) * z1 + double(c.a2) * z2);
    return 20.0 * std::log10(std::abs(h));
}

TEST(BiquadCoefficients, PeakingSectionsHitTheirGainAtTheCentreAndPassDC) {
    for (float rate : {44100.0f, 48000.0f, 96000.0f}) {
        for (float gain : {-24.0f, -3.0f, 0.06f, 6.0f, 24.0f}) {
            for (float f0 : kEQBandFrequencies) {
                if (f0 * 2.0f >= rate) {
                    continue;
                }
                const BiquadCoefficients c = peakingCoefficients(gain, f0, rate);
                SCOPED_TRACE(testing::Message() << rate << " Hz, " << gain << " dB at " << f0);
                EXPECT_EQ(c.b1, c.a1);
                EXPECT_NEAR(responseDB(c, f0, rate), gain, 0.02);
                // Far below the band the curve returns to 0 dB, within what float's cancellation
                // in 2 − 2·cos ω leaves for the lowest bands.
                EXPECT_NEAR(responseDB(c, 0.0, rate), 0.0, 0.2);
                // Poles inside the unit circle: a2 < 1 and |a1| < 1 + a2.
                EXPECT_LT(c.a2, 1.0f);
                EXPECT_LT(std::fabs(c.a1), 1.0f + c.a2);
            }
        }
    }
}

TEST(BiquadCoefficients, FlatAndUnusableBandsAreTheIdentity) {
    for (float gain : {0.0f, 0.05f, -0.05f, std::numeric_limits<float>::quiet_NaN(),
                       std::numeric_limits<float>::infinity()}) {
        EXPECT_TRUE(isFlatGain(gain)) << gain;
        EXPECT_EQ(peakingCoefficients(gain, 1024.0f, 48000.0f), BiquadCoefficients::identity())
            << gain;
    }
    for (float gain : {0.06f, -0.06f}) {
        EXPECT_FALSE(isFlatGain(gain));
        EXPECT_NE(peakingCoefficients(gain, 1024.0f, 48000.0f), BiquadCoefficients::identity());
    }

    // At 16 kHz the top band lies above Nyquist, where the section would be unstable.
    EXPECT_EQ(peakingCoefficients(6.0f, 16384.0f, 16000.0f), BiquadCoefficients::identity());
    EXPECT_NE(peakingCoefficients(6.0f, 8192.0f, 44100.0f), BiquadCoefficients::identity());
    // A gain float cannot raise to a power, and one whose poles round onto the unit circle.
    EXPECT_EQ(peakingCoefficients(2000.0f, 1024.0f, 48000.0f), BiquadCoefficients::identity());
    EXPECT_EQ(peakingCoefficients(400.0f, 32.0f, 48000.0f), BiquadCoefficients::identity());
    for (float gain = -600.0f; gain <= 600.0f; gain += 7.0f) {
        for (float f0 : kEQBandFrequencies) {
            const BiquadCoefficients c = peakingCoefficients(gain, f0, 44100.0f);
            ASSERT_TRUE(std::fabs(c.a2) < 1.0f && std::fabs(c.a1) < 1.0f + c.a2) << gain << " dB";
        }
    }
}

TEST(BiquadCascade, IdentityPassesTheInputAndMatchesTheSectionsOneByOne) {
    std::vector<float> input(257);
    for (std::size_t i = 0; i < input.size(); ++i) {
        input[i] = std::sin(float(i) * 0.37f) * 0.8f;
    }
    const BiquadSet identity{};
    BiquadBank identityBank;
    std::vector<float> output(input.size());
    processCascade(identity, identityBank, input.data(), output.data(), input.size(), 1.0f);
    EXPECT_EQ(output, input);

    BandGains gains;
    gains.fill(5.0f);
    const BiquadSet set = peakingSet(gains, 48000.0f);
    BiquadBank cascade, oneByOne;
    const float sumSquares =
        processCascade(set, cascade, input.data(), output.data(), input.size(), 0.5f);
    float expectedSum = 0.0f;
    for (std::size_t i = 0; i < input.size(); ++i) {
        float x = input[i];
        for (std::size_t k = 0; k < kEQBandCount; ++k) {
            x = filterSample(set[k], oneByOne[k], x);
        }
        EXPECT_EQ(output[i], 0.5f * x) << i;
        expectedSum += output[i] * output[i];
    }
    EXPECT_EQ(sumSquares, expectedSum);
    EXPECT_EQ(cascade, oneByOne);
}

} // namespace
} // namespace kestrelamp
