#include "engine/DeviceMonitor.h"

namespace kestrelamp {

using namespace hal;

namespace {

constexpr AudioObjectPropertyAddress kDevicesAddress = globalAddress(kAudioHardwarePropertyDevices);
constexpr AudioObjectPropertyAddress kDefaultOutputAddress =
    globalAddress(kAudioHardwarePropertyDefaultOutputDevice);
constexpr AudioObjectPropertyAddress kProcessesAddress =
    globalAddress(kAudioHardwarePropertyProcessObjectList);

} // namespace

DeviceMonitor::DeviceMonitor(AudioHardware& hardware, QObject* parent)
    : QObject(parent)
    , hardware_(hardware) {}

// Removing the listeners waits for any call in progress, and queued signals die with the object,
// so nothing reaches a destroyed monitor.
DeviceMonitor::~DeviceMonitor() {
    stopMonitoring();
}

void DeviceMonitor::startMonitoring() {
    if (isMonitoring_) {
        return;
    }
    isMonitoring_ = true;
    hardware_.addPropertyListener(kAudioObjectSystemObject, kDevicesAddress,
                                  &DeviceMonitor::onDevicesChanged, this);
    hardware_.addPropertyListener(kAudioObjectSystemObject, kDefaultOutputAddress,
                                  &DeviceMonitor::onDefaultOutputChanged, this);
    hardware_.addPropertyListener(kAudioObjectSystemObject, kProcessesAddress,
                                  &DeviceMonitor::onProcessesChanged, this);
}

void DeviceMonitor::stopMonitoring() {
    if (!isMonitoring_) {
        return;
    }
    isMonitoring_ = false;
    hardware_.removePropertyListener(kAudioObjectSystemObject, kDevicesAddress,
                                     &DeviceMonitor::onDevicesChanged, this);
    hardware_.removePropertyListener(kAudioObjectSystemObject, kDefaultOutputAddress,
                                     &DeviceMonitor::onDefaultOutputChanged, this);
    hardware_.removePropertyListener(kAudioObjectSystemObject, kProcessesAddress,
                                     &DeviceMonitor::onProcessesChanged, this);
}

OSStatus DeviceMonitor::onDevicesChanged(AudioObjectID, std::uint32_t,
                                         const AudioObjectPropertyAddress*, void* clientData) {
    auto* monitor = static_cast<DeviceMonitor*>(clientData);
    if (!monitor) {
        return noErr;
    }
    QMetaObject::invokeMethod(
        monitor, [monitor] { Q_EMIT monitor->devicesChanged(); }, Qt::QueuedConnection);
    return noErr;
}

OSStatus DeviceMonitor::onProcessesChanged(AudioObjectID, std::uint32_t,
                                           const AudioObjectPropertyAddress*, void* clientData) {
    auto* monitor = static_cast<DeviceMonitor*>(clientData);
    if (!monitor) {
        return noErr;
    }
    QMetaObject::invokeMethod(
        monitor, [monitor] { Q_EMIT monitor->processesChanged(); }, Qt::QueuedConnection);
    return noErr;
}

OSStatus DeviceMonitor::onDefaultOutputChanged(AudioObjectID, std::uint32_t,
                                               const AudioObjectPropertyAddress*,
                                               void* clientData) {
    auto* monitor = static_cast<DeviceMonitor*>(clientData);
    if (!monitor) {
        return noErr;
    }
    // Read now, on the notifying thread, so the event carries the value that caused it.
    AudioDeviceID deviceID = kAudioObjectUnknown;
    monitor->hardware_.getPropertyUInt32(kAudioObjectSystemObject, kDefaultOutputAddress, deviceID);
    QMetaObject::invokeMethod(
        monitor, [monitor, deviceID] { Q_EMIT monitor->defaultOutputChanged(deviceID); },
        Qt::QueuedConnection);
    return noErr;
}

} // namespace kestrelamp
