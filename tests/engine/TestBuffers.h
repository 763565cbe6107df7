#pragma once

#include "engine/hal/AudioHardware.h"

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
            std::vector<float> channel(frames);
            for (float& value : channel) {
                value = sample(random);
            }
            in.push_back(std::move(channel));
            out.emplace_back(frames, kSentinel);
        }
        relink();
    }
    // The lists point into the vectors, which keep their storage when moved but not when copied.
    TestBuffers(const TestBuffers&) = delete;
    TestBuffers(TestBuffers&&) noexcept = default;

    // Buffer lists from the current channel vectors, every buffer whole.
    void relink() {
        inBuffers.clear();
        outBuffers.clear();
        for (std::size_t c = 0; c < in.size(); ++c) {
            inBuffers.push_back({1, std::uint32_t(in[c].size() * sizeof(float)), in[c].data()});
            outBuffers.push_back({1, std::uint32_t(out[c].size() * sizeof(float)), out[c].data()});
        }
        input = {std::uint32_t(inBuffers.size()), inBuffers.data()};
        output = {std::uint32_t(outBuffers.size()), outBuffers.data()};
    }

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
