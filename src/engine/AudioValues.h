#pragma once

// The values the engine describes the audio service's world with: applications that play sound
// and audio devices. The model passes them on with the user's settings (model/AudioModel.h).

#include "engine/hal/AudioHardware.h"
#include "platform/RunningApplications.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrelamp {

using hal::AudioDeviceID;
using hal::AudioObjectID;

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

} // namespace kestrelamp

template <>
struct std::hash<kestrelamp::AudioDeviceInfo> {
    std::size_t operator()(const kestrelamp::AudioDeviceInfo& device) const noexcept;
};
