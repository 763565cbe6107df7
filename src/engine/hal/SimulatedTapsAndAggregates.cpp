#include "engine/hal/SimulatedAudioHardware.h"

#include "engine/hal/SimulatedAudioHardwareObjects.h"

#include <algorithm>
#include <tuple>

// Taps, aggregates (and their connecting) and IO procs: the objects a route is made of.

namespace kestrelamp::hal {
namespace {

constexpr std::uint32_t kAggregateTransportType = fourCharCode("grup");

} // namespace

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

} // namespace kestrelamp::hal
