#pragma once

#include "engine/hal/AudioHardware.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace kestrelamp::test {

// Separate input and output channels of float samples with the buffer lists that point at them.
// Inputs are random samples within ±amplitude; outputs start filled with a sentinel so that
// untouched samples show.
struct TestBuffers {
    static constexpr float kSentinel = 1234.5f;

    TestBuffers(std::size_t channels, std::size_t frames, unsigned seed = 1, float amplitude = 0.9f)
        : TestBuffers(std::vector<std::size_t>(channels, frames), seed, amplitude) {}

    explicit TestBuffers(const std::vector<std::size_t>& framesPerChannel, unsigned seed = 1,
                         float amplitude = 0.9f) {
        std::mt19937 random(seed);
        std::uniform_real_distribution<float> sample(-amplitude, amplitude);
        for (std::size_t frames : framesPerChannel) {
            in.emplace_back(frames);
            std::generate(in.back().begin(), in.back().end(), [&] { return sample(random); });
            out.emplace_back(frames, kSentinel);
            inBuffers.push_back({1, std::uint32_t(frames * sizeof(float)), in.back().data()});
            outBuffers.push_back({1, std::uint32_t(frames * sizeof(float)), out.back().data()});
        }
        input = {std::uint32_t(inBuffers.size()), inBuffers.data()};
        output = {std::uint32_t(outBuffers.size()), outBuffers.data()};
    }
    // The lists point into the vectors, which keep their storage when moved but not when copied.
    TestBuffers(const TestBuffers&) = delete;
    TestBuffers(TestBuffers&&) noexcept = default;

    std::vector<std::vector<float>> in;
    std::vector<std::vector<float>> out;
    std::vector<hal::AudioBuffer> inBuffers;
    std::vector<hal::AudioBuffer> outBuffers;
    hal::AudioBufferList input;
    hal::AudioBufferList output;
};

inline bool sameBits(const float* a, const float* b, std::size_t count) {
    return std::memcmp(a, b, count * sizeof(float)) == 0;
}

} // namespace kestrelamp::test
