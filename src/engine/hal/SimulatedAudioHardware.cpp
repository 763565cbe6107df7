#include "engine/hal/SimulatedAudioHardware.h"

#include "engine/hal/SimulatedAudioHardwareObjects.h"

#include <algorithm>
#include <cmath>
#include <ostream>
#include <variant>

namespace kestrelamp::hal {
namespace {

constexpr std::uint32_t kAggregateTransportType = fourCharCode("grup");
constexpr const char* kSystemName = "Simulated audio hardware";

// The first object of the list that matches.
template <class Objects, class Predicate>
auto* firstWhere(const Objects& objects, Predicate matches) {
    for (const auto& object : objects) {
        if (matches(*object)) {
            return object.get();
        }
    }
    return decltype(objects.front().get())(nullptr);
}

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

const char* hardwareCallName(HardwareCall::Kind kind) {
    switch (kind) {
    case HardwareCall::Kind::createProcessTap:
        return "createProcessTap";
    case HardwareCall::Kind::destroyProcessTap:
        return "destroyProcessTap";
    case HardwareCall::Kind::createAggregateDevice:
        return "createAggregateDevice";
    case HardwareCall::Kind::destroyAggregateDevice:
        return "destroyAggregateDevice";
    case HardwareCall::Kind::createIOProcID:
        return "createIOProcID";
    case HardwareCall::Kind::deviceStart:
        return "deviceStart";
    case HardwareCall::Kind::deviceStop:
        return "deviceStop";
    case HardwareCall::Kind::destroyIOProcID:
        return "destroyIOProcID";
    }
    return "unknown";
}

std::ostream& operator<<(std::ostream& out, const HardwareCall& call) {
    out << hardwareCallName(call.kind) << "(" << call.object;
    if (call.ioProcID != kAudioDeviceIOProcIDNone) {
        out << ", proc " << call.ioProcID;
    }
    return out << ") -> " << call.status;
}

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

SimulatedAudioHardware::SimulatedAudioHardware() = default;

SimulatedAudioHardware::~SimulatedAudioHardware() {
    stopRealTimeClock();
}

// --- Properties ---------------------------------------------------------------------------

bool SimulatedAudioHardware::objectExists(AudioObjectID object) const {
    return object == kAudioObjectSystemObject || findProcess(object) || findDevice(object) ||
           findTap(object) || findMonitor(object);
}

SimulatedAudioHardware::Process* SimulatedAudioHardware::findProcess(AudioObjectID id) const {
    return firstWhere(processes_, [&](const Process& process) { return process.id == id; });
}

SimulatedAudioHardware::Device* SimulatedAudioHardware::findDevice(AudioObjectID id) const {
    return firstWhere(devices_, [&](const Device& device) { return device.id == id; });
}

bool SimulatedAudioHardware::isObjectRunning(AudioObjectID id) const {
    return std::any_of(processes_.begin(), processes_.end(), [&](const auto& process) {
        return process->id == id && process->config.running;
    });
}

SimulatedAudioHardware::Device*
SimulatedAudioHardware::playbackDevice(const Process& process) const {
    if (const auto target = playbackTargets_.find(process.id); target != playbackTargets_.end()) {
        Device* device = findDeviceByUID(target->second);
        if (device && outputStreamCount(*device) > 0) {
            return device;
        }
    }
    return findDevice(defaultOutput_);
}

SimulatedAudioHardware::Device*
SimulatedAudioHardware::findDeviceByUID(const std::string& uid) const {
    return firstWhere(devices_, [&](const Device& device) { return device.config.uid == uid; });
}

SimulatedAudioHardware::Tap* SimulatedAudioHardware::findTap(AudioObjectID id) const {
    return firstWhere(taps_, [&](const Tap& tap) { return tap.id == id; });
}

SimulatedAudioHardware::Tap* SimulatedAudioHardware::findTapByUID(const std::string& uid) const {
    return firstWhere(taps_, [&](const Tap& tap) { return tap.uid == uid; });
}

std::uint32_t SimulatedAudioHardware::outputStreamCount(const Device& device) const {
    if (!device.aggregate) {
        return device.config.outputStreams;
    }
    std::uint32_t count = 0;
    for (const std::string& uid : device.aggregate->subDeviceUIDs) {
        const Device* sub = findDeviceByUID(uid);
        if (sub && !sub->aggregate) {
            count += sub->config.outputStreams;
        }
    }
    return count;
}

std::uint32_t SimulatedAudioHardware::inputStreamCount(const Device& device) const {
    if (!device.aggregate) {
        return device.config.inputStreams;
    }
    return std::uint32_t(
        std::count_if(device.aggregate->tapUIDs.begin(), device.aggregate->tapUIDs.end(),
                      [&](const std::string& uid) { return findTapByUID(uid) != nullptr; }));
}

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
        if (outputStreamCount(*device) == 0) {
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

// --- Taps and aggregates ------------------------------------------------------------------

OSStatus SimulatedAudioHardware::injectedFailure(SimulatedOperation operation) const {
    const auto it = operationFailures_.find(operation);
    return it == operationFailures_.end() ? noErr : it->second;
}

void SimulatedAudioHardware::log(HardwareCall::Kind kind, AudioObjectID object,
                                 AudioDeviceIOProcID ioProcID, OSStatus status) {
    callLog_.push_back({kind, object, ioProcID, status});
}

OSStatus SimulatedAudioHardware::createProcessTap(const CATapDescription& description,
                                                  AudioObjectID& outTapID) {
    if (detail::insideIOBlock) {
        return kAudioHardwareIllegalOperationError;
    }
    std::lock_guard lock(mutex_);
    OSStatus status = injectedFailure(SimulatedOperation::createProcessTap);
    if (status == noErr) {
        for (const AudioObjectID process : description.processes) {
            if (!findProcess(process)) {
                status = kAudioHardwareBadObjectError;
                break;
            }
        }
    }
    if (status != noErr) {
        log(HardwareCall::Kind::createProcessTap, kAudioObjectUnknown, 0, status);
        return status;
    }
    auto tap = std::make_unique<Tap>();
    tap->id = nextObjectID_++;
    tap->uid = "simulated-tap-" + std::to_string(tap->id);
    tap->description = description;
    outTapID = tap->id;
    taps_.push_back(std::move(tap));
    log(HardwareCall::Kind::createProcessTap, outTapID, 0, noErr);
    return noErr;
}

OSStatus SimulatedAudioHardware::destroyProcessTap(AudioObjectID tapID) {
    if (detail::insideIOBlock) {
        return kAudioHardwareIllegalOperationError;
    }
    std::lock_guard lock(mutex_);
    const auto removed =
        std::erase_if(taps_, [&](const std::unique_ptr<Tap>& tap) { return tap->id == tapID; });
    const OSStatus status = removed > 0 ? noErr : kAudioHardwareBadObjectError;
    log(HardwareCall::Kind::destroyProcessTap, tapID, 0, status);
    return status;
}

OSStatus
SimulatedAudioHardware::createAggregateDevice(const AggregateDeviceDescription& description,
                                              AudioObjectID& outDeviceID) {
    if (detail::insideIOBlock) {
        return kAudioHardwareIllegalOperationError;
    }
    std::lock_guard lock(mutex_);
    OSStatus status = injectedFailure(SimulatedOperation::createAggregateDevice);
    // A device is found by its UID: a second one with the same UID would shadow the first.
    if (status == noErr && (description.uid.empty() || findDeviceByUID(description.uid))) {
        status = kAudioHardwareIllegalOperationError;
    }
    if (status != noErr) {
        log(HardwareCall::Kind::createAggregateDevice, kAudioObjectUnknown, 0, status);
        return status;
    }
    auto device = std::make_unique<Device>(0);
    device->id = nextObjectID_++;
    device->config.uid = description.uid;
    device->config.name = description.name;
    device->config.transportType = kAggregateTransportType;
    device->config.nominalSampleRate.reset();
    device->aggregate = description;
    if (holdConnecting_) {
        device->connection.reset();
    }
    for (const std::string& uid : description.subDeviceUIDs) {
        if (const auto refusal = connectionRefusals_.find(uid);
            refusal != connectionRefusals_.end()) {
            std::tie(device->connection, device->connectionFailure) = refusal->second;
        }
    }
    outDeviceID = device->id;
    devices_.push_back(std::move(device));
    listeners_.notify(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDevices));
    log(HardwareCall::Kind::createAggregateDevice, outDeviceID, 0, noErr);
    return noErr;
}

OSStatus SimulatedAudioHardware::destroyAggregateDevice(AudioObjectID deviceID) {
    if (detail::insideIOBlock) {
        return kAudioHardwareIllegalOperationError;
    }
    // Blocks are destroyed after the lock is released: their captures may do anything.
    std::vector<AudioDeviceIOBlock> retiredBlocks;
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(devices_.begin(), devices_.end(),
                                 [&](const auto& device) { return device->id == deviceID; });
    OSStatus status = noErr;
    if (it == devices_.end()) {
        status = kAudioHardwareBadObjectError;
    } else if (!(*it)->aggregate) {
        status = kAudioHardwareIllegalOperationError;
    } else {
        removeDeviceLocked(it, retiredBlocks);
    }
    log(HardwareCall::Kind::destroyAggregateDevice, deviceID, 0, status);
    return status;
}

// --- Device I/O ---------------------------------------------------------------------------

OSStatus SimulatedAudioHardware::createIOProcID(AudioObjectID deviceID, AudioDeviceIOBlock block,
                                                AudioDeviceIOProcID& outIOProcID) {
    if (detail::insideIOBlock) {
        return kAudioHardwareIllegalOperationError;
    }
    std::lock_guard lock(mutex_);
    Device* device = findDevice(deviceID);
    OSStatus status = injectedFailure(SimulatedOperation::createIOProcID);
    if (status == noErr && !device) {
        status = kAudioHardwareBadDeviceError;
    }
    if (status == noErr && !block) {
        status = kAudioHardwareIllegalOperationError;
    }
    if (status != noErr) {
        log(HardwareCall::Kind::createIOProcID, deviceID, kAudioDeviceIOProcIDNone, status);
        return status;
    }
    const AudioDeviceIOProcID id = nextIOProcID_++;
    device->ioProcs.push_back({id, std::move(block), false});
    outIOProcID = id;
    log(HardwareCall::Kind::createIOProcID, deviceID, id, noErr);
    return noErr;
}

OSStatus SimulatedAudioHardware::findIOProc(AudioObjectID deviceID, AudioDeviceIOProcID ioProcID,
                                            IOProc*& proc) const {
    Device* device = findDevice(deviceID);
    if (!device) {
        return kAudioHardwareBadDeviceError;
    }
    const auto it = std::find_if(device->ioProcs.begin(), device->ioProcs.end(),
                                 [&](const IOProc& p) { return p.id == ioProcID; });
    if (it == device->ioProcs.end()) {
        return kAudioHardwareIllegalOperationError;
    }
    proc = &*it;
    return noErr;
}

OSStatus SimulatedAudioHardware::deviceStart(AudioObjectID deviceID, AudioDeviceIOProcID ioProcID) {
    if (detail::insideIOBlock) {
        return kAudioHardwareIllegalOperationError;
    }
    std::lock_guard lock(mutex_);
    OSStatus status = injectedFailure(SimulatedOperation::deviceStart);
    IOProc* proc = nullptr;
    if (status == noErr) {
        status = findIOProc(deviceID, ioProcID, proc);
    }
    if (proc) {
        proc->started = true;
        notifyCarries(deviceID);
    }
    log(HardwareCall::Kind::deviceStart, deviceID, ioProcID, status);
    return status;
}

OSStatus SimulatedAudioHardware::deviceStop(AudioObjectID deviceID, AudioDeviceIOProcID ioProcID) {
    if (detail::insideIOBlock) {
        return kAudioHardwareIllegalOperationError;
    }
    // Holding the lock means no cycle is running; the next one sees the proc stopped.
    std::lock_guard lock(mutex_);
    IOProc* proc = nullptr;
    const OSStatus status = findIOProc(deviceID, ioProcID, proc);
    if (proc) {
        proc->started = false;
        notifyCarries(deviceID);
    }
    log(HardwareCall::Kind::deviceStop, deviceID, ioProcID, status);
    return status;
}

OSStatus SimulatedAudioHardware::destroyIOProcID(AudioObjectID deviceID,
                                                 AudioDeviceIOProcID ioProcID) {
    if (detail::insideIOBlock) {
        return kAudioHardwareIllegalOperationError;
    }
    AudioDeviceIOBlock retiredBlock;
    std::lock_guard lock(mutex_);
    IOProc* proc = nullptr;
    const OSStatus status = findIOProc(deviceID, ioProcID, proc);
    if (proc) {
        retiredBlock = std::move(proc->block);
        std::erase_if(findDevice(deviceID)->ioProcs,
                      [&](const IOProc& p) { return p.id == ioProcID; });
    }
    log(HardwareCall::Kind::destroyIOProcID, deviceID, ioProcID, status);
    return status;
}

// --- Editing the world --------------------------------------------------------------------

ApplicationIdentity simulatedProcessIdentity(const SimulatedProcess& process) {
    ApplicationIdentity identity = identifyApplication(
        process.clientProperties, process.streamProperties, [&](std::string_view host) {
            std::string program = programRunBy(host, process.commandLine);
            return program.empty() ? programOfHelper(host, process.parentCommandLine) : program;
        });
    if (!process.bundleID.empty()) {
        identity.key = process.bundleID;
    }
    return identity;
}

std::vector<AudioClient> SimulatedAudioHardware::audioClients(const std::string& bundleID) const {
    std::lock_guard lock(mutex_);
    std::vector<AudioClient> clients;
    for (const auto& process : processes_) {
        const SimulatedProcess& config = process->config;
        if (config.bundleID != bundleID ||
            (config.clientProperties.empty() && config.streamProperties.empty())) {
            continue;
        }
        AudioClient client{bundleID, config.pid, config.clientProperties, process->identity};
        for (const auto& [key, value] : config.streamProperties) {
            client.properties.insert_or_assign(key, value);
        }
        clients.push_back(std::move(client));
    }
    return clients;
}

AudioObjectID SimulatedAudioHardware::addProcess(const SimulatedProcess& announced) {
    ApplicationIdentity identity = simulatedProcessIdentity(announced);
    SimulatedProcess config = announced;
    config.bundleID = identity.key;
    std::lock_guard lock(mutex_);
    AudioObjectID id = kAudioObjectUnknown;
    if (const auto known = applicationObjects_.find(config.bundleID);
        known != applicationObjects_.end()) {
        id = known->second;
    } else {
        id = nextObjectID_++;
        if (!config.bundleID.empty()) {
            applicationObjects_.emplace(config.bundleID, id);
        }
    }
    const bool wasListed = findProcess(id) != nullptr;
    const bool wasRunning = isObjectRunning(id);
    auto process = std::make_unique<Process>();
    process->id = id;
    process->config = config;
    process->identity = std::move(identity);
    process->generator = SignalGenerator(config.signal, id);
    processes_.push_back(std::move(process));
    if (!wasListed) {
        listeners_.notify(kAudioObjectSystemObject,
                          globalAddress(kAudioHardwarePropertyProcessObjectList));
    } else if (isObjectRunning(id) != wasRunning) {
        listeners_.notify(id, globalAddress(kAudioProcessPropertyIsRunning));
    }
    return id;
}

bool SimulatedAudioHardware::removeProcess(AudioObjectID processID) {
    std::lock_guard lock(mutex_);
    const auto removed = std::erase_if(
        processes_, [&](const std::unique_ptr<Process>& p) { return p->id == processID; });
    if (removed == 0) {
        return false;
    }
    listeners_.notify(kAudioObjectSystemObject,
                      globalAddress(kAudioHardwarePropertyProcessObjectList));
    return true;
}

bool SimulatedAudioHardware::setProcessRunning(AudioObjectID processID, bool running) {
    std::lock_guard lock(mutex_);
    if (!findProcess(processID)) {
        return false;
    }
    const bool wasRunning = isObjectRunning(processID);
    for (const auto& process : processes_) {
        if (process->id == processID) {
            process->config.running = running;
        }
    }
    if (running != wasRunning) {
        listeners_.notify(processID, globalAddress(kAudioProcessPropertyIsRunning));
    }
    return true;
}

bool SimulatedAudioHardware::setProcessSignal(AudioObjectID processID,
                                              const SimulatedSignal& signal) {
    std::lock_guard lock(mutex_);
    if (!findProcess(processID)) {
        return false;
    }
    for (const auto& process : processes_) {
        if (process->id == processID) {
            process->config.signal = signal;
            process->generator.setSignal(signal);
        }
    }
    return true;
}

bool SimulatedAudioHardware::moveProcessElsewhere(AudioObjectID processID,
                                                  const std::string& deviceUID) {
    std::lock_guard lock(mutex_);
    if (!findProcess(processID)) {
        return false;
    }
    const Device* device = findDeviceByUID(deviceUID);
    const bool isOutput = device && !device->aggregate && outputStreamCount(*device) > 0;
    if (isOutput) {
        playbackTargets_[processID] = deviceUID;
    } else {
        playbackTargets_.erase(processID);
    }
    for (const auto& tap : taps_) {
        if (tap->holds(processID)) {
            tap->released = true;
            tap->releaseDeviceUID = isOutput ? deviceUID : std::string();
            listeners_.notify(tap->id, globalAddress(kAudioTapPropertyIsReleased));
        }
    }
    return true;
}

AudioObjectID SimulatedAudioHardware::addDevice(const SimulatedDevice& config) {
    std::lock_guard lock(mutex_);
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

AudioObjectID SimulatedAudioHardware::processID(const std::string& bundleID) const {
    std::lock_guard lock(mutex_);
    for (const auto& process : processes_) {
        if (process->config.bundleID == bundleID) {
            return process->id;
        }
    }
    return kAudioObjectUnknown;
}

void SimulatedAudioHardware::failRead(AudioObjectID object, AudioObjectPropertySelector selector,
                                      AudioObjectPropertyScope scope, OSStatus status) {
    std::lock_guard lock(mutex_);
    readFailures_[{object, selector, scope}] = status;
}

void SimulatedAudioHardware::clearReadFailure(AudioObjectID object,
                                              AudioObjectPropertySelector selector,
                                              AudioObjectPropertyScope scope) {
    std::lock_guard lock(mutex_);
    readFailures_.erase({object, selector, scope});
}

void SimulatedAudioHardware::failOperation(SimulatedOperation operation, OSStatus status) {
    std::lock_guard lock(mutex_);
    if (status == noErr) {
        operationFailures_.erase(operation);
    } else {
        operationFailures_[operation] = status;
    }
}

void SimulatedAudioHardware::clearFailures() {
    std::lock_guard lock(mutex_);
    readFailures_.clear();
    operationFailures_.clear();
    connectionRefusals_.clear();
}

void SimulatedAudioHardware::refuseConnections(const std::string& deviceUID, OSStatus status,
                                               std::string reason) {
    std::lock_guard lock(mutex_);
    if (status == noErr) {
        connectionRefusals_.erase(deviceUID);
    } else {
        connectionRefusals_[deviceUID] = {status, std::move(reason)};
    }
}

void SimulatedAudioHardware::holdConnecting(bool hold) {
    std::lock_guard lock(mutex_);
    holdConnecting_ = hold;
}

bool SimulatedAudioHardware::finishConnecting(AudioObjectID aggregateID, OSStatus status,
                                              std::string reason) {
    std::lock_guard lock(mutex_);
    Device* device = findDevice(aggregateID);
    if (!device || !device->aggregate) {
        return false;
    }
    device->connection = status;
    device->connectionFailure = std::move(reason);
    notifyCarries(aggregateID);
    return true;
}

void SimulatedAudioHardware::notifyCarries(AudioObjectID deviceID) {
    if (const Device* device = findDevice(deviceID); device && device->aggregate) {
        listeners_.notify(deviceID, globalAddress(kAudioAggregateDevicePropertyCarries));
    }
}

// --- Inspection ---------------------------------------------------------------------------

std::vector<SimulatedTapInfo> SimulatedAudioHardware::taps() const {
    std::lock_guard lock(mutex_);
    std::vector<SimulatedTapInfo> result;
    for (const auto& tap : taps_) {
        result.push_back({tap->id, tap->uid, tap->description});
    }
    return result;
}

std::vector<SimulatedAggregateInfo> SimulatedAudioHardware::aggregateDevices() const {
    std::lock_guard lock(mutex_);
    std::vector<SimulatedAggregateInfo> result;
    for (const auto& device : devices_) {
        if (device->aggregate) {
            result.push_back({device->id, *device->aggregate});
        }
    }
    return result;
}

std::vector<SimulatedIOProcInfo> SimulatedAudioHardware::ioProcs() const {
    std::lock_guard lock(mutex_);
    std::vector<SimulatedIOProcInfo> result;
    for (const auto& device : devices_) {
        for (const IOProc& proc : device->ioProcs) {
            result.push_back({device->id, proc.id, proc.started});
        }
    }
    return result;
}

std::vector<HardwareCall> SimulatedAudioHardware::callLog() const {
    std::lock_guard lock(mutex_);
    return callLog_;
}

std::vector<HardwareCall::Kind> SimulatedAudioHardware::callKinds() const {
    std::lock_guard lock(mutex_);
    std::vector<HardwareCall::Kind> kinds;
    for (const HardwareCall& call : callLog_) {
        kinds.push_back(call.kind);
    }
    return kinds;
}

void SimulatedAudioHardware::clearCallLog() {
    std::lock_guard lock(mutex_);
    callLog_.clear();
}

} // namespace kestrelamp::hal
