#pragma once

#include "engine/AudioValues.h"
#include "engine/hal/AudioHardware.h"

#include <optional>
#include <string>
#include <vector>

namespace kestrelamp {

// Describes the audio service's devices. Never fails: unreadable values get fixed defaults.
class DeviceEnumerator {
public:
    explicit DeviceEnumerator(hal::AudioHardware& hardware);

    // In the service's order, own aggregates left out.
    std::vector<AudioDeviceInfo> getAllDevices() const;
    std::vector<AudioDeviceInfo> getOutputDevices() const;
    // Nothing when the UID cannot be read or the device is one of our own aggregates.
    std::optional<AudioDeviceInfo> getDeviceInfo(AudioDeviceID deviceID) const;
    std::optional<AudioDeviceInfo> getDefaultOutputDevice() const;

    std::optional<std::string> getDeviceUID(AudioDeviceID deviceID) const;
    std::optional<std::string> getStringProperty(AudioDeviceID deviceID,
                                                 hal::AudioObjectPropertySelector selector) const;
    AudioDeviceTransportType getTransportType(AudioDeviceID deviceID) const;

    static bool isOwnAggregate(const std::string& uid);

private:
    bool hasStreams(AudioDeviceID deviceID, hal::AudioObjectPropertyScope scope) const;

    hal::AudioHardware& hardware_;
};

} // namespace kestrelamp
