// Changes of gain, equalizer and sample rate as the samples see them: no clicks, the exact result
// once a change is over, and filters that match the rate each cycle runs at.

#include "engine/EQProcessor.h"
#include "engine/RenderCycle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace kestrelamp {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A mono tone rendered block by block through an engine; keeps everything it read and wrote.
struct ToneRender {
    EngineState& engine;
    double frequency;
    std::uint32_t blockFrames = 100;
    double phase = 0.0;
    std::vector<float> input{};
    std::vector<float> output{};

    // Blocks of the tone as sampled at rate, announced to the engine as running at cycleRate.
    void render(int blocks, double rate = 48000.0, double cycleRate = 0.0) {
        for (int b = 0; b < blocks; ++b) {
            std::vector<float> in(blockFrames);
            for (float& x : in) {
                x = float(0.5 * std::sin(phase));
                phase = std::fmod(phase + 2.0 * std::numbers::pi * frequency / rate,
                                  2.0 * std::numbers::pi);
            }
            std::vector<float> out(blockFrames);
            hal::AudioBuffer inBuffer{1, std::uint32_t(in.size() * sizeof(float)), in.data()};
            hal::AudioBuffer outBuffer{1, std::uint32_t(out.size() * sizeof(float)), out.data()};
            hal::AudioBufferList outList{1, &outBuffer};
            renderCycle(engine, hal::AudioIOCycle{cycleRate == 0.0 ? rate : cycleRate},
                        {1, &inBuffer}, outList);
            input.insert(input.end(), in.begin(), in.end());
            output.insert(output.end(), out.begin(), out.end());
        }
    }
    std::size_t size() const { return output.size(); }
};

float largestStep(const std::vector<float>& samples, std::size_t from, std::size_t to) {
    float largest = 0.0f;
    for (std::size_t i = std::max<std::size_t>(from, 1); i < to; ++i) {
        largest = std::max(largest, std::fabs(samples[i] - samples[i - 1]));
    }
    return largest;
}

double rms(const std::vector<float>& samples, std::size_t from, std::size_t to) {
    double sum = 0.0;
    for (std::size_t i = from; i < to; ++i) {
        sum += double(samples[i]) * double(samples[i]);
    }
    return std::sqrt(sum / double(to - from));
}

// The gain of the last `frames` samples, output against input.
double gainDB(const ToneRender& tone, std::size_t frames) {
    const std::size_t end = tone.size();
    return 20.0 *
           std::log10(rms(tone.output, end - frames, end) / rms(tone.input, end - frames, end));
}

void setBands(EngineState& engine, const BandGains& bands) {
    engine.eqBands = bands;
    EQProcessor::updateFilters(engine);
}

// The next block, rendered by the engine and by the plain cascade from the same histories with
// the given set and gain: equal bit for bit once every change is over.
void expectSteadyBlock(EngineState& engine, ToneRender& tone, const BiquadSet& set, float gain) {
    BiquadBank bank = engine.filters[0];
    tone.render(1);
    const std::size_t start = tone.size() - tone.blockFrames;
    std::vector<float> expected(tone.blockFrames);
    if (areFlatGains(engine.eqBands)) {
        for (std::size_t i = 0; i < expected.size(); ++i) {
            expected[i] = gain * tone.input[start + i];
        }
    } else {
        processCascade(set, bank, tone.input.data() + start, expected.data(), expected.size(),
                       gain);
    }
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), tone.output.begin() + start));
}

TEST(RenderSmoothing, GainStepsAndMutingRampWithoutClicks) {
    for (bool equalized : {false, true}) {
        SCOPED_TRACE(equalized ? "equalized" : "bypass");
        EngineState engine(1, 48000.0f);
        const BandGains bands =
            equalized ? BandGains{-2, -1, 0, 2, 4, 4, 2, 0, -1, -2} : BandGains{};
        setBands(engine, bands);
        const BiquadSet set = peakingSet(bands, 48000.0f);
        ToneRender tone{engine, 1000.0};
        tone.render(10);
        // The tone as the engine passes it at full gain.
        const float toneStep = largestStep(tone.output, 500, tone.size());
        EXPECT_GT(toneStep, 0.06f);

        // Each change, rendered past its ramp: no step larger than 1.5 times the tone's own at the
        // louder of the two gains, the level of what was written, then exactly the new gain.
        float gain = 1.0f;
        const auto change = [&](float volume, bool muted) {
            engine.volume = volume;
            engine.isMuted = muted;
            const float newGain = muted ? 0.0f : volume;
            const std::size_t from = tone.size() - 1;
            tone.render(5);
            EXPECT_LE(largestStep(tone.output, from, tone.size()),
                      1.5f * toneStep * std::max({gain, newGain, 1.0f}))
                << gain << " to " << newGain;
            const std::size_t start = tone.size() - tone.blockFrames;
            EXPECT_NEAR(engine.currentLevel,
                        20.0 * std::log10(std::max(rms(tone.output, start, tone.size()), 1e-6)),
                        1e-3);
            expectSteadyBlock(engine, tone, set, newGain);
            gain = newGain;
        };
        change(0.2f, false);
        change(1.0f, false);
        change(1.0f, true);
        EXPECT_EQ(engine.currentLevel, -120.0f);
        change(1.0f, false);
        change(4.0f, false);
        change(0.0f, false);
        change(1.0f, false);
    }
}

TEST(RenderSmoothing, PresetChangesFadeInsteadOfClicking) {
    // At 512 Hz Podcast is 5 dB louder than Bass Boost; switched from one sample to the next the
    // change would step eight times the tone's own largest step.
    const BandGains podcast{-3, -1, 0, 3, 5, 5, 3, 1, -1, -3};
    const BandGains bassBoost{6, 5, 4, 2, 0, 0, 0, 0, 0, 0};
    EngineState engine(1, 48000.0f);
    setBands(engine, podcast);
    ToneRender tone{engine, 512.0};
    tone.render(20);
    const double podcastDB = gainDB(tone, 1000);
    const float podcastStep = largestStep(tone.output, 1000, tone.size());

    // Changes at odd points of the tone, also in the middle of a fade and to and from flat.
    const std::vector<std::pair<BandGains, int>> changes = {
        {bassBoost, 20}, {podcast, 20}, {bassBoost, 2}, {podcast, 20},
        {{}, 20},        {podcast, 20}, {bassBoost, 20}};
    for (const auto& [bands, blocks] : changes) {
        setBands(engine, bands);
        tone.render(blocks);
    }
    EXPECT_LE(largestStep(tone.output, 0, tone.size()), 1.5f * podcastStep);
    EXPECT_GT(podcastDB - gainDB(tone, 1000), 4.0);
    expectSteadyBlock(engine, tone, peakingSet(bassBoost, 48000.0f), 1.0f);
}

TEST(RenderSmoothing, FiltersRunAtTheRateOfEachCycle) {
    BandGains band9Up{};
    band9Up[9] = 12.0f;
    EngineState engine(1, 48000.0f);
    setBands(engine, band9Up);
    ToneRender tone{engine, 16384.0};

    tone.render(20, 44100.0);
    EXPECT_NEAR(gainDB(tone, 1000), 12.0, 0.5);
    EXPECT_EQ(engine.render.eq.set(), peakingSet(band9Up, 44100.0f));
    tone.render(20, 48000.0);
    EXPECT_NEAR(gainDB(tone, 1000), 12.0, 0.5);
    tone.render(20, 44100.0);
    // A rate that cannot be right keeps the last usable one.
    for (double bad :
         {double(kNaN), 0.0, -44100.0, std::numeric_limits<double>::infinity(), 1e300}) {
        tone.render(10, 44100.0, bad);
    }
    EXPECT_NEAR(gainDB(tone, 1000), 12.0, 0.5);
    EXPECT_EQ(engine.render.eq.sampleRate(), 44100.0f);

    // Until a cycle tells otherwise, the engine runs at the device's rate from its start.
    EngineState started(1, 44100.0f);
    setBands(started, band9Up);
    ToneRender startedTone{started, 16384.0};
    startedTone.render(20, 44100.0, double(kNaN));
    EXPECT_NEAR(gainDB(startedTone, 1000), 12.0, 0.5);
}

TEST(EQTransition, EveryStepIsAStablePeakingCascadeAndTheFadeTakesTenMilliseconds) {
    BandGains down{}, up{}, mixed{};
    down.fill(-24.0f);
    up.fill(24.0f);
    mixed = {24, -24, 24, -24, 24, -24, 24, -24, 24, -24};
    for (float rate : {8000.0f, 22050.0f, 44100.0f, 48000.0f, 96000.0f, 192000.0f}) {
        SCOPED_TRACE(testing::Message() << rate << " Hz");
        EQTransition eq;
        eq.start(down, rate);
        for (const BandGains& target : {up, mixed, BandGains{}, down}) {
            eq.setTarget(target);
            std::uint32_t frames = 0;
            std::size_t sets = 0;
            while (eq.isTransitioning()) {
                for (const FilterSegment& segment : eq.plan(64)) {
                    ++sets;
                    for (const BiquadCoefficients& c : segment.set) {
                        ASSERT_LT(std::fabs(c.a2), 1.0f);
                        ASSERT_LT(std::fabs(c.a1), 1.0f + c.a2);
                    }
                }
                frames += 64;
                ASSERT_LT(frames, std::uint32_t(rate));
            }
            EXPECT_NEAR(double(frames), rate * 0.010, 64.0);
            EXPECT_GE(sets, std::size_t(EQTransition::kSteps));
            EXPECT_EQ(eq.gains(), target);
            EXPECT_EQ(eq.set(), peakingSet(target, rate));
        }
    }
}

} // namespace
} // namespace kestrelamp
