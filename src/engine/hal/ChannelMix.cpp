#include "engine/hal/ChannelMix.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <initializer_list>

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
        if (dst.has(P::FC)) {
            m.add(P::FC, P::FL, 0.5f * kHalfPower);
            m.add(P::FC, P::FR, 0.5f * kHalfPower);
            m.shaping[index(P::FC)] = Shaping::centreLowPass;
            m.add(P::LFE, P::FL, 0.5f * kLfeLevel);
            m.add(P::LFE, P::FR, 0.5f * kLfeLevel);
        }
        decoded = rear ? PositionSet{P::FC, P::LFE, P::RL, P::RR}
                       : PositionSet{P::FC, P::LFE, P::SL, P::SR};
    }
    const auto fills = [&](P position) {
        return dst.has(position) && !src.has(position) && !decoded.has(position);
    };
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

} // namespace kestrelamp::hal
