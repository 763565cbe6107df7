#pragma once

// An audio service held in memory, for tests and for trying the program without a sound server.
//
// The world: the system object (1), process objects, devices, the default output device, process
// taps, aggregate devices and IO procs. Object ids are handed out from 2 upwards in creation order
// and never reused, except that a process object stands for every process of one bundle
// identifier: processes added with an identifier share its object, which keeps its id for the
// world's lifetime and is listed while any of them is present. (Processes without an identifier
// each get an object of their own.) Listeners run on the service's own thread (see
// PropertyListenerDispatcher).
//
// The audio path, once per cycle of N frames at renderSampleRate():
//   1. Every running process renders its test signal (a process that is not running is silent).
//   2. Every process that no muting tap holds plays into its playback device: the one another
//      tool moved it to (moveProcessElsewhere), else the default output device, mixed from its
//      layout onto the device's by channel position (ChannelMixer).
//   3. Every tap mixes the processes of its process objects, until it is released: a stereo
//      mixdown folds channel c into c % 2, a mono one averages the channels; without mixdown the
//      tap has its processes' own layout.
//   4. Every started IO proc is called with one non-interleaved mono buffer per channel: on an
//      aggregate device the input and the output are its taps' channels, and what the blocks write
//      is mixed onto each sub-device by channel position; on any other device the input is empty
//      and the output is the device's own channels. Either way it adds to the devices' playback.
//   5. Every device records what it played (PlaybackRecording).
// Cycles run on the caller's thread (render()) or on a clock thread (startRealTimeClock()). A
// cycle holds the world's lock, which is why deviceStop() and the destroy calls can promise that
// a block is not running once they return.
//
// Every member may be called from any thread except from inside an IO block, where the interface
// calls answer kAudioHardwareIllegalOperationError and the test calls must not be used.

#include "engine/hal/AudioHardware.h"
#include "engine/hal/ChannelMix.h"
#include "engine/hal/PeriodicThread.h"
#include "engine/hal/PlaybackRecording.h"
#include "engine/hal/PropertyListenerDispatcher.h"
#include "engine/hal/SimulatedSignal.h"
#include "platform/ApplicationIdentity.h"
#include "platform/AudioClientDirectory.h"

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace kestrelamp::hal {

struct SimulatedProcess {
    std::string bundleID;
    std::int32_t pid = 0;
    // "pir?": the process is running audio I/O, and only then plays its signal.
    bool running = true;
    SimulatedSignal signal;
    // Unless it has one position per signal channel, the default layout for them.
    ChannelLayout layout = {};
    // What it announces as an audio client, its command line and its parent's: a process
    // announcing something is listed as an audio client, and keyed by what it announces unless
    // it has a bundle identifier.
    ClientProperties clientProperties = {};
    ClientProperties streamProperties = {};
    std::vector<std::string> commandLine = {};
    std::vector<std::string> parentCommandLine = {};
};

// Its bundle identifier when it has one, else the key identifyApplication() makes of what it
// announces (its command lines standing for what /proc would tell).
ApplicationIdentity simulatedProcessIdentity(const SimulatedProcess& process);

struct SimulatedDevice {
    std::string uid;
    // Without a name the device is called by its UID.
    std::optional<std::string> name;
    std::string manufacturer;
    std::uint32_t outputStreams = 1;
    std::uint32_t inputStreams = 0;
    std::uint32_t transportType = 0;
    // Without a rate the "nsrt" read fails.
    std::optional<double> nominalSampleRate = 48000.0;
    // Channels it plays, when it has an output stream.
    std::uint32_t outputChannels = 2;
    // Unless it has one position per output channel, the default layout for them.
    ChannelLayout outputLayout = {};
};

// A program recording from an input. What its input gives it is a steady level, before the
// volume it is handed.
struct SimulatedRecorder {
    std::string bundleID;
    std::string name;
    std::int32_t pid = 0;
    double levelDb = kAudioLevelMonitorSilenceDb;
};

// Interface calls that tests can make fail with a status of their choice.
enum class SimulatedOperation {
    createProcessTap,
    readTapUID,
    createAggregateDevice,
    createIOProcID,
    deviceStart,
};

// One tap, aggregate or IO-proc call as it was made, with the status it returned. For a create
// call, object is the new object (0 when it failed); for an IO-proc call, object is the device.
struct HardwareCall {
    enum class Kind {
        createProcessTap,
        destroyProcessTap,
        createAggregateDevice,
        destroyAggregateDevice,
        createIOProcID,
        deviceStart,
        deviceStop,
        destroyIOProcID,
    };

    Kind kind = Kind::createProcessTap;
    AudioObjectID object = kAudioObjectUnknown;
    AudioDeviceIOProcID ioProcID = kAudioDeviceIOProcIDNone;
    OSStatus status = noErr;

    friend bool operator==(const HardwareCall&, const HardwareCall&) = default;
};

const char* hardwareCallName(HardwareCall::Kind kind);
// "destroyIOProcID(7, proc 2) -> 0", for test messages.
std::ostream& operator<<(std::ostream& out, const HardwareCall& call);

struct SimulatedTapInfo {
    AudioObjectID id = kAudioObjectUnknown;
    std::string uid;
    CATapDescription description;
};

struct SimulatedAggregateInfo {
    AudioObjectID id = kAudioObjectUnknown;
    AggregateDeviceDescription description;
};

struct SimulatedIOProcInfo {
    AudioObjectID deviceID = kAudioObjectUnknown;
    AudioDeviceIOProcID ioProcID = kAudioDeviceIOProcIDNone;
    bool started = false;
};

class SimulatedAudioHardware final : public AudioHardware, public AudioClientDirectory {
public:
    static constexpr double kDefaultRenderSampleRate = 48000.0;
    // About 1.4 s at 48 kHz.
    static constexpr std::uint32_t kRecordingCapacityFrames = 65536;

    SimulatedAudioHardware();
    ~SimulatedAudioHardware() override;
    SimulatedAudioHardware(const SimulatedAudioHardware&) = delete;
    SimulatedAudioHardware& operator=(const SimulatedAudioHardware&) = delete;

    // --- AudioHardware ----------------------------------------------------------------------
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
    // Measures what the object's running processes render, muted by a tap or not.
    OSStatus createLevelMonitor(AudioObjectID processObjectID,
                                AudioObjectID& outMonitorID) override;
    OSStatus destroyLevelMonitor(AudioObjectID monitorID) override;
    // The call mix is a device like the others here, plus its settings; nothing records from it
    // and no microphone is mixed in.
    OSStatus setCallMix(const CallMixSettings& settings) override;
    CallMixSettings callMix() const;
    // Each recorder records from its choice's input when that is listed, else from the default
    // input. Listeners of "rec#" hear every change of the list.
    OSStatus recordingApplications(std::vector<RecordingApplication>& outApplications) override;
    OSStatus setRecordingChoices(const RecordingChoices& choices) override;
    RecordingChoices recordingChoices() const;

    // AudioClientDirectory: the listed processes of that key that announce something.
    std::vector<AudioClient> audioClients(const std::string& bundleID) const override;

    // --- Editing the world ------------------------------------------------------------------
    // Processes: their objects are listed in "prs#" in the order they first appeared. Adding
    // returns the object of the process's bundle identifier (simulatedProcessIdentity()) (the same
    // id again after the application was removed). Removing takes every process of the object away;
    // the running flag and the signal apply to every process of the object; the object is running
    // while any of them runs. Changes notify "prs#" (an object listed or no longer listed) and
    // "pir?" on the object (running flag) listeners.
    AudioObjectID addProcess(const SimulatedProcess& process);
    bool removeProcess(AudioObjectID processID);
    bool setProcessRunning(AudioObjectID processID, bool running);
    bool setProcessSignal(AudioObjectID processID, const SimulatedSignal& signal);
    // As another tool (a desktop's sound settings, another mixer) moving the application's
    // streams: every tap holding the process object is released ("trl?" 1, its listeners
    // notified, "trlu" the device's UID, or "" when it is not an output device), and the
    // application then plays on that device ("" or not an output device: the default output),
    // whatever tap is made or destroyed later. False for an object that is not a listed process.
    bool moveProcessElsewhere(AudioObjectID processID, const std::string& deviceUID);

    // Recorders: listed in the order they started. Each bundle identifier keeps its level object
    // across runs; starting one that records already changes its name, pid and level.
    AudioObjectID addRecorder(const SimulatedRecorder& recorder);
    bool removeRecorder(const std::string& bundleID);
    // As another program would: the recorder records from that input ("" the default) and says
    // so in chosenElsewhere until a choice for it is handed in. False for no such recorder.
    bool moveRecorderElsewhere(const std::string& bundleID, const std::string& inputUID);
    // The input recorders without a choice record from: this device while it is listed, else the
    // first device with an input stream that is not the call mix. 0 means that first one.
    bool setDefaultInputDevice(AudioObjectID deviceID);
    std::string defaultInputUID() const;

    // Devices: listed in "dev#" in the order added, aggregates included. Adding and removing
    // notify "dev#"; removing the default output device makes the first remaining device with an
    // output stream the default (or none) and notifies "dOut".
    AudioObjectID addDevice(const SimulatedDevice& device);
    bool removeDevice(AudioObjectID deviceID);
    // The device's "nsrt" as the server would change it; notifies "dev#" when it changes. False
    // for an unknown device or a rate that is not positive and finite.
    bool setNominalSampleRate(AudioObjectID deviceID, double sampleRate);
    // As another program would: notifies "dOut" when it changes. 0 means no default device.
    // False for an object that is not a device with an output stream.
    bool setDefaultOutputDevice(AudioObjectID deviceID);
    AudioObjectID defaultOutputDevice() const;

    // First match, or kAudioObjectUnknown. A process object only while it is listed.
    AudioObjectID deviceID(const std::string& uid) const;
    AudioObjectID processID(const std::string& bundleID) const;
    // Empty for an unknown device.
    std::string deviceUID(AudioObjectID deviceID) const;

    // Every read (size or data) of (object, selector, scope) answers status until cleared.
    void failRead(AudioObjectID object, AudioObjectPropertySelector selector,
                  AudioObjectPropertyScope scope, OSStatus status);
    void clearReadFailure(AudioObjectID object, AudioObjectPropertySelector selector,
                          AudioObjectPropertyScope scope);
    // Every such call answers status (creating nothing) until cleared; noErr clears.
    void failOperation(SimulatedOperation operation, OSStatus status);
    void clearFailures();
    // While held, aggregates made from now on stay connecting ("acr?" 0, their blocks not called)
    // until finishConnecting(); otherwise an aggregate is connected as it is made.
    void holdConnecting(bool hold);
    // Ends the aggregate's connecting with the service's answer: noErr connects it, anything else
    // is what its "acr?" reads answer from then on, and reason what "why?" reads (the status in
    // words when empty). Notifies "acr?". False for no such aggregate.
    bool finishConnecting(AudioObjectID aggregateID, OSStatus status, std::string reason = {});
    // As a server that refuses what routes to that device need: aggregates made from now on with
    // it as a sub-device are refused at once, with that status and reason. noErr clears;
    // clearFailures() clears them all.
    void refuseConnections(const std::string& deviceUID, OSStatus status, std::string reason = {});

    // --- Inspection -------------------------------------------------------------------------
    std::vector<SimulatedTapInfo> taps() const;
    std::vector<SimulatedAggregateInfo> aggregateDevices() const;
    std::vector<SimulatedIOProcInfo> ioProcs() const;
    std::vector<AudioObjectID> levelMonitors() const;
    std::vector<HardwareCall> callLog() const;
    // The kinds of callLog(), in order.
    std::vector<HardwareCall::Kind> callKinds() const;
    void clearCallLog();

    // Blocks until every listener call due to changes made so far has returned.
    void waitForListeners();

    // --- Time -------------------------------------------------------------------------------
    double renderSampleRate() const;
    void setRenderSampleRate(double sampleRate);
    // Runs cycles on the calling thread.
    void render(std::uint32_t cycles, std::uint32_t framesPerCycle);
    // One thread running a cycle every period, at renderSampleRate(). Stopping waits for the
    // cycle in progress.
    void startRealTimeClock(std::chrono::milliseconds period = std::chrono::milliseconds(10));
    void stopRealTimeClock();
    bool isRealTimeClockRunning() const;

    // --- What devices played ----------------------------------------------------------------
    // See PlaybackRecording; nothing for an unknown device or channel.
    std::optional<std::vector<float>> playedSamples(AudioObjectID deviceID, std::uint32_t channel,
                                                    std::uint32_t frames) const;
    std::optional<float> playedLevel(AudioObjectID deviceID, std::uint32_t channel,
                                     std::uint32_t frames) const;
    std::optional<float> playedLevel(AudioObjectID deviceID, std::uint32_t frames) const;
    std::uint64_t framesPlayed(AudioObjectID deviceID) const;
    void clearPlayed();

private:
    struct Process;
    struct Device;
    struct Tap;
    struct IOProc;
    struct LevelMonitor;
    struct Recorder;
    class RecordingsWatch;
    using FailureKey =
        std::tuple<AudioObjectID, AudioObjectPropertySelector, AudioObjectPropertyScope>;
    struct PropertyValue;

    OSStatus readProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                          PropertyValue& out) const;
    // readProperty() for an interface call: under the world's lock, refused inside an IO block.
    OSStatus readForCall(AudioObjectID object, const AudioObjectPropertyAddress& address,
                         PropertyValue& out) const;
    // The property as the object holds it, without the injected read failures.
    OSStatus objectProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                            PropertyValue& out) const;
    OSStatus systemProperty(const AudioObjectPropertyAddress& address, PropertyValue& out) const;
    OSStatus processProperty(const Process& process, const AudioObjectPropertyAddress& address,
                             PropertyValue& out) const;
    OSStatus deviceProperty(const Device& device, const AudioObjectPropertyAddress& address,
                            PropertyValue& out) const;
    OSStatus tapProperty(const Tap& tap, const AudioObjectPropertyAddress& address,
                         PropertyValue& out) const;
    OSStatus monitorProperty(const LevelMonitor& monitor, const AudioObjectPropertyAddress& address,
                             PropertyValue& out) const;
    LevelMonitor* findMonitor(AudioObjectID id) const;
    // Every monitor takes this cycle's level of its processes, or of its recorder.
    void measureMonitors(std::uint32_t frames);
    // The linear gain of what the recorder with that level object receives; nothing for no
    // recorder listed with it.
    std::optional<double> recorderAmplitude(AudioObjectID levelObjectID) const;
    std::vector<RecordingApplication> listRecordings() const;
    std::string recorderSource(const Recorder& recorder) const;
    const Device* defaultInputLocked() const;

    bool objectExists(AudioObjectID object) const;
    // The first process of the object.
    Process* findProcess(AudioObjectID id) const;
    // Where the process plays when no tap mutes it; nothing when there is no such device.
    Device* playbackDevice(const Process& process) const;
    bool isObjectRunning(AudioObjectID id) const;
    Device* findDevice(AudioObjectID id) const;
    Device* findDeviceByUID(const std::string& uid) const;
    Tap* findTap(AudioObjectID id) const;
    Tap* findTapByUID(const std::string& uid) const;
    // The device's IO proc, or the status of a call naming one that does not exist.
    // Caller holds the lock.
    void notifyCarries(AudioObjectID deviceID);
    OSStatus findIOProc(AudioObjectID deviceID, AudioDeviceIOProcID ioProcID, IOProc*& proc) const;
    std::uint32_t outputStreamCount(const Device& device) const;
    std::uint32_t inputStreamCount(const Device& device) const;

    void setDefaultOutputLocked(AudioObjectID deviceID);
    void removeDeviceLocked(std::vector<std::unique_ptr<Device>>::iterator it,
                            std::vector<AudioDeviceIOBlock>& retiredBlocks);
    OSStatus injectedFailure(SimulatedOperation operation) const;
    void log(HardwareCall::Kind kind, AudioObjectID object, AudioDeviceIOProcID ioProcID,
             OSStatus status);

    void renderCycle(std::uint32_t frames);
    bool isMuted(AudioObjectID processID) const;
    // The devices that play what is sent to device: itself, or an aggregate's sub-devices.
    std::vector<Device*> playbackTargets(Device& device) const;
    void playUnrouted(Process& process, Device& output, std::uint32_t frames);
    void captureTap(Tap& tap, std::uint32_t frames);
    void runIOProcs(Device& device, std::uint32_t frames);

    mutable std::mutex mutex_;
    CallMixSettings callMix_;
    AudioObjectID nextObjectID_ = kAudioObjectSystemObject + 1;
    AudioDeviceIOProcID nextIOProcID_ = 1;
    std::vector<std::unique_ptr<Process>> processes_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<std::unique_ptr<Tap>> taps_;
    std::vector<std::unique_ptr<LevelMonitor>> monitors_;
    // The world's time, in frames rendered.
    std::uint64_t framesRendered_ = 0;
    // The process object of each bundle identifier ever added, and where another tool sent it.
    std::map<std::string, AudioObjectID> applicationObjects_;
    std::map<AudioObjectID, std::string> playbackTargets_;
    std::vector<std::unique_ptr<Recorder>> recorders_;
    std::map<std::string, AudioObjectID> recorderObjects_;
    RecordingChoices recordingChoices_;
    // Where another program put a recorder, until a choice for it is handed in.
    std::map<std::string, std::string> recorderMoves_;
    AudioObjectID defaultInput_ = kAudioObjectUnknown;
    AudioObjectID defaultOutput_ = kAudioObjectUnknown;
    std::map<FailureKey, OSStatus> readFailures_;
    std::map<SimulatedOperation, OSStatus> operationFailures_;
    // By sub-device UID: the status and words aggregates to it are refused with.
    std::map<std::string, std::pair<OSStatus, std::string>> connectionRefusals_;
    bool holdConnecting_ = false;
    std::vector<HardwareCall> callLog_;
    double renderSampleRate_ = kDefaultRenderSampleRate;

    mutable std::mutex clockMutex_;
    std::unique_ptr<PeriodicThread> clock_;

    // Last member: its thread is joined first, while the world is still whole.
    PropertyListenerDispatcher listeners_;
};

} // namespace kestrelamp::hal
