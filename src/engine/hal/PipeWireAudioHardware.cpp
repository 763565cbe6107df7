#include "engine/hal/PipeWireHardwareImpl.h"

namespace kestrelamp::hal {

// --- Public face ---------------------------------------------------------------------------

PipeWireAudioHardware::PipeWireAudioHardware(PipeWireOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

PipeWireAudioHardware::~PipeWireAudioHardware() = default;

bool PipeWireAudioHardware::isConnected() const {
    Impl::Lock lock(impl_->loop());
    return impl_->connected();
}

OSStatus PipeWireAudioHardware::getPropertyDataSize(AudioObjectID object,
                                                    const AudioObjectPropertyAddress& address,
                                                    std::uint32_t& outSize) {
    Impl::Lock lock(impl_->loop());
    if (address.selector == kAudioAggregateDevicePropertyFailureReason) {
        std::string ignored;
        const OSStatus status = impl_->readFailureReason(object, ignored);
        if (status == noErr) {
            outSize = 8;
        }
        return status;
    }
    return impl_->readDataSize(object, address, outSize);
}

OSStatus PipeWireAudioHardware::getPropertyUInt32(AudioObjectID object,
                                                  const AudioObjectPropertyAddress& address,
                                                  std::uint32_t& outValue) {
    Impl::Lock lock(impl_->loop());
    return impl_->readUInt32(object, address, outValue);
}

OSStatus PipeWireAudioHardware::getPropertyFloat64(AudioObjectID object,
                                                   const AudioObjectPropertyAddress& address,
                                                   double& outValue) {
    Impl::Lock lock(impl_->loop());
    return impl_->readFloat64(object, address, outValue);
}

OSStatus PipeWireAudioHardware::getPropertyString(AudioObjectID object,
                                                  const AudioObjectPropertyAddress& address,
                                                  std::string& outValue) {
    Impl::Lock lock(impl_->loop());
    if (address.selector == kAudioAggregateDevicePropertyFailureReason) {
        return impl_->readFailureReason(object, outValue);
    }
    return impl_->readString(object, address, outValue);
}

OSStatus PipeWireAudioHardware::getPropertyObjectIDs(AudioObjectID object,
                                                     const AudioObjectPropertyAddress& address,
                                                     std::vector<AudioObjectID>& ioIDs) {
    Impl::Lock lock(impl_->loop());
    return impl_->readObjectIDs(object, address, ioIDs);
}

OSStatus PipeWireAudioHardware::setPropertyUInt32(AudioObjectID object,
                                                  const AudioObjectPropertyAddress& address,
                                                  std::uint32_t value) {
    Impl::Lock lock(impl_->loop());
    if (object == kAudioObjectSystemObject &&
        address.selector == kAudioHardwarePropertyDefaultOutputDevice) {
        return impl_->setDefaultOutput(value);
    }
    if (object == kAudioObjectSystemObject &&
        address.selector == kAudioHardwarePropertyTapsMadeTogether) {
        impl_->setSpareSinks(value);
        return noErr;
    }
    if (address.selector == kAudioTapPropertyHandBack && impl_->tap(object) != nullptr) {
        return value != 0 ? impl_->handBackTap(object) : noErr;
    }
    std::uint32_t size = 0;
    const OSStatus known = impl_->readDataSize(object, address, size);
    return known == noErr ? kAudioHardwareIllegalOperationError : known;
}

OSStatus PipeWireAudioHardware::addPropertyListener(AudioObjectID object,
                                                    const AudioObjectPropertyAddress& address,
                                                    AudioObjectPropertyListenerProc proc,
                                                    void* clientData) {
    return impl_->dispatcher.add(object, address, proc, clientData);
}

OSStatus PipeWireAudioHardware::removePropertyListener(AudioObjectID object,
                                                       const AudioObjectPropertyAddress& address,
                                                       AudioObjectPropertyListenerProc proc,
                                                       void* clientData) {
    return impl_->dispatcher.remove(object, address, proc, clientData);
}

OSStatus PipeWireAudioHardware::createProcessTap(const CATapDescription& description,
                                                 AudioObjectID& outTapID) {
    Impl::Lock lock(impl_->loop());
    return impl_->createTap(description, outTapID);
}

OSStatus PipeWireAudioHardware::destroyProcessTap(AudioObjectID tapID) {
    Impl::Lock lock(impl_->loop());
    return impl_->destroyTap(tapID);
}

OSStatus PipeWireAudioHardware::createAggregateDevice(const AggregateDeviceDescription& description,
                                                      AudioObjectID& outDeviceID) {
    Impl::Lock lock(impl_->loop());
    return impl_->createAggregate(description, outDeviceID);
}

OSStatus PipeWireAudioHardware::destroyAggregateDevice(AudioObjectID deviceID) {
    Impl::Lock lock(impl_->loop());
    return impl_->destroyAggregate(deviceID);
}

OSStatus PipeWireAudioHardware::createIOProcID(AudioObjectID deviceID, AudioDeviceIOBlock block,
                                               AudioDeviceIOProcID& outIOProcID) {
    Impl::Lock lock(impl_->loop());
    return impl_->createIOProc(deviceID, std::move(block), outIOProcID);
}

OSStatus PipeWireAudioHardware::deviceStart(AudioObjectID deviceID, AudioDeviceIOProcID ioProcID) {
    Impl::Lock lock(impl_->loop());
    return impl_->startIOProc(deviceID, ioProcID);
}

OSStatus PipeWireAudioHardware::deviceStop(AudioObjectID deviceID, AudioDeviceIOProcID ioProcID) {
    Impl::Lock lock(impl_->loop());
    return impl_->stopIOProc(deviceID, ioProcID);
}

OSStatus PipeWireAudioHardware::destroyIOProcID(AudioObjectID deviceID,
                                                AudioDeviceIOProcID ioProcID) {
    Impl::Lock lock(impl_->loop());
    return impl_->destroyIOProc(deviceID, ioProcID);
}

OSStatus PipeWireAudioHardware::createLevelMonitor(AudioObjectID processObjectID,
                                                   AudioObjectID& outMonitorID) {
    Impl::Lock lock(impl_->loop());
    return impl_->createMonitor(processObjectID, outMonitorID);
}

OSStatus PipeWireAudioHardware::destroyLevelMonitor(AudioObjectID monitorID) {
    Impl::Lock lock(impl_->loop());
    return impl_->destroyMonitor(monitorID);
}

OSStatus PipeWireAudioHardware::setCallMix(const CallMixSettings& settings) {
    Impl::Lock lock(impl_->loop());
    return impl_->setCallMix(settings);
}

OSStatus
PipeWireAudioHardware::recordingApplications(std::vector<RecordingApplication>& outApplications) {
    Impl::Lock lock(impl_->loop());
    outApplications = impl_->recordings_.listed;
    return noErr;
}

OSStatus PipeWireAudioHardware::setRecordingChoices(const RecordingChoices& choices) {
    Impl::Lock lock(impl_->loop());
    return impl_->setRecordingChoices(choices);
}

std::vector<AudioClient> PipeWireAudioHardware::audioClients(const std::string& bundleID) const {
    Impl::Lock lock(impl_->loop());
    return impl_->clients(bundleID);
}

} // namespace kestrelamp::hal
