#pragma once

#include "engine/hal/AudioHardware.h"

namespace kestrelamp {

struct EngineState;

// One I/O cycle of an engine, run on the device's real-time thread: input buffer b, through bank
// min(b, 7) when the equalizer is on, times the gain, into output buffer b; then the level of
// what was written is stored and queued. Takes no lock and allocates nothing.
void renderCycle(EngineState& engine, const hal::AudioIOCycle& cycle,
                 const hal::AudioBufferList& input, hal::AudioBufferList& output) noexcept;

} // namespace kestrelamp
