#pragma once

#include "engine/EQTransition.h"
#include "engine/GainRamp.h"
#include "engine/hal/AudioHardware.h"

namespace kestrelamp {

struct EngineState;

// What the render cycle carries from one cycle to the next. Audio thread only.
struct RenderState {
    bool hasRun = false;
    GainRamp gain;
    EQTransition eq;
};

// One I/O cycle of an engine, run on the device's real-time thread: input buffer b, through bank
// min(b, 7) when the equalizer is on, times the gain, into output buffer b; then the level of
// what was written is stored and queued. The equalizer runs at the cycle's own rate (the last
// usable one when the cycle's is not); changes of gain and of band gains are ramped. Takes no
// lock and allocates nothing.
void renderCycle(EngineState& engine, const hal::AudioIOCycle& cycle,
                 const hal::AudioBufferList& input, hal::AudioBufferList& output) noexcept;

} // namespace kestrelamp
