#include "engine/RenderCycle.h"

#include "engine/CascadeKernels.h"
#include "engine/EQProcessor.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace kestrelamp {
namespace {

// Decaying filter tails reach subnormal values, which the FPU handles a hundred times slower.
class ScopedFlushDenormals {
public:
#if defined(__x86_64__)
    static constexpr unsigned kFlushToZero = 0x8000;
    static constexpr unsigned kDenormalsAreZero = 0x0040;
    ScopedFlushDenormals()
        : saved_(_mm_getcsr()) {
        _mm_setcsr(saved_ | kFlushToZero | kDenormalsAreZero);
    }
    ~ScopedFlushDenormals() {
        _mm_setcsr(saved_);
    }

private:
    unsigned saved_;
#endif
};

// How one cycle renders: the gain as it stood at the cycle's first sample, and the coefficient
// sets from that sample on.
struct CyclePlan {
    GainRamp gain;
    bool filtering = false;
    std::span<const FilterSegment> segments;

    bool isConstant() const { return !gain.isRamping() && segments.size() == 1; }
};

float usableRate(double cycleRate, float lastRate) {
    const float rate = float(cycleRate);
    return std::isfinite(rate) && rate > 0.0f ? rate : lastRate;
}

CyclePlan planCycle(EngineState& engine, const hal::AudioIOCycle& cycle, std::uint32_t frames) {
    RenderState& state = engine.render;
    const float rate =
        usableRate(cycle.sampleRate, state.hasRun ? state.eq.sampleRate() : engine.sampleRate);
    float gain = engine.isMuted.load(std::memory_order_relaxed)
                     ? 0.0f
                     : engine.volume.load(std::memory_order_relaxed);
    if (!std::isfinite(gain)) {
        gain = 0.0f;
    }
    const BandGains* bands = engine.publishedBands.takeNewest();
    if (!state.hasRun) {
        state.hasRun = true;
        state.eq.start(bands ? *bands : BandGains{}, rate);
        state.gain.jumpTo(gain);
    } else {
        state.eq.setRate(rate);
        if (bands) {
            state.eq.setTarget(*bands);
        }
        state.gain.rampTo(gain, GainRamp::framesAt(rate));
    }
    CyclePlan plan;
    plan.gain = state.gain;
    plan.filtering = state.eq.isActive();
    plan.segments = state.eq.plan(frames);
    state.gain.advance(frames);
    return plan;
}

std::uint32_t pairedFrames(const hal::AudioBuffer& source, const hal::AudioBuffer& destination) {
    if (!source.data || !destination.data) {
        return 0;
    }
    // Trailing bytes that do not make a whole sample stay as they are.
    return std::min(source.dataByteSize, destination.dataByteSize) / sizeof(float);
}

// The usual cycle: one gain and one coefficient set throughout, channels filtered side by side.
class ConstantRender {
public:
    explicit ConstantRender(const CyclePlan& plan)
        : set_(plan.segments.front().set)
        , gain_(plan.gain.target())
        , filtering_(plan.filtering) {}

    void add(const RenderChannel& ch) {
        if (!filtering_) {
            sumSquares_ += scaleChannel(ch, gain_);
            return;
        }
        if (grouped_ > 0 && !(isInPlaceOrApart(ch) && canJoin(group_, grouped_, ch))) {
            flush();
        }
        if (!isInPlaceOrApart(ch)) {
            sumSquares_ += processCascade(set_, *ch.bank, ch.in, ch.out, ch.frames, gain_);
            return;
        }
        group_[grouped_++] = ch;
        if (grouped_ == 4) {
            flush();
        }
    }

    double finish() {
        flush();
        return sumSquares_;
    }

private:
    void flush() {
        if (grouped_ > 0) {
            sumSquares_ += filterChannelGroup(group_, grouped_, set_, gain_);
            grouped_ = 0;
        }
    }

    const BiquadSet& set_;
    const float gain_;
    const bool filtering_;
    RenderChannel group_[4];
    int grouped_ = 0;
    double sumSquares_ = 0.0;
};

} // namespace

void renderCycle(EngineState& engine, const hal::AudioIOCycle& cycle,
                 const hal::AudioBufferList& input, hal::AudioBufferList& output) noexcept {
    const ScopedFlushDenormals flushDenormals;
    const std::uint32_t n =
        input.buffers && output.buffers ? std::min(input.numberBuffers, output.numberBuffers) : 0;
    std::uint32_t cycleFrames = 0;
    for (std::uint32_t b = 0; b < n; ++b) {
        cycleFrames = std::max(cycleFrames, pairedFrames(input.buffers[b], output.buffers[b]));
    }
    const CyclePlan plan = planCycle(engine, cycle, cycleFrames);

    ConstantRender constant(plan);
    double sumSquares = 0.0;
    std::uint64_t sampleCount = 0;
    for (std::uint32_t b = 0; b < n; ++b) {
        const std::uint32_t frames = pairedFrames(input.buffers[b], output.buffers[b]);
        if (frames == 0) {
            continue;
        }
        sampleCount += frames;
        const RenderChannel ch{static_cast<const float*>(input.buffers[b].data),
                               static_cast<float*>(output.buffers[b].data), frames,
                               &engine.filters[std::min<std::uint32_t>(b, kEQChannelBanks - 1)]};
        if (plan.isConstant()) {
            constant.add(ch);
        } else {
            sumSquares += renderChannelVarying(ch, plan.segments, plan.filtering, plan.gain);
        }
    }
    sumSquares += constant.finish();

    if (sampleCount > 0) {
        const float rms = float(std::sqrt(sumSquares / double(sampleCount)));
        const float level = 20.0f * std::log10(std::max(rms, 0.000001f));
        engine.currentLevel.store(level, std::memory_order_relaxed);
        engine.levels.push(level);
    }
}

} // namespace kestrelamp
