#include "engine/hal/SimulatedAudioHardware.h"

#include "engine/hal/SimulatedAudioHardwareObjects.h"

#include <algorithm>
#include <ostream>

// The simulated world's lookups, injected failures, call log and inspection; its properties,
// processes, devices, taps and aggregates, levels and cycles each have a source of their own.

namespace kestrelamp::hal {
namespace {

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

SimulatedAudioHardware::SimulatedAudioHardware() = default;

SimulatedAudioHardware::~SimulatedAudioHardware() {
    stopRealTimeClock();
}

// --- Looking objects up -------------------------------------------------------------------

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

// --- Injected failures and the call log ---------------------------------------------------

OSStatus SimulatedAudioHardware::injectedFailure(SimulatedOperation operation) const {
    const auto it = operationFailures_.find(operation);
    return it == operationFailures_.end() ? noErr : it->second;
}

void SimulatedAudioHardware::log(HardwareCall::Kind kind, AudioObjectID object,
                                 AudioDeviceIOProcID ioProcID, OSStatus status) {
    callLog_.push_back({kind, object, ioProcID, status});
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
