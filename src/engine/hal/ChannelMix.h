#pragma once

// Channel layouts, and mixing one layout onto another the way PipeWire 0.3.65 converts a stream
// for a device of another layout with its default settings (upmix on, passive surround upmix,
// LFE and centre low-passed, surround channels delayed). Routed sound is mixed with the same
// rules, so an application sounds the same routed and unrouted.

#include "engine/hal/AudioHardware.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrelamp::hal {

// Numbered as PipeWire numbers them (enum spa_audio_channel): a position read from the server
// converts with a cast.
enum class ChannelPosition : std::uint32_t {
    UNKNOWN = 0,
    NA,
    MONO,
    FL,
    FR,
    FC,
    LFE,
    SL,
    SR,
    FLC,
    FRC,
    RC,
    RL,
    RR,
    TC,
    TFL,
    TFC,
    TFR,
    TRL,
    TRC,
    TRR,
    RLC,
    RRC,
    FLW,
    FRW,
    LFE2,
    FLH,
    FCH,
    FRH,
    TFLC,
    TFRC,
    TSL,
    TSR,
    LLFE,
    RLFE,
    BC,
    BLC,
    BRC,
    AUX0 = 0x1000,
    AUX_LAST = 0x1fff,
};

using ChannelLayout = std::vector<ChannelPosition>;

// AUX0 + index; index must be below 4096.
constexpr ChannelPosition auxPosition(std::uint32_t index) {
    return ChannelPosition(std::uint32_t(ChannelPosition::AUX0) + index);
}
constexpr bool isAuxPosition(ChannelPosition position) {
    return position >= ChannelPosition::AUX0 && position <= ChannelPosition::AUX_LAST;
}

// "FL", "AUX3"; "UNK" for a value that names no position.
std::string channelPositionName(ChannelPosition position);
std::optional<ChannelPosition> channelPositionFromName(std::string_view name);
// "FL,FR".
std::string channelLayoutName(const ChannelLayout& layout);
// Names separated by commas and/or spaces, optionally in brackets ("FL,FR", "[ FL FR ]");
// nothing if any name is unknown.
std::optional<ChannelLayout> parseChannelLayout(std::string_view text);

// PipeWire's layout for a channel count: 1 MONO, 2 FL FR, 3 FL FR LFE, 4 FL FR RL RR,
// 5 FL FR FC SL SR, 6 FL FR FC LFE SL SR, 7 FL FR FC RL RR SL SR, 8 FL FR FC LFE RL RR SL SR;
// AUX0… for any other count.
ChannelLayout defaultChannelLayout(std::uint32_t channels);

// How every destination channel is made from the source channels: a weighted sum, then for some
// channels the source lacks, the shaping PipeWire gives them.
struct ChannelMatrix {
    enum class Shaping : std::uint8_t {
        none,
        centreLowPass, // fourth-order low-pass, −6 dB at kCentreCrossoverHz
        lfeLowPass,    // the same at kLfeCrossoverHz
        surroundDelay, // kSurroundDelaySeconds late
    };

    // PipeWire's defaults fc-cutoff 12000 and lfe-cutoff 150: its filters take the cutoff as a
    // fraction of the sample rate where a fraction of Nyquist is meant, so they cross over at half
    // of each. Measured at 44.1 and 48 kHz. Its rear-delay default is 12 ms.
    static constexpr double kCentreCrossoverHz = 6000.0;
    static constexpr double kLfeCrossoverHz = 75.0;
    static constexpr double kSurroundDelaySeconds = 0.012;

    ChannelLayout source;
    ChannelLayout destination;
    // destination.size() rows of source.size() gains.
    std::vector<float> gains;
    // One per destination channel.
    std::vector<Shaping> shaping;

    static ChannelMatrix between(const ChannelLayout& source, const ChannelLayout& destination);

    float gain(std::size_t destinationChannel, std::size_t sourceChannel) const {
        return gains[destinationChannel * source.size() + sourceChannel];
    }
};

// Mixes N mono source buffers into M mono destination buffers with a ChannelMatrix. Built off the
// audio thread, with every filter and delay state and its scratch allocated; setSampleRate(),
// mix() and mixInto() then allocate, lock and log nothing. A destination that is one source at
// gain 1 without shaping is an exact copy. Sources and destinations must not overlap.
class ChannelMixer {
public:
    static constexpr std::uint32_t kScratchFrames = 8192;
    // The surround delay lines are sized for rates up to this.
    static constexpr double kMaxSampleRate = 384000.0;

    explicit ChannelMixer(ChannelMatrix matrix, double sampleRate = kFallbackEngineSampleRate);

    const ChannelMatrix& matrix() const { return matrix_; }
    std::uint32_t sourceChannels() const { return std::uint32_t(matrix_.source.size()); }
    std::uint32_t destinationChannels() const { return std::uint32_t(matrix_.destination.size()); }
    double sampleRate() const { return sampleRate_; }

    // For the rate of the coming cycles: nothing when unchanged, otherwise the filters and delays
    // are recomputed and cleared. Rates outside (0, kMaxSampleRate] are ignored.
    void setSampleRate(double sampleRate) noexcept;
    // Clears filter and delay state, as after a gap in the stream.
    void reset() noexcept;

    // sources[sourceChannels()] and destinations[destinationChannels()], frames samples each; a
    // null source is silence, a null destination is skipped. mix() overwrites the destinations,
    // mixInto() adds to them.
    void mix(const float* const* sources, float* const* destinations,
             std::uint32_t frames) noexcept;
    void mixInto(const float* const* sources, float* const* destinations,
                 std::uint32_t frames) noexcept;

private:
    struct Term {
        std::uint32_t source = 0;
        float gain = 0.0f;
    };
    struct SectionHistory {
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    };
    struct Section {
        double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;

        double run(double x, SectionHistory& h) const noexcept {
            const double y = b0 * x + b1 * h.x1 + b2 * h.x2 - a1 * h.y1 - a2 * h.y2;
            h.x2 = h.x1;
            h.x1 = x;
            h.y2 = h.y1;
            h.y1 = y;
            return y;
        }
    };
    struct Destination {
        std::uint32_t firstTerm = 0;
        std::uint32_t termCount = 0;
        ChannelMatrix::Shaping shaping = ChannelMatrix::Shaping::none;
        std::uint32_t state = 0; // index into lowPass_ or delays_, by shaping
    };
    struct LowPassState {
        Section section;
        SectionHistory first;
        SectionHistory second;
    };
    struct DelayLine {
        std::vector<float> samples; // capacity for kMaxSampleRate
        std::uint32_t length = 0;
        std::uint32_t position = 0;
    };

    void sumTerms(const Destination& destination, const float* const* sources, std::uint32_t offset,
                  std::uint32_t frames, float* out) const noexcept;
    void shape(const Destination& destination, float* samples, std::uint32_t frames) noexcept;

    ChannelMatrix matrix_;
    double sampleRate_ = 0.0;
    std::vector<Term> terms_;
    std::vector<Destination> destinations_;
    std::vector<LowPassState> lowPass_;
    std::vector<DelayLine> delays_;
    std::vector<float> scratch_;
};

} // namespace kestrelamp::hal
