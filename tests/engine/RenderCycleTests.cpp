#include "engine/RenderCycle.h"

#include "TestBuffers.h"
#include "engine/EQProcessor.h"

#include <gtest/gtest.h>

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
void renderReference(EngineState& engine, std::vector<const float*> in, std::vector<float*> out,
                     const std::vector<std::size_t>& frames, float gain) {
    const BiquadSet set = peakingSet(kActiveBands, 48000.0f);
    for (std::size_t b = 0; b < in.size(); ++b) {
        processCascade(set, engine.filters[std::min(b, kEQChannelBanks - 1)], in[b], out[b],
                       frames[b], gain);
    }
}

void expectSameHistories(const EngineState& a, const EngineState& b) {
    for (std::size_t bank = 0; bank < kEQChannelBanks; ++bank) {
        for (std::size_t k = 0; k < kEQBandCount; ++k) {
            EXPECT_EQ(a.filters[bank][k], b.filters[bank][k]) << "bank " << bank << " band " << k;
        }
    }
}

TEST(RenderCycle, EqualizedOutputEqualsTheScalarCascadeBitForBit) {
    const std::vector<std::vector<std::size_t>> layouts = {{1},
                                                           {5},
                                                           {4, 4},
                                                           {1, 1},
                                                           {7, 7, 7},
                                                           {64, 64, 64, 64},
                                                           {129, 129},
                                                           {33, 33, 33, 33, 33, 33},
                                                           {64, 64, 64, 64, 64, 64, 64, 64, 64, 64},
                                                           {64, 32, 64, 64, 64},
                                                           {3, 3, 3, 3, 3, 3, 3, 3, 3}};
    for (const auto& layout : layouts) {
        SCOPED_TRACE(testing::Message() << layout.size() << " buffers of " << layout.front());
        auto engine = makeEngine(true, 0.7f);
        auto reference = makeEngine(true, 0.7f);
        for (unsigned cycle = 0; cycle < 3; ++cycle) {
            TestBuffers buffers(layout, cycle + 1);
            TestBuffers expected(layout, cycle + 1);
            std::vector<const float*> in;
            std::vector<float*> out;
            for (auto& channel : expected.in) {
                in.push_back(channel.data());
            }
            for (auto& channel : expected.out) {
                out.push_back(channel.data());
            }
            renderCycle(*engine, hal::AudioIOCycle{}, buffers.input, buffers.output);
            renderReference(*reference, in, out, layout, 0.7f);
            for (std::size_t b = 0; b < layout.size(); ++b) {
                EXPECT_TRUE(sameBits(buffers.out[b].data(), expected.out[b].data(), layout[b]))
                    << "cycle " << cycle << " buffer " << b;
            }
        }
        expectSameHistories(*engine, *reference);
    }
}

TEST(RenderCycle, BuffersThatOverlapAreProcessedInBufferOrder) {
    for (bool eq : {true, false}) {
        SCOPED_TRACE(eq ? "equalized" : "bypass");
        auto engine = makeEngine(eq, 0.5f);
        auto reference = makeEngine(eq, 0.5f);
        // One storage area; buffer 0 writes where buffer 1 reads, buffer 2 works in place and
        // buffer 3 writes one sample past where it reads.
        TestBuffers buffers(1, 200);
        std::vector<float> storage = buffers.in[0];
        std::vector<float> expectedStorage = storage;
        const auto lists = [](std::vector<float>& s, std::vector<hal::AudioBuffer>& in,
                              std::vector<hal::AudioBuffer>& out) {
            constexpr std::uint32_t kBytes = 40 * sizeof(float);
            in = {{1, kBytes, s.data()},
                  {1, kBytes, s.data() + 50},
                  {1, kBytes, s.data() + 100},
                  {1, kBytes, s.data() + 150}};
            out = {{1, kBytes, s.data() + 50},
                   {1, kBytes, s.data() + 160},
                   {1, kBytes, s.data() + 100},
                   {1, kBytes, s.data() + 151}};
        };
        std::vector<hal::AudioBuffer> inBuffers, outBuffers;
        lists(storage, inBuffers, outBuffers);
        hal::AudioBufferList input{4, inBuffers.data()};
        hal::AudioBufferList output{4, outBuffers.data()};
        renderCycle(*engine, hal::AudioIOCycle{}, input, output);

        lists(expectedStorage, inBuffers, outBuffers);
        for (std::size_t b = 0; b < 4; ++b) {
            const auto* in = static_cast<const float*>(inBuffers[b].data);
            auto* out = static_cast<float*>(outBuffers[b].data);
            if (eq) {
                processCascade(peakingSet(kActiveBands, 48000.0f), reference->filters[b], in, out,
                               40, 0.5f);
            } else {
                for (std::size_t i = 0; i < 40; ++i) {
                    out[i] = 0.5f * in[i];
                }
            }
        }
        EXPECT_TRUE(sameBits(storage.data(), expectedStorage.data(), storage.size()));
    }
}

TEST(RenderCycle, MutedOutputIsZeroAndTheLevelIsTheFloor) {
    for (bool eq : {true, false}) {
        auto engine = makeEngine(eq, 0.8f);
        engine->isMuted = true;
        TestBuffers buffers(3, 100);
        renderCycle(*engine, hal::AudioIOCycle{}, buffers.input, buffers.output);
        for (const auto& channel : buffers.out) {
            for (float y : channel) {
                ASSERT_EQ(y, 0.0f);
            }
        }
        EXPECT_FLOAT_EQ(engine->currentLevel, -120.0f);
        ASSERT_EQ(drainLevels(*engine).size(), 1u);
    }
}

TEST(RenderCycle, FlatBandsOnlyScaleWithoutLimitingOrTouchingTheFilters) {
    auto engine = makeEngine(false, 4.0f);
    TestBuffers buffers(std::vector<std::size_t>{37, 8, 1});
    buffers.in[0][5] = 0.99f;
    renderCycle(*engine, hal::AudioIOCycle{}, buffers.input, buffers.output);
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
    renderCycle(*engine, hal::AudioIOCycle{}, block.input, block.output);
    engine->eqBands = {};
    EQProcessor::updateFilters(*engine);
    for (int cycle = 0; cycle < 5; ++cycle) {
        renderCycle(*engine, hal::AudioIOCycle{}, block.input, block.output);
    }
    const auto filters = engine->filters;
    EXPECT_NE(filters[0][0], BiquadHistory{});
    renderCycle(*engine, hal::AudioIOCycle{}, buffers.input, buffers.output);
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
    renderCycle(*engine, hal::AudioIOCycle{}, buffers.input, buffers.output);

    const auto untouched = [&](std::size_t b, std::size_t from) {
        for (std::size_t i = from; i < buffers.out[b].size(); ++i) {
            if (buffers.out[b][i] != TestBuffers::kSentinel) {
                return false;
            }
        }
        return true;
    };
    EXPECT_FALSE(untouched(0, 0));
    EXPECT_TRUE(untouched(1, 0));
    EXPECT_TRUE(untouched(2, 0));
    EXPECT_TRUE(untouched(3, 3));
    EXPECT_FALSE(untouched(3, 2));
    EXPECT_TRUE(untouched(4, 5));
    EXPECT_FALSE(untouched(4, 4));
    EXPECT_TRUE(untouched(5, 0));
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
    renderCycle(*engine, hal::AudioIOCycle{}, buffers.input, buffers.output);
    // A full-scale sine at half gain: 20·log10(0.5 / √2).
    EXPECT_NEAR(engine->currentLevel, -9.031f, 0.001f);
    renderCycle(*engine, hal::AudioIOCycle{}, buffers.input, buffers.output);
    EXPECT_EQ(drainLevels(*engine).size(), 2u);

    engine->currentLevel = -96.0f;
    hal::AudioBufferList empty{0, nullptr};
    renderCycle(*engine, hal::AudioIOCycle{}, empty, buffers.output);
    buffers.inBuffers[0].dataByteSize = 3;
    buffers.input.numberBuffers = 1;
    renderCycle(*engine, hal::AudioIOCycle{}, buffers.input, buffers.output);
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
        renderCycle(*engine, hal::AudioIOCycle{}, poisoned.input, poisoned.output);
        TestBuffers clean(channels, 64);
        renderCycle(*engine, hal::AudioIOCycle{}, clean.input, clean.output);
        for (const auto& channel : clean.out) {
            for (float y : channel) {
                ASSERT_TRUE(std::isfinite(y)) << channels << " channels";
            }
        }
    }
}

#if defined(__x86_64__)
TEST(RenderCycle, FlushesDenormalsOnlyWhileItRuns) {
    const unsigned before = _mm_getcsr();
    auto engine = makeEngine(false);
    TestBuffers buffers(1, 8);
    buffers.in[0].assign(8, 1e-40f);
    renderCycle(*engine, hal::AudioIOCycle{}, buffers.input, buffers.output);
    EXPECT_EQ(buffers.out[0], std::vector<float>(8, 0.0f));
    EXPECT_EQ(_mm_getcsr(), before);
    volatile float denormal = 1e-40f;
    EXPECT_NE(denormal * 1.0f, 0.0f);
}
#endif

} // namespace
} // namespace kestrelamp::test
