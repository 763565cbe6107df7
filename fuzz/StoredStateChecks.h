#pragma once

// Checks shared by the harnesses of the two stored files: what a decoded application state may
// hold, and field-by-field equality (AppAudioState's own == compares the id alone).

#include "FuzzCheck.h"

#include "model/AudioModel.h"

#include <cmath>
#include <cstring>

namespace kestrelamp::fuzz {

// Whatever a file holds, what it loads as is finite and in the ranges the controls offer.
inline void checkLoadedState(const AppAudioState& state) {
    requireUtf8(state.id, "state id");
    requireUtf8(state.displayName, "state displayName");
    requireUtf8(state.outputDeviceUIDs, "state outputDeviceUIDs");
    require(std::isfinite(state.volume) && state.volume >= 0.0f && state.volume <= 1.0f,
            "state volume within 0...1", std::to_string(state.volume));
    require(state.boostMultiplier >= 1 && state.boostMultiplier <= 4,
            "state boostMultiplier within 1...4", std::to_string(state.boostMultiplier));
}

inline bool sameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

inline bool sameState(const AppAudioState& a, const AppAudioState& b) {
    return a.id == b.id && a.displayName == b.displayName && sameBits(a.volume, b.volume) &&
           a.isMuted == b.isMuted && a.outputDeviceUIDs == b.outputDeviceUIDs &&
           a.eqPresetID == b.eqPresetID && a.isPinned == b.isPinned && a.isIgnored == b.isIgnored &&
           a.boostMultiplier == b.boostMultiplier;
}

} // namespace kestrelamp::fuzz
