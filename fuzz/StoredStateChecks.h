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
    if (state.recording) {
        requireUtf8(state.recording->inputUID, "state recordingInputUID");
        const float volume = state.recording->volume;
        require(std::isfinite(volume) && volume >= 0.0f && volume <= 1.0f,
                "state recordingVolume within 0...1", std::to_string(volume));
        require(!state.recording->neutral(), "a neutral recording choice loads as none", "");
    }
}

inline bool sameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

inline bool sameState(const AppAudioState& a, const AppAudioState& b) {
    return a.id == b.id && a.displayName == b.displayName && sameBits(a.volume, b.volume) &&
           a.isMuted == b.isMuted && a.outputDeviceUIDs == b.outputDeviceUIDs &&
           a.eqPresetID == b.eqPresetID && a.isPinned == b.isPinned && a.isIgnored == b.isIgnored &&
           a.boostMultiplier == b.boostMultiplier &&
           a.recording.has_value() == b.recording.has_value() &&
           (!a.recording || (a.recording->inputUID == b.recording->inputUID &&
                             sameBits(a.recording->volume, b.recording->volume) &&
                             a.recording->muted == b.recording->muted));
}

} // namespace kestrelamp::fuzz
