#pragma once

// What a sink plays, read from its monitor by a capture stream of the test's own.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrelamp::e2e {

class LevelMeter {
public:
    // Connects to the monitor of the sink with this node name.
    explicit LevelMeter(const std::string& sinkName);
    ~LevelMeter();
    LevelMeter(const LevelMeter&) = delete;
    LevelMeter& operator=(const LevelMeter&) = delete;

    // RMS over both channels of the next `frames` frames, in dBFS (-120 for silence); nothing
    // if they did not arrive within timeoutMs.
    std::optional<double> measureDbfs(std::uint32_t frames = 9600, int timeoutMs = 5000);

    // RMS over both channels of the last `frames` frames received (fewer if fewer came), in
    // dBFS; nothing before the first frame.
    std::optional<double> recentDbfs(std::uint32_t frames) const;

    // Frames of the last cycle: the graph's quantum.
    std::uint32_t quantum() const;

    // Frames received so far.
    std::uint64_t framesReceived() const;

    // The next `frames` frames of channel 0 with the graph clock position of the first.
    struct Capture {
        std::uint64_t clockPosition = 0;
        std::vector<float> samples;
    };
    std::optional<Capture> capture(std::uint32_t frames, int timeoutMs = 5000);

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// 20·log10 of the RMS, floored at -120.
double dbfs(double rms);

// Below this a sink counts as silent.
inline constexpr double kSilent = -80.0;

// Measures windows of `frames` frames until the level is what `wanted` accepts or timeoutMs has
// passed, and returns the last level. A window that does not arrive reads as -120.
double settledLevel(LevelMeter& meter, const std::function<bool(double)>& wanted,
                    int timeoutMs = 5000, std::uint32_t frames = 4800);
// The same, once two windows in a row also agree within 0.1 dB: a level merely passing through
// on its way elsewhere does not count.
double steadyLevel(LevelMeter& meter, const std::function<bool(double)>& wanted,
                   int timeoutMs = 5000, std::uint32_t frames = 4800);
// The level once below kSilent; a window that does not arrive reads as 0, never as silence.
double silentLevel(LevelMeter& meter, int timeoutMs = 5000);

} // namespace kestrelamp::e2e
