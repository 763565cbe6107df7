#pragma once

// The objects the PipeWire service makes for the interface: capture sinks standing for taps, the
// taps, one filter per device running every route to it, aggregates (a route's ports, links and
// IO blocks on that filter), level monitors and IO procs. Owned by the service's Impl, used on its
// loop thread or with the loop locked, apart from what is marked real-time.

#include "engine/hal/IOProcSlots.h"
#include "engine/hal/JackConnections.h"
#include "engine/hal/PipeWireGraphObjects.h"
#include "engine/hal/StreamTargets.h"

#include <pipewire/filter.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrelamp::hal::pipewire {

struct Aggregate;

// Our links, by their output and input port.
using LinkMap = std::map<std::pair<std::uint32_t, std::uint32_t>, std::unique_ptr<LinkProxy>>;

// The node that one application's streams are moved to while it is tapped. Every tap of the
// application shares it until another client moves one of its streams elsewhere: then it is
// released, holds no stream any more, and later taps get a sink of their own.
struct CaptureSink {
    Impl* impl = nullptr;
    std::uint64_t serial = 0;
    std::string processKey;
    std::string nodeName;
    std::string description;
    // Stereo for a mixdown, else the application's widest layout when the sink was made.
    bool mixdown = true;
    ChannelLayout channels;
    pw_proxy* proxy = nullptr;
    spa_hook listener{};
    std::uint32_t nodeID = SPA_ID_INVALID;
    bool failed = false;
    // What the server said when it refused the node; the aggregates reading it fail with it.
    std::optional<ServerFailure> failure;
    int users = 0;
    StreamTargets targets;
    // JACK programs' streams are held by links of ours, not by a target entry.
    JackConnections jack;
    LinkMap jackLinks;
    // The application's streams are moved only once an aggregate plays what the sink hears:
    // before that they would play into a node nobody reads.
    bool holding = false;
    // Read by an aggregate at some time: from then on only a playing aggregate makes it hold.
    bool claimed = false;
    // A tap no aggregate reads holds from then on.
    std::chrono::steady_clock::time_point unclaimedHoldAt;
    // Going away: gives its streams back and takes no more.
    bool lettingGo = false;
    bool released = false;
    std::string releaseDeviceUID;
};

struct Tap {
    AudioObjectID id = kAudioObjectUnknown;
    std::string uid;
    std::vector<std::uint64_t> sinks;
    // What a "thbk" write gave back, until it plays elsewhere.
    std::vector<std::uint32_t> givenBack;
};

// The ports a device filter plays on its device, shared by every route to the device in that
// layout: the callback sums the routes into them, so the device hears one link per channel from
// us however many routes play on it.
struct FilterOutputs {
    ChannelLayout channels;
    // What their names begin with.
    std::string portGroup;
    std::vector<void*> ports;
    int users = 0;
    LinkMap links;
    // Real-time only: this cycle's buffers, and the cycle they were taken in.
    std::vector<float*> data;
    std::uint64_t takenInCycle = 0;
};

// One filter of ours per device that routes play on: every route to the device runs in its
// one callback, so the graph wakes us once a cycle per device, not once per route. Each
// route has its own input ports on it; the outputs are shared.
struct DeviceFilter {
    Impl* impl = nullptr;
    std::string deviceUID;
    std::string nodeName;
    pw_filter* filter = nullptr;
    spa_hook listener{};
    std::optional<ServerFailure> failure;
    // The routes with ports on it, on the loop thread.
    std::vector<Aggregate*> members;
    // The routes its callback runs: the real-time thread's own, handed over by an invoke on
    // the data loop (renderMembers).
    std::vector<Aggregate*> rendering;
    std::vector<std::unique_ptr<FilterOutputs>> outputs;
    std::uint32_t nextPortGroup = 1;
    // Real-time only: counts the callback's cycles.
    std::uint64_t cycle = 0;
};

struct Aggregate {
    Impl* impl = nullptr;
    AudioObjectID id = kAudioObjectUnknown;
    AggregateDeviceDescription description;
    std::vector<AudioObjectID> taps;
    // The blocks see the first tap's channels; the filter plays them on the sub-device's.
    ChannelLayout inputChannels;
    ChannelLayout outputChannels;
    // The device's filter while its ports are there, what its input ports' names begin with,
    // and the outputs it plays into.
    DeviceFilter* filter = nullptr;
    std::string portGroup;
    std::vector<void*> inputPorts;
    FilterOutputs* outputs = nullptr;
    std::unique_ptr<ChannelMixer> mixer;
    // Filled and used by the real-time callback only.
    std::vector<const float*> inputData;
    std::vector<float*> blockOutput;
    std::vector<float> blockSamples;
    std::unique_ptr<IOProcSlots> slots;
    // Into its input ports; those from the outputs are theirs.
    LinkMap links;
    bool failed = false;
    // Going away: no longer counts as playing what its taps hear.
    bool closing = false;
    // Until its links are first in place, the server has until then to make them.
    std::chrono::steady_clock::time_point connectBy;
    bool linkedOnce = false;
    // Why the server could not connect it; noErr while it is or still may be.
    OSStatus connectFailure = noErr;
    // The same in words, as "why?" reads it.
    std::string connectFailureReason;
    // What the server said when the filter failed, and when it last refused one of its links.
    std::optional<ServerFailure> filterFailure;
    std::optional<ServerFailure> linkRefusal;
    // What "acr?" listeners last heard: a failure, 0 or 1.
    std::optional<OSStatus> toldCarries;
    // The rate the graph ran the filter at last, which is the rate its sub-device runs at.
    std::atomic<std::uint32_t> cycleRate{0};
};

// A filter of ours with one input port per channel of the application's streams, linked
// passively from their output ports: it runs only in cycles in which they play anyway.
struct LevelMonitor {
    Impl* impl = nullptr;
    AudioObjectID id = kAudioObjectUnknown;
    std::string processKey;
    // It measures what the recording application of that key receives, not what one plays.
    bool recording = false;
    std::string nodeName;
    ChannelLayout channels;
    pw_filter* filter = nullptr;
    spa_hook filterListener{};
    std::vector<void*> ports;
    LinkMap links;
    // The window being measured, by the real-time callback only.
    double windowSquares = 0.0;
    float windowPeak = 0.0f;
    std::uint64_t windowSamples = 0;
    std::uint64_t windowNsec = 0;
    // Published by the real-time callback: the last whole window.
    std::atomic<float> rms{0.0f};
    std::atomic<float> peak{0.0f};
    std::atomic<std::uint64_t> playedAtNsec{0};
};

struct IOProc {
    AudioObjectID deviceID = kAudioObjectUnknown;
    std::size_t slot = 0;
    bool started = false;
};

// The call mix: a virtual source of ours that recorders record from and routes play into, and,
// while something records from it, a filter that mixes the chosen microphone into it.
struct CallMix {
    Impl* impl = nullptr;
    CallMixSettings settings;
    pw_proxy* proxy = nullptr;
    spa_hook listener{};
    std::uint32_t nodeID = SPA_ID_INVALID;
    std::optional<ServerFailure> failure;
    pw_filter* microphoneFilter = nullptr;
    spa_hook filterListener{};
    // FL and FR, in and out.
    std::vector<void*> inputPorts;
    std::vector<void*> outputPorts;
    LinkMap links;
    // What the real-time callback multiplies the microphone by: 0 while muted.
    std::atomic<float> microphoneGain{1.0f};
};

} // namespace kestrelamp::hal::pipewire
