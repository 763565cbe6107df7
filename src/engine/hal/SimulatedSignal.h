#pragma once

// The test signal a simulated process plays: silence, a sine tone or white noise, the same on
// every channel.

#include <cstdint>
#include <vector>

namespace kestrelamp::hal {

struct SimulatedSignal {
    enum class Type { silence, sine, noise };

    Type type = Type::silence;
    double frequency = 440.0;
    float amplitude = 0.5f;
    std::uint32_t channels = 2;

    static SimulatedSignal silence(std::uint32_t channels = 2) {
        return {Type::silence, 440.0, 0.0f, channels};
    }
    static SimulatedSignal sine(double frequency, float amplitude, std::uint32_t channels = 2) {
        return {Type::sine, frequency, amplitude, channels};
    }
    static SimulatedSignal noise(float amplitude, std::uint32_t channels = 2) {
        return {Type::noise, 440.0, amplitude, channels};
    }

    friend bool operator==(const SimulatedSignal&, const SimulatedSignal&) = default;
};

// Renders a signal cycle after cycle, continuing its phase. Noise is a fixed pseudo-random
// sequence per seed, so renders are repeatable.
class SignalGenerator {
public:
    explicit SignalGenerator(SimulatedSignal signal = {}, std::uint32_t seed = 1);

    const SimulatedSignal& signal() const { return signal_; }
    // Keeps the phase, so a changed tone continues without a jump in time.
    void setSignal(const SimulatedSignal& signal) { signal_ = signal; }

    // Writes frames samples per channel, channel after channel, into out (resized to
    // channels × frames).
    void render(std::uint32_t frames, double sampleRate, std::vector<float>& out);

private:
    SimulatedSignal signal_;
    double phase_ = 0.0; // in cycles, 0 ≤ phase < 1
    std::uint32_t noiseState_;
};

} // namespace kestrelamp::hal
