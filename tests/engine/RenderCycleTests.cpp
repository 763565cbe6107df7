#include "engine/RenderCycle.h"

#include "TestBuffers.h"
#include "engine/EQProcessor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace kestrelamp::test {
namespace {

constexpr std::array<float, kEQBandCount> kActiveBands = {3.0f,  -2.0f, 1.5f, -1.0f, 2.0f,
                                                          -3.0f, 1.0f,  2.5f, -1.5f, 4.0f};

const hal::AudioIOCycle kCycle{};

std::unique_ptr<EngineState> makeEngine(bool eq, float volume = 1.0f) {
    auto engine = std::make_unique<EngineState>(7, 48000.0f);
    engine->volume = volume;
    if (eq) {
        engine->eqBands = kActiveBands;
    }
    EQProcessor::updateFilters(*engine);
    return engine;
}

std::vector<float> drainLevels(EngineState& engine) {
    std::vector<float> levels;
    engine.levels.drain([&](float level) { levels.push_back(level); });
    return levels;
}

// What the render cycle must compute: each buffer in turn through bank min(b, 7), one sample at a
// time.
void renderReference(EngineState& engine, TestBuffers& buffers, float gain) {
    const BiquadSet set = peakingSet(kActiveBands, 48000.0f);
    for (std::size_t b = 0; b < buffers.in.size(); ++b) {
        processCascade(set, engine.filters[std::min(b, kEQChannelBanks - 1)], buffers.in[b].data(),
                       buffers.out[b].data(), buffers.in[b].size(), gain);
    }
}

TEST(RenderCycle, EqualizedOutputEqualsTheScalarCascadeBitForBit) {
    // Every kernel width and tail, more buffers than banks, and buffers of different lengths.
    const std::size_t kChannelsAndFrames[][2] = {{1, 1},  {1, 5},   {2, 4},  {2, 1},   {3, 7},
                                                 {4, 64}, {2, 129}, {6, 33}, {10, 64}, {9, 3}};
    std::vector<std::vector<std::size_t>> layouts = {{64, 32, 64, 64, 64}};
    for (const auto& [channels, frames] : kChannelsAndFrames) {
        layouts.emplace_back(channels, frames);
    }
    for (const auto& layout : layouts) {
        SCOPED_TRACE(testing::Message() << layout.size() << " buffers of " << layout.front());
        auto engine = makeEngine(true, 0.7f);
        auto reference = makeEngine(true, 0.7f);
        for (unsigned cycle = 0; cycle < 3; ++cycle) {
            TestBuffers buffers(layout, cycle + 1);
            TestBuffers expected(layout, cycle + 1);
            renderCycle(*engine, kCycle, buffers.input, buffers.output);
            renderReference(*reference, expected, 0.7f);
            for (std::size_t b = 0; b < layout.size(); ++b) {
                EXPECT_TRUE(sameBits(buffers.out[b].data(), expected.out[b].data(), layout[b]))
                    << "cycle " << cycle << " buffer " << b;
            }
        }
        EXPECT_EQ(engine->filters, reference->filters);
    }
}

TEST(RenderCycle, BuffersThatOverlapAreProcessedInBufferOrder) {
    // In one storage area buffer 0 writes where buffer 1 reads, buffer 2 works in place and
    // buffer 3 writes one sample past where it reads.
    constexpr std::size_t kReads[] = {0, 50, 100, 150};
    constexpr std::size_t kWrites[] = {50, 160, 100, 151};
    constexpr std::uint32_t kBytes = 40 * sizeof(float);
    for (bool eq : {true, false}) {
        SCOPED_TRACE(eq ? "equalized" : "bypass");
        auto engine = makeEngine(eq, 0.5f);
        auto reference = makeEngine(eq, 0.5f);
        std::vector<float> storage = TestBuffers(1, 200).in[0];
        std::vector<float> expected = storage;
        std::vector<hal::AudioBuffer> in, out;
        for (std::size_t b = 0; b < 4; ++b) {
            in.push_back({1, kBytes, storage.data() + kReads[b]});
            out.push_back({1, kBytes, storage.data() + kWrites[b]});
            const float* from = expected.data() + kReads[b];
            float* to = expected.data() + kWrites[b];
            if (eq) {
                processCascade(peakingSet(kActiveBands, 48000.0f), reference->filters[b], from, to,
                               40, 0.5f);
            } else {
                for (std::size_t i = 0; i < 40; ++i) {
                    to[i] = 0.5f * from[i];
                }
            }
        }
        hal::AudioBufferList input{4, in.data()};
        hal::AudioBufferList output{4, out.data()};
        renderCycle(*engine, kCycle, input, output);
        EXPECT_TRUE(sameBits(storage.data(), expected.data(), storage.size()));
    }
}

TEST(RenderCycle, MutedOutputIsZeroAndTheLevelIsTheFloor) {
    for (bool eq : {true, false}) {
        auto engine = makeEngine(eq, 0.8f);
        engine->isMuted = true;
        TestBuffers buffers(3, 100);
        renderCycle(*engine, kCycle, buffers.input, buffers.output);
        for (const auto& channel : buffers.out) {
            EXPECT_EQ(channel, std::vector<float>(channel.size(), 0.0f));
        }
        EXPECT_FLOAT_EQ(engine->currentLevel, -120.0f);
        ASSERT_EQ(drainLevels(*engine).size(), 1u);
    }
}

TEST(RenderCycle, FlatBandsOnlyScaleWithoutLimitingOrTouchingTheFilters) {
    auto engine = makeEngine(false, 4.0f);
    TestBuffers buffers(std::vector<std::size_t>{37, 8, 1});
    buffers.in[0][5] = 0.99f;
    renderCycle(*engine, kCycle, buffers.input, buffers.output);
    for (std::size_t c = 0; c < buffers.in.size(); ++c) {
        for (std::size_t i = 0; i < buffers.in[c].size(); ++i) {
            ASSERT_EQ(buffers.out[c][i], 4.0f * buffers.in[c][i]);
        }
    }
    EXPECT_EQ(buffers.out[0][5], 3.96f);
    EXPECT_EQ(engine->filters[0][0], BiquadHistory{});

    // Equalized, then flat again: once the fade to flat is over the filters stand still.
    engine->eqBands = kActiveBands;
    EQProcessor::updateFilters(*engine);
    TestBuffers block(3, 128);
    renderCycle(*engine, kCycle, block.input, block.output);
    engine->eqBands = {};
    EQProcessor::updateFilters(*engine);
    for (int cycle = 0; cycle < 5; ++cycle) {
        renderCycle(*engine, kCycle, block.input, block.output);
    }
    const auto filters = engine->filters;
    EXPECT_NE(filters[0][0], BiquadHistory{});
    renderCycle(*engine, kCycle, buffers.input, buffers.output);
    EXPECT_EQ(buffers.out[2][0], 4.0f * buffers.in[2][0]);
    EXPECT_EQ(engine->filters, filters);
}

TEST(RenderCycle, LeavesWhatItDoesNotPairUntouched) {
    auto engine = makeEngine(true);
    TestBuffers buffers(6, 16);
    // Buffer 1 has no input data, buffer 2 no output bytes, buffer 3 ends in half a sample and
    // buffer 4's input is shorter than its output; the input list stops before buffer 5.
    buffers.inBuffers[1].data = nullptr;
    buffers.outBuffers[2].dataByteSize = 0;
    buffers.inBuffers[3].dataByteSize = 3 * sizeof(float) + 2;
    buffers.outBuffers[3].dataByteSize = 3 * sizeof(float) + 2;
    buffers.inBuffers[4].dataByteSize = 5 * sizeof(float);
    buffers.input.numberBuffers = 5;
    renderCycle(*engine, kCycle, buffers.input, buffers.output);

    // Each output is written up to there and keeps the sentinel after it.
    const std::size_t kWrittenUpTo[] = {16, 0, 0, 3, 5, 0};
    for (std::size_t b = 0; b < 6; ++b) {
        std::size_t end = buffers.out[b].size();
        while (end > 0 && buffers.out[b][end - 1] == TestBuffers::kSentinel) {
            --end;
        }
        EXPECT_EQ(end, kWrittenUpTo[b]) << "buffer " << b;
    }
    // Skipped pairs keep their bank: buffer 3 ran through bank 3, banks 1 and 2 never ran.
    EXPECT_EQ(engine->filters[1][0].x1, 0.0f);
    EXPECT_EQ(engine->filters[2][0].x1, 0.0f);
    EXPECT_EQ(engine->filters[3][0].x1, buffers.in[3][2]);
}

TEST(RenderCycle, ReportsTheRmsLevelOncePerCycleWithSamples) {
    auto engine = makeEngine(false, 0.5f);
    TestBuffers buffers(2, 480);
    for (auto& channel : buffers.in) {
        for (std::size_t i = 0; i < channel.size(); ++i) {
            channel[i] = float(std::sin(2.0 * std::numbers::pi * double(i) / 48.0));
        }
    }
    renderCycle(*engine, kCycle, buffers.input, buffers.output);
    // A full-scale sine at half gain: 20·log10(0.5 / √2).
    EXPECT_NEAR(engine->currentLevel, -9.031f, 0.001f);
    renderCycle(*engine, kCycle, buffers.input, buffers.output);
    EXPECT_EQ(drainLevels(*engine).size(), 2u);

    engine->currentLevel = -96.0f;
    hal::AudioBufferList empty{0, nullptr};
    renderCycle(*engine, kCycle, empty, buffers.output);
    buffers.inBuffers[0].dataByteSize = 3;
    buffers.input.numberBuffers = 1;
    renderCycle(*engine, kCycle, buffers.input, buffers.output);
    EXPECT_EQ(engine->currentLevel, -96.0f);
    EXPECT_TRUE(drainLevels(*engine).empty());
}

TEST(RenderCycle, RecoversFromANaNInEveryKernel) {
    for (std::size_t channels : {1u, 2u, 3u, 4u}) {
        auto engine = makeEngine(true);
        TestBuffers poisoned(channels, 64);
        for (auto& channel : poisoned.in) {
            channel[20] = std::numeric_limits<float>::quiet_NaN();
        }
        renderCycle(*engine, kCycle, poisoned.input, poisoned.output);
        TestBuffers clean(channels, 64);
        renderCycle(*engine, kCycle, clean.input, clean.output);
        for (const auto& channel : clean.out) {
            EXPECT_TRUE(std::all_of(channel.begin(), channel.end(),
                                    [](float y) { return std::isfinite(y); }))
                << channels << " channels";
        }
    }
}

#if defined(__x86_64__)
TEST(RenderCycle, FlushesDenormalsOnlyWhileItRuns) {
    const unsigned before = _mm_getcsr();
    auto engine = makeEngine(false);
    TestBuffers buffers(1, 8);
    buffers.in[0].assign(8, 1e-40f);
    renderCycle(*engine, kCycle, buffers.input, buffers.output);
    EXPECT_EQ(buffers.out[0], std::vector<float>(8, 0.0f));
    EXPECT_EQ(_mm_getcsr(), before);
    volatile float denormal = 1e-40f;
    EXPECT_NE(denormal * 1.0f, 0.0f);
}
#endif

} // namespace
} // namespace kestrelamp::test
