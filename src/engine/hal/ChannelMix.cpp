#include "engine/hal/ChannelMix.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <initializer_list>
#include <numbers>

namespace kestrelamp::hal {

namespace {

using P = ChannelPosition;
using Shaping = ChannelMatrix::Shaping;

constexpr std::uint32_t kNamedPositions = std::uint32_t(P::BRC) + 1;

// PipeWire's names, "LLFE" included (its own table misspells it "LLFR", accepted when parsing).
constexpr std::array<std::string_view, kNamedPositions> kPositionNames = {
    "UNK", "NA",  "MONO", "FL",   "FR",   "FC",  "LFE", "SL",   "SR",   "FLC", "FRC", "RC",  "RL",
    "RR",  "TC",  "TFL",  "TFC",  "TFR",  "TRL", "TRC", "TRR",  "RLC",  "RRC", "FLW", "FRW", "LFE2",
    "FLH", "FCH", "FRH",  "TFLC", "TFRC", "TSL", "TSR", "LLFE", "RLFE", "BC",  "BLC", "BRC"};

// -3 dB: PipeWire's centre and surround levels, and each side's share of a mono downmix.
constexpr float kHalfPower = 0.70710678f;
constexpr float kLfeLevel = 0.5f;

std::uint32_t index(P position) {
    return std::uint32_t(position);
}

// A position with a place in the room: not AUX, UNK or NA.
bool isPlaced(P position) {
    return index(position) < kNamedPositions && position != P::UNKNOWN && position != P::NA;
}

bool isPositioned(const ChannelLayout& layout) {
    return std::any_of(layout.begin(), layout.end(), isPlaced);
}

// PipeWire plays a layout without any placed channel (AUX0 AUX1 …) as if its first two channels
// were front left and right (or mono, for one channel), and upmixes nothing onto or from it.
ChannelLayout withPlacedFront(ChannelLayout layout) {
    if (isPositioned(layout) || layout.empty()) {
        return layout;
    }
    if (layout.size() == 1) {
        layout[0] = P::MONO;
    } else {
        layout[0] = P::FL;
        layout[1] = P::FR;
    }
    return layout;
}

class PositionSet {
public:
    PositionSet() = default;
    PositionSet(std::initializer_list<P> positions) {
        for (const P position : positions) {
            bits_ |= bit(position);
        }
    }
    explicit PositionSet(const ChannelLayout& layout) {
        for (const P position : layout) {
            if (isPlaced(position)) {
                bits_ |= bit(position);
            }
        }
    }

    bool has(P position) const { return isPlaced(position) && (bits_ & bit(position)) != 0; }
    friend bool operator==(const PositionSet&, const PositionSet&) = default;

private:
    static std::uint64_t bit(P position) { return std::uint64_t(1) << index(position); }
    std::uint64_t bits_ = 0;
};

// Gains from source positions to destination positions, and the shaping of each destination.
struct PositionMatrix {
    std::array<std::array<float, kNamedPositions>, kNamedPositions> gains{};
    std::array<Shaping, kNamedPositions> shaping{};

    void add(P to, P from, float gain) { gains[index(to)][index(from)] += gain; }
    float at(P to, P from) const { return gains[index(to)][index(from)]; }
};

struct Side {
    P front, rear, side, frontCentre;
};
constexpr Side kLeft{P::FL, P::RL, P::SL, P::FLC};
constexpr Side kRight{P::FR, P::RR, P::SR, P::FRC};

// A stereo source on these devices gets PipeWire's passive surround decoding: half the mid signal
// on the centre, a quarter of it low-passed on the LFE, and the difference signal, delayed, on
// the surround pair.
bool decodesPassiveSurround(const PositionSet& source, const PositionSet& destination) {
    if (!(source == PositionSet{P::FL, P::FR})) {
        return false;
    }
    for (const PositionSet& layout : {
             PositionSet{P::FL, P::FR, P::RL, P::RR},
             PositionSet{P::FL, P::FR, P::FC, P::LFE},
             PositionSet{P::FL, P::FR, P::FC, P::LFE, P::RL, P::RR},
             PositionSet{P::FL, P::FR, P::FC, P::LFE, P::SL, P::SR},
             PositionSet{P::FL, P::FR, P::FC, P::LFE, P::RL, P::RR, P::SL, P::SR},
         }) {
        if (destination == layout) {
            return true;
        }
    }
    return false;
}

// What the destination lacks goes where PipeWire puts it; positions with no rule are dropped, as
// PipeWire drops them.
void foldMissing(const PositionSet& src, const PositionSet& dst, PositionMatrix& m) {
    // PipeWire's own 7.1-to-quad mix also sends the sides to the front.
    const bool sidesAlsoFront =
        src == PositionSet{P::FL, P::FR, P::FC, P::LFE, P::RL, P::RR, P::SL, P::SR} &&
        dst == PositionSet{P::FL, P::FR, P::RL, P::RR};
    if (src.has(P::FC) && !dst.has(P::FC)) {
        for (const Side& s : {kLeft, kRight}) {
            if (dst.has(s.front)) {
                m.add(s.front, P::FC, kHalfPower);
            }
        }
    }
    if (src.has(P::LFE) && !dst.has(P::LFE)) {
        if (dst.has(P::FC)) {
            m.add(P::FC, P::LFE, kLfeLevel);
        } else {
            for (const Side& s : {kLeft, kRight}) {
                if (dst.has(s.front)) {
                    m.add(s.front, P::LFE, kLfeLevel * kHalfPower);
                }
            }
        }
    }
    for (const Side& s : {kLeft, kRight}) {
        if (src.has(s.front) && !dst.has(s.front) && dst.has(P::FC)) {
            m.add(P::FC, s.front, kHalfPower);
        }
        if (src.has(s.rear) && !dst.has(s.rear)) {
            if (dst.has(s.side)) {
                m.add(s.side, s.rear, src.has(s.side) ? kHalfPower : 1.0f);
            } else if (dst.has(s.front)) {
                m.add(s.front, s.rear, kHalfPower);
            }
        }
        if (src.has(s.side) && !dst.has(s.side)) {
            if (dst.has(s.rear)) {
                m.add(s.rear, s.side, src.has(s.rear) ? kHalfPower : 1.0f);
                if (sidesAlsoFront) {
                    m.add(s.front, s.side, kHalfPower);
                }
            } else if (dst.has(s.front)) {
                m.add(s.front, s.side, kHalfPower);
            }
        }
        if (src.has(s.frontCentre) && !dst.has(s.frontCentre) && dst.has(s.front)) {
            m.add(s.front, s.frontCentre, 1.0f);
        }
    }
    if (src.has(P::RC) && !dst.has(P::RC)) {
        if (dst.has(P::RL) && dst.has(P::RR)) {
            m.add(P::RL, P::RC, kHalfPower);
            m.add(P::RR, P::RC, kHalfPower);
        } else if (dst.has(P::SL) && dst.has(P::SR)) {
            m.add(P::SL, P::RC, kHalfPower);
            m.add(P::SR, P::RC, kHalfPower);
        } else if (dst.has(P::FL) && dst.has(P::FR)) {
            m.add(P::FL, P::RC, 0.5f);
            m.add(P::FR, P::RC, 0.5f);
        }
    }
}

// What the source lacks is made from what it has.
void fillMissing(const PositionSet& src, const PositionSet& dst, PositionMatrix& m) {
    const bool stereo = src.has(P::FL) && src.has(P::FR);
    const auto missing = [&](P position) { return dst.has(position) && !src.has(position); };
    PositionSet decoded;
    if (decodesPassiveSurround(src, dst)) {
        const Side pair[2] = {kLeft, kRight};
        const bool rear = dst.has(P::RL);
        for (int i = 0; i < 2; ++i) {
            const P surround = rear ? pair[i].rear : pair[i].side;
            m.add(surround, pair[i].front, kHalfPower);
            m.add(surround, pair[1 - i].front, -kHalfPower);
            m.shaping[index(surround)] = Shaping::surroundDelay;
        }
        m.add(P::FC, P::FL, 0.5f * kHalfPower);
        m.add(P::FC, P::FR, 0.5f * kHalfPower);
        m.shaping[index(P::FC)] = Shaping::centreLowPass;
        m.add(P::LFE, P::FL, 0.5f * kLfeLevel);
        m.add(P::LFE, P::FR, 0.5f * kLfeLevel);
        decoded = rear ? PositionSet{P::FC, P::LFE, P::RL, P::RR}
                       : PositionSet{P::FC, P::LFE, P::SL, P::SR};
    }
    const auto fills = [&](P position) { return missing(position) && !decoded.has(position); };
    if (fills(P::FC) && stereo) {
        m.add(P::FC, P::FL, kHalfPower);
        m.add(P::FC, P::FR, kHalfPower);
        m.shaping[index(P::FC)] = Shaping::centreLowPass;
    }
    if (fills(P::LFE)) {
        if (stereo) {
            m.add(P::LFE, P::FL, kLfeLevel);
            m.add(P::LFE, P::FR, kLfeLevel);
        } else if (src.has(P::FC)) {
            m.add(P::LFE, P::FC, kLfeLevel);
        }
    }
    for (const Side& s : {kLeft, kRight}) {
        // A centre the destination lacks was folded onto the front already.
        if (fills(s.front) && src.has(P::FC) && dst.has(P::FC)) {
            m.add(s.front, P::FC, kHalfPower);
        }
        // A surround channel the destination also keeps is copied; one it lacks was folded.
        if (fills(s.rear)) {
            if (src.has(s.side)) {
                if (dst.has(s.side)) {
                    m.add(s.rear, s.side, 1.0f);
                }
            } else if (src.has(s.front)) {
                m.add(s.rear, s.front, kHalfPower);
            }
        }
        if (fills(s.side)) {
            if (src.has(s.rear)) {
                if (dst.has(s.rear)) {
                    m.add(s.side, s.rear, 1.0f);
                }
            } else if (src.has(s.front)) {
                m.add(s.side, s.front, kHalfPower);
            }
        }
    }
    if (fills(P::RC)) {
        if (src.has(P::RL) && src.has(P::RR)) {
            m.add(P::RC, P::RL, kHalfPower);
            m.add(P::RC, P::RR, kHalfPower);
        } else if (src.has(P::SL) && src.has(P::SR)) {
            m.add(P::RC, P::SL, kHalfPower);
            m.add(P::RC, P::SR, kHalfPower);
        } else if (stereo) {
            m.add(P::RC, P::FL, 0.5f);
            m.add(P::RC, P::FR, 0.5f);
        }
    }
}

PositionMatrix positionMatrix(const PositionSet& src, const PositionSet& dst, bool upmix) {
    PositionMatrix m;
    for (std::uint32_t p = 0; p < kNamedPositions; ++p) {
        if (src.has(P(p)) && dst.has(P(p))) {
            m.add(P(p), P(p), 1.0f);
        }
    }
    if (dst.has(P::MONO) && !src.has(P::MONO)) {
        // Mono is the stereo downmix, both sides at -3 dB.
        const PositionMatrix stereo = positionMatrix(src, {P::FL, P::FR}, false);
        for (std::uint32_t p = 0; p < kNamedPositions; ++p) {
            m.gains[index(P::MONO)][p] =
                kHalfPower * (stereo.at(P::FL, P(p)) + stereo.at(P::FR, P(p)));
        }
    }
    if (src.has(P::MONO) && !dst.has(P::MONO)) {
        // Mono plays on every channel; a centre made from it is low-passed like an upmixed one.
        for (std::uint32_t p = 0; p < kNamedPositions; ++p) {
            if (dst.has(P(p))) {
                m.add(P(p), P::MONO, 1.0f);
            }
        }
        if (!src.has(P::FC)) {
            m.shaping[index(P::FC)] = Shaping::centreLowPass;
        }
    }
    foldMissing(src, dst, m);
    if (upmix && !src.has(P::MONO)) {
        fillMissing(src, dst, m);
    }
    // An LFE made from other channels is always low-passed, so that it never carries full-band
    // sound (PipeWire leaves it full-band in a few cases, mono onto 2.1 for one).
    if (!src.has(P::LFE)) {
        m.shaping[index(P::LFE)] = Shaping::lfeLowPass;
    }
    return m;
}

// PipeWire's Linkwitz-Riley building block: a Butterworth low-pass section, run twice.
struct LowPassCoefficients {
    double b0, b1, b2, a1, a2;
};

LowPassCoefficients lowPass(double crossoverHz, double sampleRate) {
    const double theta =
        std::min(2.0 * std::numbers::pi * crossoverHz / sampleRate, std::numbers::pi * 0.999);
    const double sn = 0.5 * std::numbers::sqrt2 * std::sin(theta);
    const double beta = 0.5 * (1.0 - sn) / (1.0 + sn);
    const double gamma = (0.5 + beta) * std::cos(theta);
    const double alpha = 0.25 * (0.5 + beta - gamma);
    return {2.0 * alpha, 4.0 * alpha, 2.0 * alpha, -2.0 * gamma, 2.0 * beta};
}

} // namespace

// --- Positions and layouts ----------------------------------------------------------------

std::string channelPositionName(ChannelPosition position) {
    if (isAuxPosition(position)) {
        return "AUX" + std::to_string(index(position) - index(P::AUX0));
    }
    return std::string(index(position) < kNamedPositions ? kPositionNames[index(position)]
                                                         : kPositionNames[0]);
}

std::optional<ChannelPosition> channelPositionFromName(std::string_view name) {
    if (name == "LLFR") {
        return P::LLFE;
    }
    for (std::uint32_t p = 0; p < kNamedPositions; ++p) {
        if (kPositionNames[p] == name) {
            return P(p);
        }
    }
    if (name.size() > 3 && name.size() <= 7 && name.substr(0, 3) == "AUX") {
        std::uint32_t number = 0;
        for (const char c : name.substr(3)) {
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
            number = number * 10 + std::uint32_t(c - '0');
        }
        if (name.size() > 4 && name[3] == '0') {
            return std::nullopt;
        }
        if (number <= index(P::AUX_LAST) - index(P::AUX0)) {
            return auxPosition(number);
        }
    }
    return std::nullopt;
}

std::string channelLayoutName(const ChannelLayout& layout) {
    std::string text;
    for (const ChannelPosition position : layout) {
        if (!text.empty()) {
            text += ',';
        }
        text += channelPositionName(position);
    }
    return text;
}

std::optional<ChannelLayout> parseChannelLayout(std::string_view text) {
    ChannelLayout layout;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ',' || text[i] == ' ' || text[i] == '[' || text[i] == ']') {
            ++i;
            continue;
        }
        const std::size_t end = text.find_first_of(", []", i);
        const auto position = channelPositionFromName(text.substr(i, end - i));
        if (!position) {
            return std::nullopt;
        }
        layout.push_back(*position);
        i = end == std::string_view::npos ? text.size() : end;
    }
    return layout;
}

ChannelLayout defaultChannelLayout(std::uint32_t channels) {
    switch (channels) {
    case 0:
        return {};
    case 1:
        return {P::MONO};
    case 2:
        return {P::FL, P::FR};
    case 3:
        return {P::FL, P::FR, P::LFE};
    case 4:
        return {P::FL, P::FR, P::RL, P::RR};
    case 5:
        return {P::FL, P::FR, P::FC, P::SL, P::SR};
    case 6:
        return {P::FL, P::FR, P::FC, P::LFE, P::SL, P::SR};
    case 7:
        return {P::FL, P::FR, P::FC, P::RL, P::RR, P::SL, P::SR};
    case 8:
        return {P::FL, P::FR, P::FC, P::LFE, P::RL, P::RR, P::SL, P::SR};
    default:
        break;
    }
    ChannelLayout layout;
    for (std::uint32_t channel = 0; channel < channels && channel <= 0xfff; ++channel) {
        layout.push_back(auxPosition(channel));
    }
    return layout;
}

// --- The matrix ---------------------------------------------------------------------------

ChannelMatrix ChannelMatrix::between(const ChannelLayout& source,
                                     const ChannelLayout& destination) {
    const ChannelLayout from = withPlacedFront(source);
    const ChannelLayout to = withPlacedFront(destination);
    const bool upmix = isPositioned(source) && isPositioned(destination);
    const PositionMatrix m = positionMatrix(PositionSet(from), PositionSet(to), upmix);

    ChannelMatrix matrix;
    matrix.source = source;
    matrix.destination = destination;
    matrix.gains.assign(to.size() * from.size(), 0.0f);
    matrix.shaping.assign(to.size(), Shaping::none);
    for (std::size_t d = 0; d < to.size(); ++d) {
        bool any = false;
        for (std::size_t s = 0; s < from.size(); ++s) {
            float gain = 0.0f;
            if (isPlaced(to[d]) && isPlaced(from[s])) {
                gain = m.at(to[d], from[s]);
            } else if (isAuxPosition(to[d]) && to[d] == from[s]) {
                gain = 1.0f;
            }
            matrix.gains[d * from.size() + s] = gain;
            any = any || gain != 0.0f;
        }
        if (any && isPlaced(to[d])) {
            matrix.shaping[d] = m.shaping[index(to[d])];
        }
    }
    return matrix;
}

// --- The mixer ----------------------------------------------------------------------------

ChannelMixer::ChannelMixer(ChannelMatrix matrix, double sampleRate)
    : matrix_(std::move(matrix))
    , scratch_(kScratchFrames) {
    const auto delayCapacity =
        std::size_t(std::ceil(ChannelMatrix::kSurroundDelaySeconds * kMaxSampleRate)) + 1;
    const std::size_t sources = matrix_.source.size();
    for (std::size_t d = 0; d < matrix_.destination.size(); ++d) {
        Destination destination;
        destination.firstTerm = std::uint32_t(terms_.size());
        for (std::size_t s = 0; s < sources; ++s) {
            if (const float gain = matrix_.gains[d * sources + s]; gain != 0.0f) {
                terms_.push_back({std::uint32_t(s), gain});
            }
        }
        destination.termCount = std::uint32_t(terms_.size()) - destination.firstTerm;
        destination.shaping = matrix_.shaping[d];
        switch (destination.shaping) {
        case Shaping::centreLowPass:
        case Shaping::lfeLowPass:
            destination.state = std::uint32_t(lowPass_.size());
            lowPass_.emplace_back();
            break;
        case Shaping::surroundDelay:
            destination.state = std::uint32_t(delays_.size());
            delays_.push_back({std::vector<float>(delayCapacity, 0.0f), 0, 0});
            break;
        case Shaping::none:
            break;
        }
        destinations_.push_back(destination);
    }
    setSampleRate(sampleRate > 0.0 && sampleRate <= kMaxSampleRate ? sampleRate : 48000.0);
}

void ChannelMixer::setSampleRate(double sampleRate) noexcept {
    if (!(sampleRate > 0.0 && sampleRate <= kMaxSampleRate) || sampleRate == sampleRate_) {
        return;
    }
    sampleRate_ = sampleRate;
    for (const Destination& destination : destinations_) {
        if (destination.shaping == Shaping::centreLowPass ||
            destination.shaping == Shaping::lfeLowPass) {
            const LowPassCoefficients c = lowPass(destination.shaping == Shaping::centreLowPass
                                                      ? ChannelMatrix::kCentreCrossoverHz
                                                      : ChannelMatrix::kLfeCrossoverHz,
                                                  sampleRate);
            lowPass_[destination.state].section = {c.b0, c.b1, c.b2, c.a1, c.a2};
        }
    }
    const auto delayFrames =
        std::uint32_t(std::floor(ChannelMatrix::kSurroundDelaySeconds * sampleRate + 1e-6));
    for (DelayLine& delay : delays_) {
        delay.length = std::min(delayFrames, std::uint32_t(delay.samples.size()));
    }
    reset();
}

void ChannelMixer::reset() noexcept {
    for (LowPassState& state : lowPass_) {
        state.first = {};
        state.second = {};
    }
    for (DelayLine& delay : delays_) {
        std::fill(delay.samples.begin(), delay.samples.end(), 0.0f);
        delay.position = 0;
    }
}

void ChannelMixer::sumTerms(const Destination& destination, const float* const* sources,
                            std::uint32_t offset, std::uint32_t frames, float* out) const noexcept {
    bool written = false;
    for (std::uint32_t t = 0; t < destination.termCount; ++t) {
        const Term& term = terms_[destination.firstTerm + t];
        const float* in = sources[term.source];
        if (!in) {
            continue;
        }
        in += offset;
        const float gain = term.gain;
        if (!written) {
            for (std::uint32_t i = 0; i < frames; ++i) {
                out[i] = gain * in[i];
            }
            written = true;
        } else {
            for (std::uint32_t i = 0; i < frames; ++i) {
                out[i] += gain * in[i];
            }
        }
    }
    if (!written) {
        std::fill(out, out + frames, 0.0f);
    }
}

void ChannelMixer::shape(const Destination& destination, float* samples,
                         std::uint32_t frames) noexcept {
    switch (destination.shaping) {
    case Shaping::none:
        return;
    case Shaping::centreLowPass:
    case Shaping::lfeLowPass: {
        LowPassState& state = lowPass_[destination.state];
        const Section& c = state.section;
        SectionHistory& h1 = state.first;
        SectionHistory& h2 = state.second;
        for (std::uint32_t i = 0; i < frames; ++i) {
            samples[i] = float(c.run(c.run(samples[i], h1), h2));
        }
        return;
    }
    case Shaping::surroundDelay: {
        DelayLine& delay = delays_[destination.state];
        if (delay.length == 0) {
            return;
        }
        float* line = delay.samples.data();
        std::uint32_t position = delay.position;
        for (std::uint32_t i = 0; i < frames; ++i) {
            const float delayed = line[position];
            line[position] = samples[i];
            samples[i] = delayed;
            position = position + 1 == delay.length ? 0 : position + 1;
        }
        delay.position = position;
        return;
    }
    }
}

void ChannelMixer::mix(const float* const* sources, float* const* destinations,
                       std::uint32_t frames) noexcept {
    for (std::size_t d = 0; d < destinations_.size(); ++d) {
        if (float* out = destinations[d]) {
            sumTerms(destinations_[d], sources, 0, frames, out);
            shape(destinations_[d], out, frames);
        }
    }
}

void ChannelMixer::mixInto(const float* const* sources, float* const* destinations,
                           std::uint32_t frames) noexcept {
    for (std::size_t d = 0; d < destinations_.size(); ++d) {
        float* out = destinations[d];
        if (!out) {
            continue;
        }
        for (std::uint32_t offset = 0; offset < frames; offset += kScratchFrames) {
            const std::uint32_t count = std::min(kScratchFrames, frames - offset);
            sumTerms(destinations_[d], sources, offset, count, scratch_.data());
            shape(destinations_[d], scratch_.data(), count);
            for (std::uint32_t i = 0; i < count; ++i) {
                out[offset + i] += scratch_[i];
            }
        }
    }
}

} // namespace kestrelamp::hal
