// The interface's property reads and writes on what the listing holds.

#include "engine/hal/PipeWireHardwareImpl.h"

#include <algorithm>

namespace kestrelamp::hal {

namespace {

constexpr const char* kConfiguredDefaultSinkKey = "default.configured.audio.sink";

OSStatus systemDataSize(AudioObjectPropertySelector selector, std::size_t processes,
                        std::size_t devices, std::uint32_t& size) {
    if (selector == kAudioHardwarePropertyProcessObjectList) {
        size = std::uint32_t(processes * sizeof(AudioObjectID));
    } else if (selector == kAudioHardwarePropertyDevices) {
        size = std::uint32_t(devices * sizeof(AudioObjectID));
    } else if (selector == kAudioHardwarePropertyDefaultOutputDevice) {
        size = sizeof(AudioObjectID);
    } else {
        return kAudioHardwareUnknownPropertyError;
    }
    return noErr;
}

OSStatus processDataSize(AudioObjectPropertySelector selector, std::uint32_t& size) {
    if (selector == kAudioProcessPropertyBundleID) {
        size = 8;
    } else if (selector == kAudioProcessPropertyPID || selector == kAudioProcessPropertyIsRunning) {
        size = 4;
    } else {
        return kAudioHardwareUnknownPropertyError;
    }
    return noErr;
}

OSStatus deviceDataSize(const PipeWireAudioHardware::Impl::DeviceEntry& entry,
                        const AudioObjectPropertyAddress& address, std::uint32_t& size) {
    const auto selector = address.selector;
    if (selector == kAudioDevicePropertyStreams) {
        if (address.scope == kAudioObjectPropertyScopeOutput) {
            size = entry.outputStreams * 4;
        } else if (address.scope == kAudioObjectPropertyScopeInput) {
            size = entry.inputStreams * 4;
        } else {
            size = (entry.outputStreams + entry.inputStreams) * 4;
        }
    } else if (selector == kAudioDevicePropertyDeviceUID || selector == kAudioObjectPropertyName ||
               selector == kAudioObjectPropertyManufacturer ||
               selector == kAudioDevicePropertyNominalSampleRate) {
        size = 8;
    } else if (selector == kAudioDevicePropertyTransportType) {
        size = 4;
    } else {
        return kAudioHardwareUnknownPropertyError;
    }
    return noErr;
}

OSStatus tapDataSize(AudioObjectPropertySelector selector, bool released, std::uint32_t& size) {
    if (selector == kAudioTapPropertyUID) {
        size = 8;
        return noErr;
    }
    if (selector == kAudioTapPropertyIsReleased || selector == kAudioTapPropertyHandBack) {
        size = 4;
        return noErr;
    }
    if (selector == kAudioTapPropertyReleaseDeviceUID) {
        size = 8;
        return released ? noErr : kAudioHardwareIllegalOperationError;
    }
    return kAudioHardwareUnknownPropertyError;
}

} // namespace

OSStatus PipeWireAudioHardware::Impl::missingProperty(AudioObjectID object) const {
    const bool known = object == kAudioObjectSystemObject || process(object) != nullptr ||
                       device(object) != nullptr || taps_.count(object) > 0 || isMonitor(object);
    return known ? kAudioHardwareUnknownPropertyError : kAudioHardwareBadObjectError;
}

std::vector<AudioClient> PipeWireAudioHardware::Impl::clients(const std::string& bundleID) const {
    std::vector<AudioClient> result;
    for (const ProcessEntry& process : processes_) {
        if (process.bundleID != bundleID) {
            continue;
        }
        AudioClient client;
        client.bundleID = process.bundleID;
        client.pid = process.pid;
        client.identity = process.identity;
        // Read here, not on every change of the graph: only a listing asks.
        if (const Global* stream = global(process.streams.front(), GlobalKind::node)) {
            const PropertyMap& clientProperties =
                linkedProperties(*stream, PW_KEY_CLIENT_ID, GlobalKind::client);
            client.properties.insert(clientProperties.begin(), clientProperties.end());
            for (const auto& [key, value] : stream->properties) {
                client.properties.insert_or_assign(key, value);
            }
        }
        result.push_back(std::move(client));
    }
    return result;
}

// --- Property reads --------------------------------------------------------------------------

OSStatus PipeWireAudioHardware::Impl::readDataSize(AudioObjectID object,
                                                   const AudioObjectPropertyAddress& address,
                                                   std::uint32_t& size) {
    const auto selector = address.selector;
    if (object == kAudioObjectSystemObject) {
        return systemDataSize(selector, processes_.size(), devices_.size(), size);
    }
    if (aggregate(object) != nullptr && selector == kAudioAggregateDevicePropertyCarries) {
        std::uint32_t ignored = 0;
        const OSStatus status = readUInt32(object, address, ignored);
        size = 4;
        return status;
    }
    if (isMonitor(object)) {
        double ignored = 0;
        const OSStatus status = readMonitorLevel(object, selector, ignored);
        if (status == noErr) {
            size = sizeof(double);
        }
        return status;
    }
    if (process(object) != nullptr) {
        return processDataSize(selector, size);
    }
    if (const DeviceEntry* entry = device(object)) {
        return deviceDataSize(*entry, address, size);
    }
    if (Tap* entry = tap(object)) {
        return tapDataSize(selector, releasedSinkOf(*entry) != nullptr, size);
    }
    return kAudioHardwareBadObjectError;
}

OSStatus PipeWireAudioHardware::Impl::readUInt32(AudioObjectID object,
                                                 const AudioObjectPropertyAddress& address,
                                                 std::uint32_t& value) {
    const auto selector = address.selector;
    if (object == kAudioObjectSystemObject) {
        if (selector == kAudioHardwarePropertyDefaultOutputDevice) {
            value = defaultOutput_;
            return noErr;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    if (const ProcessEntry* entry = process(object)) {
        if (selector == kAudioProcessPropertyIsRunning) {
            value = entry->running ? 1 : 0;
            return noErr;
        }
        if (selector == kAudioProcessPropertyPID) {
            value = std::uint32_t(entry->pid);
            return noErr;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    if (const Aggregate* entry = aggregate(object);
        entry != nullptr && selector == kAudioAggregateDevicePropertyCarries) {
        const OSStatus state = carriesState(*entry);
        if (state != 0 && state != 1) {
            return state;
        }
        value = std::uint32_t(state);
        return noErr;
    }
    if (const DeviceEntry* entry = device(object)) {
        if (selector == kAudioDevicePropertyTransportType) {
            value = entry->transport;
            return noErr;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    if (Tap* entry = tap(object); entry != nullptr && selector == kAudioTapPropertyIsReleased) {
        value = releasedSinkOf(*entry) != nullptr ? 1 : 0;
        return noErr;
    }
    if (Tap* entry = tap(object); entry != nullptr && selector == kAudioTapPropertyHandBack) {
        value = entry->givenBack.empty() ? 0 : 1;
        return noErr;
    }
    return missingProperty(object);
}

OSStatus PipeWireAudioHardware::Impl::readFloat64(AudioObjectID object,
                                                  const AudioObjectPropertyAddress& address,
                                                  double& value) {
    if (isMonitor(object)) {
        return readMonitorLevel(object, address.selector, value);
    }
    if (const DeviceEntry* entry = device(object)) {
        if (address.selector == kAudioDevicePropertyNominalSampleRate) {
            value = entry->sampleRate;
            return noErr;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    return missingProperty(object);
}

OSStatus PipeWireAudioHardware::Impl::readString(AudioObjectID object,
                                                 const AudioObjectPropertyAddress& address,
                                                 std::string& value) {
    const auto selector = address.selector;
    if (const ProcessEntry* entry = process(object)) {
        if (selector == kAudioProcessPropertyBundleID) {
            value = entry->bundleID;
            return noErr;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    if (const DeviceEntry* entry = device(object)) {
        if (selector == kAudioDevicePropertyDeviceUID) {
            value = entry->uid;
        } else if (selector == kAudioObjectPropertyName) {
            value = entry->name;
        } else if (selector == kAudioObjectPropertyManufacturer) {
            value = entry->manufacturer;
        } else {
            return kAudioHardwareUnknownPropertyError;
        }
        return noErr;
    }
    if (const Tap* entry = tap(object)) {
        if (selector == kAudioTapPropertyUID || selector == kAudioDevicePropertyDeviceUID) {
            value = entry->uid;
            return noErr;
        }
        if (selector == kAudioTapPropertyReleaseDeviceUID) {
            const CaptureSink* released = releasedSinkOf(*entry);
            if (released == nullptr) {
                return kAudioHardwareIllegalOperationError;
            }
            value = released->releaseDeviceUID;
            return noErr;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    return missingProperty(object);
}

OSStatus PipeWireAudioHardware::Impl::readObjectIDs(AudioObjectID object,
                                                    const AudioObjectPropertyAddress& address,
                                                    std::vector<AudioObjectID>& ids) {
    if (object != kAudioObjectSystemObject) {
        return missingProperty(object);
    }
    std::vector<AudioObjectID> all;
    if (address.selector == kAudioHardwarePropertyProcessObjectList) {
        all = idsOf(processes_);
    } else if (address.selector == kAudioHardwarePropertyDevices) {
        all = idsOf(devices_);
    } else {
        return kAudioHardwareUnknownPropertyError;
    }
    const std::size_t count = std::min(all.size(), ids.size());
    std::copy_n(all.begin(), count, ids.begin());
    ids.resize(count);
    return noErr;
}

OSStatus PipeWireAudioHardware::Impl::setDefaultOutput(AudioObjectID deviceID) {
    if (!connected()) {
        return kAudioHardwareNotRunningError;
    }
    const DeviceEntry* entry = device(deviceID);
    if (entry == nullptr) {
        return kAudioHardwareBadDeviceError;
    }
    if (entry->outputStreams == 0 || aggregates_.count(deviceID) > 0 ||
        entry->uid == kCallMixDeviceUID) {
        return kAudioHardwareIllegalOperationError;
    }
    if (!graph_.defaultMetadata || graph_.defaultMetadata->proxy == nullptr) {
        return kAudioHardwareUnsupportedOperationError;
    }
    const std::string value = defaultNodeValue(entry->uid);
    // The session manager turns the configured default into the default; its listeners hear when.
    pw_metadata_set_property(graph_.defaultMetadata->proxy, 0, kConfiguredDefaultSinkKey,
                             "Spa:String:JSON", value.c_str());
    return noErr;
}

} // namespace kestrelamp::hal
