#include "engine/DeviceEnumerator.h"

namespace kestrelamp {

using namespace hal;

DeviceEnumerator::DeviceEnumerator(AudioHardware& hardware)
    : hardware_(hardware) {}

bool DeviceEnumerator::isOwnAggregate(const std::string& uid) {
    return uid.starts_with(kOwnAggregateUIDPrefix);
}

std::vector<AudioDeviceInfo> DeviceEnumerator::getAllDevices() const {
    const auto deviceIDs = readObjectIDs(hardware_, kAudioObjectSystemObject,
                                         globalAddress(kAudioHardwarePropertyDevices));
    std::vector<AudioDeviceInfo> devices;
    for (const AudioDeviceID deviceID : deviceIDs.value_or(std::vector<AudioObjectID>{})) {
        if (auto info = getDeviceInfo(deviceID)) {
            devices.push_back(std::move(*info));
        }
    }
    return devices;
}

std::vector<AudioDeviceInfo> DeviceEnumerator::getOutputDevices() const {
    std::vector<AudioDeviceInfo> devices = getAllDevices();
    std::erase_if(devices, [](const AudioDeviceInfo& device) { return !device.hasOutput; });
    return devices;
}

std::optional<AudioDeviceInfo> DeviceEnumerator::getDeviceInfo(AudioDeviceID deviceID) const {
    auto uid = getDeviceUID(deviceID);
    if (!uid) {
        return std::nullopt;
    }
    AudioDeviceInfo info;
    info.id = deviceID;
    info.uid = std::move(*uid);
    info.name = getStringProperty(deviceID, kAudioObjectPropertyName).value_or("Unknown");
    info.manufacturer = getStringProperty(deviceID, kAudioObjectPropertyManufacturer).value_or("");
    info.hasOutput = hasStreams(deviceID, kAudioObjectPropertyScopeOutput);
    info.hasInput = hasStreams(deviceID, kAudioObjectPropertyScopeInput);
    info.transportType = getTransportType(deviceID);
    double sampleRate = 0;
    info.sampleRate =
        hardware_.getPropertyFloat64(deviceID, globalAddress(kAudioDevicePropertyNominalSampleRate),
                                     sampleRate) == noErr
            ? sampleRate
            : kFallbackDeviceSampleRate;
    if (isOwnAggregate(info.uid)) {
        return std::nullopt;
    }
    return info;
}

std::optional<AudioDeviceInfo> DeviceEnumerator::getDefaultOutputDevice() const {
    AudioDeviceID deviceID = kAudioObjectUnknown;
    if (hardware_.getPropertyUInt32(kAudioObjectSystemObject,
                                    globalAddress(kAudioHardwarePropertyDefaultOutputDevice),
                                    deviceID) != noErr ||
        deviceID == kAudioObjectUnknown) {
        return std::nullopt;
    }
    return getDeviceInfo(deviceID);
}

std::optional<std::string> DeviceEnumerator::getDeviceUID(AudioDeviceID deviceID) const {
    return getStringProperty(deviceID, kAudioDevicePropertyDeviceUID);
}

std::optional<std::string>
DeviceEnumerator::getStringProperty(AudioDeviceID deviceID,
                                    AudioObjectPropertySelector selector) const {
    std::string value;
    if (hardware_.getPropertyString(deviceID, globalAddress(selector), value) != noErr) {
        return std::nullopt;
    }
    return value;
}

AudioDeviceTransportType DeviceEnumerator::getTransportType(AudioDeviceID deviceID) const {
    std::uint32_t code = 0;
    if (hardware_.getPropertyUInt32(deviceID, globalAddress(kAudioDevicePropertyTransportType),
                                    code) != noErr) {
        return AudioDeviceTransportType::unknown;
    }
    return transportTypeFromRawValue(code).value_or(AudioDeviceTransportType::unknown);
}

bool DeviceEnumerator::hasStreams(AudioDeviceID deviceID, AudioObjectPropertyScope scope) const {
    std::uint32_t size = 0;
    const AudioObjectPropertyAddress address{kAudioDevicePropertyStreams, scope,
                                             kAudioObjectPropertyElementMain};
    return hardware_.getPropertyDataSize(deviceID, address, size) == noErr && size != 0;
}

} // namespace kestrelamp
