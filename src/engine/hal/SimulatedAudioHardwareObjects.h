#pragma once

// The objects of the simulated world, shared by the simulator's own sources only.

#include "engine/hal/SimulatedAudioHardware.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrelamp::hal {
namespace detail {

// Set on the thread that is inside an IO block: the block runs under the world's lock.
inline thread_local bool insideIOBlock = false;

struct InsideIOBlock {
    InsideIOBlock() { insideIOBlock = true; }
    ~InsideIOBlock() { insideIOBlock = false; }
    InsideIOBlock(const InsideIOBlock&) = delete;
    InsideIOBlock& operator=(const InsideIOBlock&) = delete;
};

} // namespace detail

struct SimulatedAudioHardware::Process {
    AudioObjectID id = kAudioObjectUnknown;
    // Its bundleID is the key it is listed under.
    SimulatedProcess config;
    ApplicationIdentity identity;
    SignalGenerator generator;
    std::vector<float> samples; // this cycle, channel after channel
    // Onto each device it plays on unrouted, by device id.
    std::map<AudioObjectID, std::unique_ptr<ChannelMixer>> playbackMixers;

    ChannelLayout layout() const {
        const std::uint32_t channels = config.signal.channels;
        return config.layout.size() == channels ? config.layout : defaultChannelLayout(channels);
    }
};

struct SimulatedAudioHardware::IOProc {
    AudioDeviceIOProcID id = kAudioDeviceIOProcIDNone;
    AudioDeviceIOBlock block;
    bool started = false;
};

struct SimulatedAudioHardware::Device {
    explicit Device(std::uint32_t recordedChannels)
        : recording(recordedChannels, kRecordingCapacityFrames) {}

    AudioObjectID id = kAudioObjectUnknown;
    SimulatedDevice config;
    std::optional<AggregateDeviceDescription> aggregate;
    // An aggregate's connection: nothing while the service is still making it, else its answer,
    // and the words of a refusal ("why?"; the status's own when empty).
    std::optional<OSStatus> connection = noErr;
    std::string connectionFailure;
    PlaybackRecording recording;
    std::vector<float> mix; // what it plays this cycle, channel after channel
    std::vector<IOProc> ioProcs;
    // Buffers handed to the blocks, kept between cycles so that a cycle does not allocate.
    std::vector<float> capturedInput;
    std::vector<float> blockInput;
    std::vector<float> blockOutput;
    std::vector<AudioBuffer> inputBuffers;
    std::vector<AudioBuffer> outputBuffers;
    // What its blocks wrote this cycle, summed.
    std::vector<float> blocksOutput;
    // An aggregate's taps' layouts one after the other, and its mixers onto its sub-devices, by
    // device id.
    ChannelLayout inputLayout;
    std::map<AudioObjectID, std::unique_ptr<ChannelMixer>> subDeviceMixers;

    std::uint32_t playbackChannels() const {
        return !aggregate && config.outputStreams > 0 ? config.outputChannels : 0;
    }
    ChannelLayout playbackLayout() const {
        const std::uint32_t channels = playbackChannels();
        return config.outputLayout.size() == channels ? config.outputLayout
                                                      : defaultChannelLayout(channels);
    }
};

struct SimulatedAudioHardware::Tap {
    AudioObjectID id = kAudioObjectUnknown;
    std::string uid;
    CATapDescription description;
    std::vector<float> samples;
    std::uint32_t channels = 0;
    ChannelLayout layout;
    // Without mixdown: each process onto the tap's layout.
    std::map<const Process*, std::unique_ptr<ChannelMixer>> processMixers;
    // Another tool took its processes: it captures and mutes nothing any more.
    bool released = false;
    std::string releaseDeviceUID;
    // "thbk" was written: it captures and mutes nothing any more.
    bool handingBack = false;

    bool holds(AudioObjectID process) const {
        return !released && !handingBack &&
               std::find(description.processes.begin(), description.processes.end(), process) !=
                   description.processes.end();
    }
};

struct SimulatedAudioHardware::LevelMonitor {
    AudioObjectID id = kAudioObjectUnknown;
    AudioObjectID process = kAudioObjectUnknown;
    double rmsDb = kAudioLevelMonitorSilenceDb;
    double peakDb = kAudioLevelMonitorSilenceDb;
    // The window being measured.
    double sumSquares = 0.0;
    double peak = 0.0;
    std::uint64_t samples = 0;
    std::uint64_t frames = 0;
    // The world's time at the end of the last cycle its processes played in.
    std::optional<std::uint64_t> playedUntil;
};

struct SimulatedAudioHardware::Recorder {
    SimulatedRecorder config;
    AudioObjectID levelObjectID = kAudioObjectUnknown;
};

// Notifies "rec#" when the listing differs at its end from what it was at its start; made and
// ended under the world's lock.
class SimulatedAudioHardware::RecordingsWatch {
public:
    explicit RecordingsWatch(SimulatedAudioHardware& hardware)
        : hardware_(hardware)
        , before_(hardware.listRecordings()) {}
    ~RecordingsWatch() {
        if (hardware_.listRecordings() != before_) {
            hardware_.listeners_.notify(kAudioObjectSystemObject,
                                        globalAddress(kAudioHardwarePropertyRecordingApplications));
        }
    }
    RecordingsWatch(const RecordingsWatch&) = delete;
    RecordingsWatch& operator=(const RecordingsWatch&) = delete;

private:
    SimulatedAudioHardware& hardware_;
    std::vector<RecordingApplication> before_;
};

} // namespace kestrelamp::hal
