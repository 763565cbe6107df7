#include "engine/CascadeKernels.h"

#include <algorithm>
#include <cstring>

namespace kestrelamp {
namespace {

using Float4 = float __attribute__((vector_size(16)));

bool overlaps(const void* a, const void* b, std::size_t bytes) {
    const auto begin1 = reinterpret_cast<std::uintptr_t>(a);
    const auto begin2 = reinterpret_cast<std::uintptr_t>(b);
    return begin1 < begin2 + bytes && begin2 < begin1 + bytes;
}

Float4 load4(const float* p) {
    Float4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store4(float* p, Float4 v) {
    std::memcpy(p, &v, sizeof v);
}

float sumLanes(Float4 v) {
    return (v[0] + v[1]) + (v[2] + v[3]);
}

// Sections whose every lane is an independent filter. Each lane runs the scalar cascade's
// operations in the scalar cascade's order, so its outputs equal processCascade's bit for bit.
template <std::size_t Sections>
struct LaneCascade {
    Float4 b0[Sections] = {}, b1[Sections] = {}, b2[Sections] = {};
    Float4 a1[Sections] = {}, a2[Sections] = {};
    Float4 x1[Sections] = {}, x2[Sections] = {};
    Float4 y1[Sections] = {}, y2[Sections] = {};

    void load(std::size_t section, int lane, const BiquadCoefficients& c, const BiquadHistory& h) {
        b0[section][lane] = c.b0;
        b1[section][lane] = c.b1;
        b2[section][lane] = c.b2;
        a1[section][lane] = c.a1;
        a2[section][lane] = c.a2;
        x1[section][lane] = h.x1;
        x2[section][lane] = h.x2;
        y1[section][lane] = h.y1;
        y2[section][lane] = h.y2;
    }

    void store(std::size_t section, int lane, BiquadHistory& h) const {
        h = finiteOrCleared(
            {x1[section][lane], x2[section][lane], y1[section][lane], y2[section][lane]});
    }

    Float4 run(Float4 x) {
#pragma GCC unroll 10
        for (std::size_t k = 0; k < Sections; ++k) {
            x = directFormI(b0[k], b1[k], b2[k], a1[k], a2[k], x, x1[k], x2[k], y1[k], y2[k]);
        }
        return x;
    }

    // One lane alone, for the samples that do not fill a vector step.
    float runLane(int lane, float x) {
        for (std::size_t k = 0; k < Sections; ++k) {
            float h1 = x1[k][lane], h2 = x2[k][lane], g1 = y1[k][lane], g2 = y2[k][lane];
            x = directFormI(b0[k][lane], b1[k][lane], b2[k][lane], a1[k][lane], a2[k][lane], x, h1,
                            h2, g1, g2);
            x1[k][lane] = h1;
            x2[k][lane] = h2;
            y1[k][lane] = g1;
            y2[k][lane] = g2;
        }
        return x;
    }
};

// Rows of four samples of four channels become four vectors of one sample of each channel; the
// same shuffle turns them back.
void transpose(Float4& r0, Float4& r1, Float4& r2, Float4& r3) {
    const Float4 t0 = __builtin_shufflevector(r0, r1, 0, 4, 1, 5);
    const Float4 t1 = __builtin_shufflevector(r0, r1, 2, 6, 3, 7);
    const Float4 t2 = __builtin_shufflevector(r2, r3, 0, 4, 1, 5);
    const Float4 t3 = __builtin_shufflevector(r2, r3, 2, 6, 3, 7);
    r0 = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    r1 = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    r2 = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    r3 = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// Three or four channels, one per lane, four samples per round.
template <int Lanes>
float filterLanes(const RenderChannel* ch, const BiquadSet& set, float gain) {
    static_assert(Lanes == 3 || Lanes == 4);
    LaneCascade<kEQBandCount> cascade;
    for (int l = 0; l < Lanes; ++l) {
        for (std::size_t k = 0; k < kEQBandCount; ++k) {
            cascade.load(k, l, set[k], (*ch[l].bank)[k]);
        }
    }
    const Float4 g = {gain, gain, gain, gain};
    Float4 sum = {};
    const std::uint32_t frames = ch[0].frames;
    std::uint32_t i = 0;
    for (; i + 4 <= frames; i += 4) {
        Float4 s0 = load4(ch[0].in + i), s1 = load4(ch[1].in + i), s2 = load4(ch[2].in + i);
        Float4 s3 = Lanes == 4 ? load4(ch[Lanes - 1].in + i) : Float4{};
        transpose(s0, s1, s2, s3);
        s0 = g * cascade.run(s0);
        s1 = g * cascade.run(s1);
        s2 = g * cascade.run(s2);
        s3 = g * cascade.run(s3);
        sum += s0 * s0;
        sum += s1 * s1;
        sum += s2 * s2;
        sum += s3 * s3;
        transpose(s0, s1, s2, s3);
        store4(ch[0].out + i, s0);
        store4(ch[1].out + i, s1);
        store4(ch[2].out + i, s2);
        if (Lanes == 4) {
            store4(ch[Lanes - 1].out + i, s3);
        }
    }
    float tailSum = 0.0f;
    for (; i < frames; ++i) {
        for (int l = 0; l < Lanes; ++l) {
            const float y = gain * cascade.runLane(l, ch[l].in[i]);
            ch[l].out[i] = y;
            tailSum += y * y;
        }
    }
    for (int l = 0; l < Lanes; ++l) {
        for (std::size_t k = 0; k < kEQBandCount; ++k) {
            cascade.store(k, l, (*ch[l].bank)[k]);
        }
    }
    return sumLanes(sum) + tailSum;
}

// Two channels fill all four lanes by splitting each cascade in halves: lanes 0 and 1 take
// sample t of each channel through bands 0 to 4 while lanes 2 and 3 take sample t - kLag through
// bands 5 to 9. The lag keeps consecutive steps independent of each other's results, and every
// section still sees exactly its scalar inputs, in order.
float filterPair(const RenderChannel* ch, const BiquadSet& set, float gain) {
    constexpr std::size_t kHalf = kEQBandCount / 2;
    constexpr std::uint32_t kLag = 4;
    LaneCascade<kHalf> cascade;
    for (int l = 0; l < 4; ++l) {
        const BiquadBank& bank = *ch[l & 1].bank;
        for (std::size_t k = 0; k < kHalf; ++k) {
            const std::size_t band = k + std::size_t(l >> 1) * kHalf;
            cascade.load(k, l, set[band], bank[band]);
        }
    }
    const Float4 g = {gain, gain, gain, gain};
    Float4 sum = {};
    const float* in0 = ch[0].in;
    const float* in1 = ch[1].in;
    float* out0 = ch[0].out;
    float* out1 = ch[1].out;
    const std::uint32_t frames = ch[0].frames;

    // ring[t % kLag] holds the first half's result for sample t until its second half runs.
    Float4 ring[kLag] = {};
    const std::uint32_t lead = std::min(frames, kLag);
    for (std::uint32_t t = 0; t < lead; ++t) {
        ring[t] = Float4{cascade.runLane(0, in0[t]), cascade.runLane(1, in1[t]), 0.0f, 0.0f};
    }
    const auto step = [&](Float4& slot, std::uint32_t t) {
        const Float4 pair = {in0[t], in1[t], 0.0f, 0.0f};
        slot = cascade.run(__builtin_shufflevector(pair, slot, 0, 1, 4, 5));
        const Float4 y = g * slot;
        out0[t - kLag] = y[2];
        out1[t - kLag] = y[3];
        sum += y * y;
    };
    std::uint32_t t = kLag;
    for (; t + kLag <= frames; t += kLag) {
        step(ring[0], t);
        step(ring[1], t + 1);
        step(ring[2], t + 2);
        step(ring[3], t + 3);
    }
    for (; t < frames; ++t) {
        step(ring[t % kLag], t);
    }
    float tailSum = 0.0f;
    for (std::uint32_t u = frames - lead; u < frames; ++u) {
        const Float4& mid = ring[u % kLag];
        const float y0 = gain * cascade.runLane(2, mid[0]);
        const float y1 = gain * cascade.runLane(3, mid[1]);
        out0[u] = y0;
        out1[u] = y1;
        tailSum += y0 * y0 + y1 * y1;
    }

    for (int l = 0; l < 4; ++l) {
        BiquadBank& bank = *ch[l & 1].bank;
        for (std::size_t k = 0; k < kHalf; ++k) {
            cascade.store(k, l, bank[k + std::size_t(l >> 1) * kHalf]);
        }
    }
    return (sum[2] + sum[3]) + tailSum;
}

} // namespace

bool isInPlaceOrApart(const RenderChannel& ch) {
    return ch.in == ch.out || !overlaps(ch.in, ch.out, std::size_t(ch.frames) * sizeof(float));
}

bool canJoin(const RenderChannel* group, int count, const RenderChannel& ch) {
    const std::size_t bytes = std::size_t(ch.frames) * sizeof(float);
    for (int m = 0; m < count; ++m) {
        const RenderChannel& member = group[m];
        if (member.frames != ch.frames || member.bank == ch.bank ||
            overlaps(member.out, ch.in, bytes) || overlaps(member.out, ch.out, bytes) ||
            overlaps(member.in, ch.out, bytes)) {
            return false;
        }
    }
    return true;
}

float scaleChannel(const RenderChannel& ch, float gain) {
    const std::size_t frames = ch.frames;
    std::size_t i = 0;
    float sumSquares = 0.0f;
    if (isInPlaceOrApart(ch)) {
        const Float4 g = {gain, gain, gain, gain};
        Float4 sum0 = {}, sum1 = {};
        for (; i + 8 <= frames; i += 8) {
            const Float4 y0 = g * load4(ch.in + i);
            const Float4 y1 = g * load4(ch.in + i + 4);
            store4(ch.out + i, y0);
            store4(ch.out + i + 4, y1);
            sum0 += y0 * y0;
            sum1 += y1 * y1;
        }
        sumSquares = sumLanes(sum0 + sum1);
    }
    for (; i < frames; ++i) {
        const float y = gain * ch.in[i];
        ch.out[i] = y;
        sumSquares += y * y;
    }
    return sumSquares;
}

float filterChannelGroup(const RenderChannel* group, int count, const BiquadSet& set, float gain) {
    switch (count) {
    case 1:
        return processCascade(set, *group[0].bank, group[0].in, group[0].out, group[0].frames,
                              gain);
    case 2:
        return filterPair(group, set, gain);
    case 3:
        return filterLanes<3>(group, set, gain);
    default:
        return filterLanes<4>(group, set, gain);
    }
}

float renderChannelVarying(const RenderChannel& ch, std::span<const FilterSegment> segments,
                           bool filtering, const GainRamp& gain) {
    BiquadBank h = *ch.bank;
    float sumSquares = 0.0f;
    for (std::size_t s = 0; s < segments.size() && segments[s].start < ch.frames; ++s) {
        const std::uint32_t end =
            s + 1 < segments.size() ? std::min(segments[s + 1].start, ch.frames) : ch.frames;
        const BiquadSet c = segments[s].set;
        for (std::uint32_t i = segments[s].start; i < end; ++i) {
            float x = ch.in[i];
            if (filtering) {
                for (std::size_t k = 0; k < kEQBandCount; ++k) {
                    x = filterSample(c[k], h[k], x);
                }
            }
            const float y = gain.at(i) * x;
            ch.out[i] = y;
            sumSquares += y * y;
        }
    }
    if (filtering) {
        for (std::size_t k = 0; k < kEQBandCount; ++k) {
            (*ch.bank)[k] = finiteOrCleared(h[k]);
        }
    }
    return sumSquares;
}

} // namespace kestrelamp
