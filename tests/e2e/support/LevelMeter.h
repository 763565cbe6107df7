#pragma once

// What a sink plays, read from its monitor by a capture stream of the test's own.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QElapsedTimer;

namespace kestrelamp::e2e {

// What the meter records: the sink's own layout and rate, so that nothing is mixed or resampled
// on the way.
struct MeterFormat {
    std::vector<std::string> positions{"FL", "FR"};
    std::uint32_t rate = 48000;
    // Records from a source (a microphone) as recording programs do, not from a sink's monitor.
    bool source = false;
};

class LevelMeter {
public:
    // Connects to the monitor of the sink with this node name (or to that source).
    explicit LevelMeter(const std::string& sinkName, MeterFormat format = {});
    ~LevelMeter();
    LevelMeter(const LevelMeter&) = delete;
    LevelMeter& operator=(const LevelMeter&) = delete;

    // RMS over every channel of the next `frames` frames, in dBFS (-120 for silence); nothing
    // if they did not arrive within timeoutMs.
    std::optional<double> measureDbfs(std::uint32_t frames = 9600, int timeoutMs = 5000);
    // The RMS level, in dBFS, of the sine at this frequency in each channel of the next frames,
    // whatever else plays (a DFT bin over a Hann window).
    std::optional<std::vector<double>> toneDbfs(double frequency, std::uint32_t frames = 9600,
                                                int timeoutMs = 5000);

    // RMS over every channel of the last `frames` frames received (fewer if fewer came), in
    // dBFS; nothing before the first frame.
    std::optional<double> recentDbfs(std::uint32_t frames) const;
    // The level of the sine at this frequency in each channel of the last `frames` frames
    // received; nothing before that many came.
    std::optional<std::vector<double>> recentToneDbfs(double frequency, std::uint32_t frames) const;

    // Frames of the last cycle: the graph's quantum.
    std::uint32_t quantum() const;

    // Frames received so far.
    std::uint64_t framesReceived() const;

    // The graph clock position of a frame received (a framesReceived() count).
    std::optional<std::uint64_t> clockPosition(std::uint64_t frame) const;
    // Channel 0 of `frames` frames from the mark (a framesReceived() value) on.
    std::optional<std::vector<float>> framesSince(std::uint64_t mark, std::uint32_t frames,
                                                  int timeoutMs = 5000);
    // When the graph cycle that brought this frame (a framesReceived() count) started, in
    // CLOCK_MONOTONIC nanoseconds, plus the frame's place in it: recordings of sinks driven by
    // different clocks line up by it. Nothing for a frame not received yet.
    std::optional<std::int64_t> frameTime(std::uint64_t frame) const;

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// 20·log10 of the RMS, floored at -120.
double dbfs(double rms);

// Below this a sink counts as silent; above kAudible it plays something.
inline constexpr double kSilent = -80.0;
inline constexpr double kAudible = -30.0;

// Measures windows of `frames` frames until the level is what `wanted` accepts or timeoutMs has
// passed, and returns the last level. A window that does not arrive reads as -120.
double settledLevel(LevelMeter& meter, const std::function<bool(double)>& wanted,
                    int timeoutMs = 5000, std::uint32_t frames = 4800);
// The same, once two windows in a row also agree within 0.1 dB: a level merely passing through
// on its way elsewhere does not count.
double steadyLevel(LevelMeter& meter, const std::function<bool(double)>& wanted,
                   int timeoutMs = 5000, std::uint32_t frames = 4800);
// The level once above kAudible and steady: what a player that just started plays at.
double audibleLevel(LevelMeter& meter, int timeoutMs = 5000, std::uint32_t frames = 4800);
// The sine's level in the loudest channel of the next window; -120 when none came.
double toneLevel(LevelMeter& meter, double frequency);
// The sine's level once above kAudible and steady (two windows within 0.2 dB); -120 if never.
double steadyTone(LevelMeter& meter, double frequency, int timeoutMs = 8000);
// The level once below kSilent; a window that does not arrive reads as 0, never as silence.
double silentLevel(LevelMeter& meter, int timeoutMs = 5000);
// The level once within `tolerance` of `expected` (4800-frame windows hold whole periods of the
// tones used).
double levelNear(LevelMeter& meter, double expected, double tolerance = 0.3, int timeoutMs = 5000);
// True once `where` carries `level` and every meter of `silent` is silent.
bool playsOnlyOn(LevelMeter& where, double level, const std::vector<LevelMeter*>& silent,
                 double tolerance = 0.3, int timeoutMs = 5000);

// What a timed check listens to: the whole sound (50 ms windows), or only the sine at
// `frequency` whatever else plays (100 ms windows).
struct Listening {
    std::optional<double> frequency;
    double tolerance = 0.5;
    int timeoutMs = 8000;
};
// Milliseconds from `since` until the most recent window of `where` holds the level and those of
// every other meter are silent, in windows received after the call; -1 when that did not happen
// within the patience.
std::int64_t msUntilOnlyOn(const QElapsedTimer& since, LevelMeter& where, double level,
                           const std::vector<LevelMeter*>& silent, const Listening& listening = {});
// How many milliseconds of a 48 kHz sine of this amplitude hold the energy that channel 0
// received since the mark (a framesReceived() value): how much of a player's sound reached the
// sink.
double msOfSoundSince(LevelMeter& meter, std::uint64_t mark, double amplitude);
// The largest sample of channel 0 since the mark.
float peakSince(LevelMeter& meter, std::uint64_t mark);
// Prints the figure as "[ measure  ] what: figure" and returns it.
double measured(const std::string& what, double figure);

// Where the clicks of the test's click player (one every 24000 frames) land on the meter, as a
// graph clock position modulo their period; nothing when none came within 5 s.
std::optional<std::int64_t> clickPhase(LevelMeter& meter);

} // namespace kestrelamp::e2e
