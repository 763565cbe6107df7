#pragma once

// The per-buffer arithmetic of a render cycle. The constant kernels (one gain, one coefficient
// set for the whole cycle) are vectorised and compute exactly what processCascade computes; the
// varying kernel follows a gain ramp and a coefficient transition sample by sample, and is only
// used while one of them is in progress. Every kernel returns the sum of the squared outputs.

#include "engine/Biquad.h"
#include "engine/EQTransition.h"
#include "engine/GainRamp.h"

#include <cstdint>
#include <span>

namespace kestrelamp {

struct RenderChannel {
    const float* in;
    float* out;
    std::uint32_t frames;
    BiquadBank* bank;
};

// Blocks of samples may be read before the block before them is written only when the output
// cannot overwrite input not yet read.
bool isInPlaceOrApart(const RenderChannel& ch);

// Whether ch can share the vector with the group: same length, its own bank, and no buffer of it
// overlapping a buffer of another member, so the lanes cannot see each other's writes (which they
// would not in buffer order either).
bool canJoin(const RenderChannel* group, int count, const RenderChannel& ch);

// The bypass: gain and sum of squares only.
float scaleChannel(const RenderChannel& ch, float gain);

// One to four channels that passed canJoin and isInPlaceOrApart, filtered side by side.
float filterChannelGroup(const RenderChannel* group, int count, const BiquadSet& set, float gain);

// Sample by sample in buffer order: gain.at(i) for sample i, and, when filtering, the set of the
// segment sample i falls in.
float renderChannelVarying(const RenderChannel& ch, std::span<const FilterSegment> segments,
                           bool filtering, const GainRamp& gain);

} // namespace kestrelamp
