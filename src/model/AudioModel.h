#pragma once

// The value types every layer passes around: applications that play sound, the user's settings
// for each of them, and audio devices.

#include "engine/hal/AudioHardware.h"
#include "platform/Expected.h"
#include "platform/RunningApplications.h"

#include <QUuid>
#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrelamp {

using hal::AudioDeviceID;
using hal::AudioObjectID;

// Why a stored JSON document could not be read; the description names the key and the problem.
struct DecodingError {
    std::string description;
};

// Canonical 36-character hyphenated form, upper-case hexadecimal.
std::string uuidString(const QUuid& uuid);
// Accepts exactly the canonical 36-character form (either case); nothing otherwise.
std::optional<QUuid> parseUuid(std::string_view text);

// The last non-empty component of an identifier split at ".", or nothing when there is none.
std::optional<std::string> lastIdentifierComponent(std::string_view bundleID);

// One application that produces sound, as listed to the user. Identified by `id`.
struct AudioApp {
    std::string id;
    std::int32_t processID = 0;
    AudioObjectID audioObjectID = hal::kAudioObjectUnknown;
    std::string displayName;
    // Icon-theme name or file path of the running application's icon.
    std::optional<std::string> icon;
    std::vector<std::string> childBundleIDs;
    std::vector<AudioObjectID> childAudioObjectIDs;

    // Name and icon come from the first running instance with that identifier; without one the
    // name is the identifier's last component (or the whole identifier) and there is no icon.
    static AudioApp make(const std::string& bundleID, std::int32_t processID,
                         AudioObjectID audioObjectID,
                         const RunningApplications& runningApplications);
};

// The ranges of stored settings: kept on reading a file and on writing one.
inline constexpr float kMinVolume = 0.0f;
inline constexpr float kMaxVolume = 1.0f;
inline constexpr std::int64_t kMinBoost = 1;
inline constexpr std::int64_t kMaxBoost = 4;
inline constexpr float kMinBandGainDb = -24.0f;
inline constexpr float kMaxBandGainDb = 24.0f;

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

// Raw values are the four-character transport codes, packed big-endian.
enum class AudioDeviceTransportType : std::uint32_t {
    builtIn = hal::fourCharCode("bltn"),
    aggregate = hal::fourCharCode("grup"),
    virtualDevice = hal::fourCharCode("virt"),
    usb = hal::fourCharCode("usb "),
    firewire = hal::fourCharCode("1394"),
    bluetooth = hal::fourCharCode("blue"),
    bluetoothLE = hal::fourCharCode("blea"),
    hdmi = hal::fourCharCode("hdmi"),
    displayPort = hal::fourCharCode("dprt"),
    airPlay = hal::fourCharCode("airp"),
    pci = hal::fourCharCode("pci "),
    thunderbolt = hal::fourCharCode("thun"),
    unknown = 0,
};

// The case whose raw value is the code, or nothing for a code without a case.
std::optional<AudioDeviceTransportType> transportTypeFromRawValue(std::uint32_t rawValue);
constexpr std::uint32_t rawValue(AudioDeviceTransportType type) {
    return std::uint32_t(type);
}
// The case's name as written in JSON and logs: "builtIn", "virtual", "bluetoothLE", ...
const char* transportTypeName(AudioDeviceTransportType type);

// A device's rate when the service does not say it.
inline constexpr double kFallbackDeviceSampleRate = 44100.0;

// One audio device as the device enumerator describes it. Equality covers all eight fields.
struct AudioDeviceInfo {
    AudioDeviceID id = hal::kAudioObjectUnknown;
    std::string uid;
    std::string name;
    std::string manufacturer;
    bool hasOutput = false;
    bool hasInput = false;
    AudioDeviceTransportType transportType = AudioDeviceTransportType::unknown;
    double sampleRate = kFallbackDeviceSampleRate;

    friend bool operator==(const AudioDeviceInfo&, const AudioDeviceInfo&) = default;
};

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

template <>
struct std::hash<kestrelamp::AudioDeviceInfo> {
    std::size_t operator()(const kestrelamp::AudioDeviceInfo& device) const noexcept;
};
