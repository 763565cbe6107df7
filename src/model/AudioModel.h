#pragma once

// The value types every layer above the engine passes around: the applications and devices the
// engine lists (engine/AudioValues.h) and the user's settings for each application.

#include "engine/AudioValues.h"
#include "engine/hal/AudioHardware.h"
#include "platform/DecodingError.h"
#include "platform/Expected.h"
#include "platform/Uuid.h"

#include <QUuid>
#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrelamp {

// The ranges of stored settings: kept on reading a file and on writing one. Band gains are
// bounded with the presets (engine/EQPreset.h).
inline constexpr float kMinVolume = 0.0f;
inline constexpr float kMaxVolume = 1.0f;
inline constexpr std::int64_t kMinBoost = 1;
inline constexpr std::int64_t kMaxBoost = 4;

// The user's settings for one application. Equality and hashing use `id` alone: code that looks
// for a change of settings compares the fields it cares about.
struct AppAudioState {
    std::string id;
    std::string displayName;
    float volume = 1.0f;
    bool isMuted = false;
    // Empty means "System Default": no route, the application plays untouched.
    std::vector<std::string> outputDeviceUIDs;
    std::optional<QUuid> eqPresetID;
    bool isPinned = false;
    bool isIgnored = false;
    std::int64_t boostMultiplier = 1;
    // Where it records from and what it records at; nothing when never chosen.
    std::optional<hal::RecordingChoice> recording;

    static AppAudioState defaultFor(const AudioApp& app);

    friend bool operator==(const AppAudioState& a, const AppAudioState& b) { return a.id == b.id; }
};

nlohmann::json toJson(const AppAudioState& state);
// Strict: a missing required key, a wrong type or an integer beyond 64 bits fails the whole state.
// Volume and boost are brought into their ranges.
Expected<AppAudioState, DecodingError> appAudioStateFromJson(const nlohmann::json& object);

// The contents of appStates.json: a top-level array, all or nothing.
std::string encodeAppAudioStates(const std::vector<AppAudioState>& states);
Expected<std::vector<AppAudioState>, DecodingError> decodeAppAudioStates(std::string_view bytes);

// Diagnostic and remote-control forms; they are never read back.
nlohmann::json toJson(const AudioApp& app);
nlohmann::json toJson(const AudioDeviceInfo& device);

} // namespace kestrelamp

template <>
struct std::hash<kestrelamp::AppAudioState> {
    std::size_t operator()(const kestrelamp::AppAudioState& state) const noexcept {
        return std::hash<std::string>{}(state.id);
    }
};
