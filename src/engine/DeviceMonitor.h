#pragma once

#include "engine/hal/AudioHardware.h"

#include <QObject>

namespace kestrelamp {

// Republishes the audio service's device-list, default-output and process-list notifications as
// signals on the thread that owns the monitor (the main thread). Observers connected at the time
// of sending receive them; nothing is kept.
class DeviceMonitor : public QObject {
    Q_OBJECT

public:
    explicit DeviceMonitor(hal::AudioHardware& hardware, QObject* parent = nullptr);
    ~DeviceMonitor() override;

    void startMonitoring();
    void stopMonitoring();
    bool isMonitoring() const { return isMonitoring_; }

Q_SIGNALS:
    void devicesChanged();
    // With the new default output device; 0 when the service could not say which.
    void defaultOutputChanged(hal::AudioDeviceID deviceID);
    // An application's process object was listed or is no longer listed.
    void processesChanged();

private:
    static hal::OSStatus onDevicesChanged(hal::AudioObjectID, std::uint32_t,
                                          const hal::AudioObjectPropertyAddress*, void* clientData);
    static hal::OSStatus onDefaultOutputChanged(hal::AudioObjectID, std::uint32_t,
                                                const hal::AudioObjectPropertyAddress*,
                                                void* clientData);
    static hal::OSStatus onProcessesChanged(hal::AudioObjectID, std::uint32_t,
                                            const hal::AudioObjectPropertyAddress*,
                                            void* clientData);

    hal::AudioHardware& hardware_;
    bool isMonitoring_ = false;
};

} // namespace kestrelamp
