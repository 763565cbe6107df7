#include "engine/hal/SimulatedAudioHardware.h"

#include "engine/hal/SimulatedAudioHardwareObjects.h"

#include <algorithm>
#include <cmath>
#include <variant>

// Reading and writing the objects' properties, and their listeners.

namespace kestrelamp::hal {
namespace {

constexpr const char* kSystemName = "Simulated audio hardware";

// Each id once, in the order of first appearance: processes of one object share its id.
template <class Objects>
std::vector<AudioObjectID> idsOf(const Objects& objects) {
    std::vector<AudioObjectID> ids;
    for (const auto& object : objects) {
        if (std::find(ids.begin(), ids.end(), object->id) == ids.end()) {
            ids.push_back(object->id);
        }
    }
    return ids;
}

// The value when the property holds a T, else the size error of a read of the wrong type.
template <class T, class Value>
OSStatus take(Value& value, T& out) {
    auto* held = std::get_if<T>(&value.value);
    if (!held) {
        return kAudioHardwareBadPropertySizeError;
    }
    out = std::move(*held);
    return noErr;
}

} // namespace

struct StreamCount {
    std::uint32_t count = 0;
};

struct SimulatedAudioHardware::PropertyValue {
    std::variant<std::monostate, std::uint32_t, std::int32_t, double, std::string,
                 std::vector<AudioObjectID>, StreamCount>
        value;

    std::uint32_t size() const {
        if (const auto* ids = std::get_if<std::vector<AudioObjectID>>(&value)) {
            return std::uint32_t(ids->size() * sizeof(AudioObjectID));
        }
        if (const auto* streams = std::get_if<StreamCount>(&value)) {
            return streams->count * 4;
        }
        if (std::holds_alternative<double>(value) || std::holds_alternative<std::string>(value)) {
            return 8;
        }
        return 4;
    }
};

OSStatus SimulatedAudioHardware::readProperty(AudioObjectID object,
                                              const AudioObjectPropertyAddress& address,
                                              PropertyValue& out) const {
    if (!objectExists(object)) {
        return kAudioHardwareBadObjectError;
    }
    if (const auto failure = readFailures_.find({object, address.selector, address.scope});
        failure != readFailures_.end()) {
        return failure->second;
    }
    return objectProperty(object, address, out);
}

OSStatus SimulatedAudioHardware::objectProperty(AudioObjectID object,
                                                const AudioObjectPropertyAddress& address,
                                                PropertyValue& out) const {
    if (object == kAudioObjectSystemObject) {
        return systemProperty(address, out);
    }
    if (const Process* process = findProcess(object)) {
        return processProperty(*process, address, out);
    }
    if (const Device* device = findDevice(object)) {
        return deviceProperty(*device, address, out);
    }
    if (const Tap* tap = findTap(object)) {
        return tapProperty(*tap, address, out);
    }
    if (const LevelMonitor* monitor = findMonitor(object)) {
        return monitorProperty(*monitor, address, out);
    }
    return kAudioHardwareBadObjectError;
}

OSStatus SimulatedAudioHardware::systemProperty(const AudioObjectPropertyAddress& address,
                                                PropertyValue& out) const {
    switch (address.selector) {
    case kAudioHardwarePropertyProcessObjectList:
        out.value = idsOf(processes_);
        return noErr;
    case kAudioHardwarePropertyDevices:
        out.value = idsOf(devices_);
        return noErr;
    case kAudioHardwarePropertyDefaultOutputDevice:
        out.value = std::uint32_t(defaultOutput_);
        return noErr;
    case kAudioObjectPropertyName:
        out.value = std::string(kSystemName);
        return noErr;
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus SimulatedAudioHardware::processProperty(const Process& process,
                                                 const AudioObjectPropertyAddress& address,
                                                 PropertyValue& out) const {
    switch (address.selector) {
    case kAudioProcessPropertyBundleID:
    case kAudioObjectPropertyName:
        out.value = process.config.bundleID;
        return noErr;
    case kAudioProcessPropertyPID:
        out.value = process.config.pid;
        return noErr;
    case kAudioProcessPropertyIsRunning:
        out.value = std::uint32_t(isObjectRunning(process.id) ? 1 : 0);
        return noErr;
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus SimulatedAudioHardware::deviceProperty(const Device& device,
                                                const AudioObjectPropertyAddress& address,
                                                PropertyValue& out) const {
    switch (address.selector) {
    case kAudioDevicePropertyDeviceUID:
        out.value = device.config.uid;
        return noErr;
    case kAudioObjectPropertyName:
        out.value = device.config.name.value_or(device.config.uid);
        return noErr;
    case kAudioObjectPropertyManufacturer:
        out.value = device.config.manufacturer;
        return noErr;
    case kAudioDevicePropertyStreams: {
        std::uint32_t count = 0;
        if (address.scope != kAudioObjectPropertyScopeInput) {
            count += outputStreamCount(device);
        }
        if (address.scope != kAudioObjectPropertyScopeOutput) {
            count += inputStreamCount(device);
        }
        out.value = StreamCount{count};
        return noErr;
    }
    case kAudioDevicePropertyTransportType:
        out.value = device.config.transportType;
        return noErr;
    case kAudioAggregateDevicePropertyCarries: {
        if (!device.aggregate) {
            return kAudioHardwareUnknownPropertyError;
        }
        if (device.connection && *device.connection != noErr) {
            return *device.connection;
        }
        const bool started = std::any_of(device.ioProcs.begin(), device.ioProcs.end(),
                                         [](const IOProc& proc) { return proc.started; });
        out.value = std::uint32_t(device.connection && started ? 1 : 0);
        return noErr;
    }
    case kAudioAggregateDevicePropertyFailureReason:
        if (!device.aggregate) {
            return kAudioHardwareUnknownPropertyError;
        }
        if (!device.connection || *device.connection == noErr) {
            return kAudioHardwareIllegalOperationError;
        }
        out.value = device.connectionFailure.empty() ? statusDescription(*device.connection)
                                                     : device.connectionFailure;
        return noErr;
    case kAudioDevicePropertyNominalSampleRate: {
        // An aggregate runs at the rate of its first sub-device.
        const Device* clock = &device;
        if (device.aggregate) {
            clock = nullptr;
            for (const std::string& uid : device.aggregate->subDeviceUIDs) {
                const Device* sub = findDeviceByUID(uid);
                if (sub && !sub->aggregate) {
                    clock = sub;
                    break;
                }
            }
        }
        if (!clock || !clock->config.nominalSampleRate.has_value()) {
            return kAudioHardwareUnknownPropertyError;
        }
        out.value = clock->config.nominalSampleRate.value();
        return noErr;
    }
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus SimulatedAudioHardware::monitorProperty(const LevelMonitor& monitor,
                                                 const AudioObjectPropertyAddress& address,
                                                 PropertyValue& out) const {
    const double holdFrames = renderSampleRate_ * kAudioLevelMonitorHoldMs / 1000.0;
    const bool recent =
        monitor.playedUntil && double(framesRendered_ - *monitor.playedUntil) <= holdFrames;
    switch (address.selector) {
    case kAudioLevelMonitorPropertyRMS:
        out.value = recent ? monitor.rmsDb : kAudioLevelMonitorSilenceDb;
        return noErr;
    case kAudioLevelMonitorPropertyPeak:
        out.value = recent ? monitor.peakDb : kAudioLevelMonitorSilenceDb;
        return noErr;
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus SimulatedAudioHardware::tapProperty(const Tap& tap,
                                             const AudioObjectPropertyAddress& address,
                                             PropertyValue& out) const {
    switch (address.selector) {
    case kAudioTapPropertyUID:
        if (const OSStatus status = injectedFailure(SimulatedOperation::readTapUID);
            status != noErr) {
            return status;
        }
        out.value = tap.uid;
        return noErr;
    case kAudioTapPropertyIsReleased:
        out.value = std::uint32_t(tap.released ? 1 : 0);
        return noErr;
    case kAudioTapPropertyHandBack:
        // Processes given back play on their outputs in the next cycle.
        out.value = std::uint32_t(0);
        return noErr;
    case kAudioTapPropertyReleaseDeviceUID:
        if (!tap.released) {
            return kAudioHardwareIllegalOperationError;
        }
        out.value = tap.releaseDeviceUID;
        return noErr;
    case kAudioObjectPropertyName:
        out.value = "Tap " + tap.uid;
        return noErr;
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus SimulatedAudioHardware::readForCall(AudioObjectID object,
                                             const AudioObjectPropertyAddress& address,
                                             PropertyValue& out) const {
    if (detail::insideIOBlock) {
        return kAudioHardwareIllegalOperationError;
    }
    std::lock_guard lock(mutex_);
    return readProperty(object, address, out);
}

OSStatus SimulatedAudioHardware::getPropertyDataSize(AudioObjectID object,
                                                     const AudioObjectPropertyAddress& address,
                                                     std::uint32_t& outSize) {
    PropertyValue value;
    const OSStatus status = readForCall(object, address, value);
    if (status == noErr) {
        outSize = value.size();
    }
    return status;
}

OSStatus SimulatedAudioHardware::getPropertyUInt32(AudioObjectID object,
                                                   const AudioObjectPropertyAddress& address,
                                                   std::uint32_t& outValue) {
    PropertyValue value;
    if (const OSStatus status = readForCall(object, address, value); status != noErr) {
        return status;
    }
    if (const auto* unsignedValue = std::get_if<std::uint32_t>(&value.value)) {
        outValue = *unsignedValue;
    } else if (const auto* signedValue = std::get_if<std::int32_t>(&value.value)) {
        outValue = std::uint32_t(*signedValue);
    } else {
        return kAudioHardwareBadPropertySizeError;
    }
    return noErr;
}

OSStatus SimulatedAudioHardware::getPropertyFloat64(AudioObjectID object,
                                                    const AudioObjectPropertyAddress& address,
                                                    double& outValue) {
    PropertyValue value;
    const OSStatus status = readForCall(object, address, value);
    return status == noErr ? take(value, outValue) : status;
}

OSStatus SimulatedAudioHardware::getPropertyString(AudioObjectID object,
                                                   const AudioObjectPropertyAddress& address,
                                                   std::string& outValue) {
    PropertyValue value;
    const OSStatus status = readForCall(object, address, value);
    return status == noErr ? take(value, outValue) : status;
}

OSStatus SimulatedAudioHardware::getPropertyObjectIDs(AudioObjectID object,
                                                      const AudioObjectPropertyAddress& address,
                                                      std::vector<AudioObjectID>& ioIDs) {
    PropertyValue value;
    if (const OSStatus status = readForCall(object, address, value); status != noErr) {
        return status;
    }
    const auto* ids = std::get_if<std::vector<AudioObjectID>>(&value.value);
    if (!ids) {
        // There are no stream objects to list, only their count.
        return std::holds_alternative<StreamCount>(value.value)
                   ? kAudioHardwareUnsupportedOperationError
                   : kAudioHardwareBadPropertySizeError;
    }
    const std::size_t count = std::min(ioIDs.size(), ids->size());
    std::copy_n(ids->begin(), count, ioIDs.begin());
    ioIDs.resize(count);
    return noErr;
}

OSStatus SimulatedAudioHardware::setPropertyUInt32(AudioObjectID object,
                                                   const AudioObjectPropertyAddress& address,
                                                   std::uint32_t value) {
    if (detail::insideIOBlock) {
        return kAudioHardwareIllegalOperationError;
    }
    std::lock_guard lock(mutex_);
    if (!objectExists(object)) {
        return kAudioHardwareBadObjectError;
    }
    if (object == kAudioObjectSystemObject &&
        address.selector == kAudioHardwarePropertyDefaultOutputDevice) {
        const Device* device = findDevice(value);
        if (!device) {
            return kAudioHardwareBadDeviceError;
        }
        if (outputStreamCount(*device) == 0 || device->config.uid == kCallMixDeviceUID) {
            return kAudioHardwareIllegalOperationError;
        }
        setDefaultOutputLocked(value);
        return noErr;
    }
    if (Tap* tap = findTap(object); tap && address.selector == kAudioTapPropertyHandBack) {
        if (value != 0) {
            tap->handingBack = true;
            listeners_.notify(object, address);
        }
        return noErr;
    }
    // Everything else is read-only; say so for properties that exist.
    PropertyValue ignored;
    const OSStatus status = objectProperty(object, address, ignored);
    return status == kAudioHardwareUnknownPropertyError ? status
                                                        : kAudioHardwareIllegalOperationError;
}

// --- Listeners ----------------------------------------------------------------------------

OSStatus SimulatedAudioHardware::addPropertyListener(AudioObjectID object,
                                                     const AudioObjectPropertyAddress& address,
                                                     AudioObjectPropertyListenerProc proc,
                                                     void* clientData) {
    if (detail::insideIOBlock) {
        return kAudioHardwareIllegalOperationError;
    }
    {
        std::lock_guard lock(mutex_);
        if (!objectExists(object)) {
            return kAudioHardwareBadObjectError;
        }
    }
    return listeners_.add(object, address, proc, clientData);
}

OSStatus SimulatedAudioHardware::removePropertyListener(AudioObjectID object,
                                                        const AudioObjectPropertyAddress& address,
                                                        AudioObjectPropertyListenerProc proc,
                                                        void* clientData) {
    if (detail::insideIOBlock) {
        return kAudioHardwareIllegalOperationError;
    }
    // The object may be gone already; its listeners still have to go.
    return listeners_.remove(object, address, proc, clientData);
}

void SimulatedAudioHardware::waitForListeners() {
    listeners_.waitUntilDelivered();
}

} // namespace kestrelamp::hal
