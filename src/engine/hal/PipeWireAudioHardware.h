#pragma once

// The audio service on a PipeWire server (with a session manager such as WirePlumber).
//
// - Process objects: one per client process owning at least one playback stream.
// - Devices: one per sink and per source that is not a monitor, plus our own aggregates. The UID
//   is the node name.
// - A process tap is a private null sink per tapped process; the process's playback streams are
//   moved to it through the "target.object" metadata, which silences them on their own output.
// - An aggregate device is a filter node whose inputs are linked to its taps' sinks' monitors and
//   whose outputs are linked to the sub-device's playback ports; its IO blocks run in the filter's
//   real-time process callback.
// Everything it creates belongs to its connection, so the server removes it if this process dies.
// When the server goes away, the lists are empty until a connection succeeds again.
//
// Thread-safe; listeners run on a dispatcher thread of their own.

#include "engine/hal/AudioHardware.h"
#include "platform/AudioClientDirectory.h"

#include <memory>

namespace kestrelamp::hal {

struct PipeWireOptions {
    // Milliseconds between connection attempts while there is no server.
    int reconnectIntervalMs = 2000;
    // Limit on every wait for the server.
    int timeoutMs = 3000;
    // Server to connect to; empty for the default one.
    std::string remoteName;
};

class PipeWireAudioHardware final : public AudioHardware, public AudioClientDirectory {
public:
    explicit PipeWireAudioHardware(PipeWireOptions options = {});
    ~PipeWireAudioHardware() override;
    PipeWireAudioHardware(const PipeWireAudioHardware&) = delete;
    PipeWireAudioHardware& operator=(const PipeWireAudioHardware&) = delete;

    // Whether a server is connected right now.
    bool isConnected() const;

    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 std::uint32_t& outSize) override;
    OSStatus getPropertyUInt32(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               std::uint32_t& outValue) override;
    OSStatus getPropertyFloat64(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                double& outValue) override;
    OSStatus getPropertyString(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               std::string& outValue) override;
    OSStatus getPropertyObjectIDs(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                  std::vector<AudioObjectID>& ioIDs) override;
    OSStatus setPropertyUInt32(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               std::uint32_t value) override;

    OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 AudioObjectPropertyListenerProc proc, void* clientData) override;
    OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    AudioObjectPropertyListenerProc proc,
                                    void* clientData) override;

    OSStatus createProcessTap(const CATapDescription& description,
                              AudioObjectID& outTapID) override;
    OSStatus destroyProcessTap(AudioObjectID tapID) override;
    OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                   AudioObjectID& outDeviceID) override;
    OSStatus destroyAggregateDevice(AudioObjectID deviceID) override;

    OSStatus createIOProcID(AudioObjectID deviceID, AudioDeviceIOBlock block,
                            AudioDeviceIOProcID& outIOProcID) override;
    OSStatus deviceStart(AudioObjectID deviceID, AudioDeviceIOProcID ioProcID) override;
    OSStatus deviceStop(AudioObjectID deviceID, AudioDeviceIOProcID ioProcID) override;
    OSStatus destroyIOProcID(AudioObjectID deviceID, AudioDeviceIOProcID ioProcID) override;
    OSStatus createLevelMonitor(AudioObjectID processObjectID,
                                AudioObjectID& outMonitorID) override;
    OSStatus destroyLevelMonitor(AudioObjectID monitorID) override;
    OSStatus setCallMix(const CallMixSettings& settings) override;
    OSStatus recordingApplications(std::vector<RecordingApplication>& outApplications) override;
    OSStatus setRecordingChoices(const RecordingChoices& choices) override;

    // AudioClientDirectory: the processes of "prs#" with their properties.
    std::vector<AudioClient> audioClients(const std::string& bundleID) const override;

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace kestrelamp::hal
