#include "engine/hal/SimulatedAudioHardware.h"

#include "engine/hal/SimulatedAudioHardwareObjects.h"

#include <algorithm>
#include <cmath>

// The devices and the default output, as tests and scenarios change them.

namespace kestrelamp::hal {

AudioObjectID SimulatedAudioHardware::addDevice(const SimulatedDevice& config) {
    std::lock_guard lock(mutex_);
    const RecordingsWatch watch(*this);
    const std::uint32_t channels = config.outputStreams > 0 ? config.outputChannels : 0;
    auto device = std::make_unique<Device>(channels);
    device->id = nextObjectID_++;
    device->config = config;
    const AudioObjectID id = device->id;
    devices_.push_back(std::move(device));
    listeners_.notify(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDevices));
    return id;
}

bool SimulatedAudioHardware::removeDevice(AudioObjectID deviceID) {
    std::vector<AudioDeviceIOBlock> retiredBlocks;
    std::lock_guard lock(mutex_);
    const RecordingsWatch watch(*this);
    const auto it = std::find_if(devices_.begin(), devices_.end(),
                                 [&](const auto& device) { return device->id == deviceID; });
    if (it == devices_.end()) {
        return false;
    }
    removeDeviceLocked(it, retiredBlocks);
    return true;
}

void SimulatedAudioHardware::removeDeviceLocked(std::vector<std::unique_ptr<Device>>::iterator it,
                                                std::vector<AudioDeviceIOBlock>& retiredBlocks) {
    const AudioObjectID id = (*it)->id;
    for (IOProc& proc : (*it)->ioProcs) {
        retiredBlocks.push_back(std::move(proc.block));
    }
    devices_.erase(it);
    listeners_.notify(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDevices));
    if (defaultOutput_ == id) {
        AudioObjectID replacement = kAudioObjectUnknown;
        for (const auto& device : devices_) {
            if (!device->aggregate && device->config.outputStreams > 0) {
                replacement = device->id;
                break;
            }
        }
        setDefaultOutputLocked(replacement);
    }
}

bool SimulatedAudioHardware::setNominalSampleRate(AudioObjectID deviceID, double sampleRate) {
    std::lock_guard lock(mutex_);
    Device* device = findDevice(deviceID);
    if (!device || device->aggregate || !(sampleRate > 0) || !std::isfinite(sampleRate)) {
        return false;
    }
    if (device->config.nominalSampleRate != sampleRate) {
        device->config.nominalSampleRate = sampleRate;
        listeners_.notify(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDevices));
    }
    return true;
}

bool SimulatedAudioHardware::setDefaultOutputDevice(AudioObjectID deviceID) {
    std::lock_guard lock(mutex_);
    if (deviceID != kAudioObjectUnknown) {
        const Device* device = findDevice(deviceID);
        if (!device || outputStreamCount(*device) == 0) {
            return false;
        }
    }
    setDefaultOutputLocked(deviceID);
    return true;
}

void SimulatedAudioHardware::setDefaultOutputLocked(AudioObjectID deviceID) {
    if (defaultOutput_ == deviceID) {
        return;
    }
    defaultOutput_ = deviceID;
    listeners_.notify(kAudioObjectSystemObject,
                      globalAddress(kAudioHardwarePropertyDefaultOutputDevice));
}

AudioObjectID SimulatedAudioHardware::defaultOutputDevice() const {
    std::lock_guard lock(mutex_);
    return defaultOutput_;
}

AudioObjectID SimulatedAudioHardware::deviceID(const std::string& uid) const {
    std::lock_guard lock(mutex_);
    const Device* device = findDeviceByUID(uid);
    return device ? device->id : kAudioObjectUnknown;
}

std::string SimulatedAudioHardware::deviceUID(AudioObjectID deviceID) const {
    std::lock_guard lock(mutex_);
    const Device* device = findDevice(deviceID);
    return device ? device->config.uid : std::string();
}

OSStatus SimulatedAudioHardware::setCallMix(const CallMixSettings& settings) {
    if (detail::insideIOBlock) {
        return kAudioHardwareIllegalOperationError;
    }
    std::vector<AudioDeviceIOBlock> retiredBlocks;
    std::lock_guard lock(mutex_);
    const RecordingsWatch watch(*this);
    const auto listed = std::find_if(devices_.begin(), devices_.end(), [](const auto& device) {
        return !device->aggregate && device->config.uid == kCallMixDeviceUID;
    });
    if (settings.on && listed == devices_.end()) {
        SimulatedDevice config;
        config.uid = kCallMixDeviceUID;
        config.name = kCallMixDeviceName;
        config.inputStreams = 1;
        auto device = std::make_unique<Device>(config.outputChannels);
        device->id = nextObjectID_++;
        device->config = config;
        devices_.push_back(std::move(device));
        listeners_.notify(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDevices));
    } else if (!settings.on && listed != devices_.end()) {
        removeDeviceLocked(listed, retiredBlocks);
    }
    callMix_ = settings;
    return noErr;
}

CallMixSettings SimulatedAudioHardware::callMix() const {
    std::lock_guard lock(mutex_);
    return callMix_;
}

} // namespace kestrelamp::hal
