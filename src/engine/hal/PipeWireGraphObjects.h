#pragma once

// What the PipeWire service mirrors of the server's graph (its globals and the metadata it reads
// and writes), the links it asks for, and the processes and devices it lists from them. Owned by
// the service's Impl, used on its loop thread or with the loop locked.

#include "engine/hal/AudioHardware.h"
#include "engine/hal/ChannelMix.h"
#include "engine/hal/PipeWireAudioHardware.h"
#include "engine/hal/PipeWireProperties.h"
#include "engine/hal/ServerFailure.h"
#include "platform/ApplicationIdentity.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace kestrelamp::hal::pipewire {

using Impl = PipeWireAudioHardware::Impl;

enum class GlobalKind { client, node, device, port, link, metadata };

struct Global {
    Impl* impl = nullptr;
    std::uint32_t id = 0;
    GlobalKind kind = GlobalKind::node;
    PropertyMap properties;
    pw_proxy* proxy = nullptr;
    spa_hook proxyListener{};
    spa_hook objectListener{};
    pw_node_state state = PW_NODE_STATE_CREATING;
    // Once its info came: the registry announces only some of a node's properties.
    bool described = false;
    // From the node's current format: devices' rates, streams' channel layouts.
    std::optional<double> formatRate;
    ChannelLayout formatChannels;
    // Formats it took so far: one negotiated again counts.
    std::uint32_t formatChanges = 0;
    // A capture stream's Props: its first channel's volume and its mute.
    std::optional<float> propsVolume;
    bool propsMuted = false;

    // Read from the properties once whenever they change (mergeProperties), for the
    // comparisons that run over the whole graph on every change.
    std::string mediaClass;
    std::string nodeName;
    std::optional<std::int64_t> portNode;
    std::string portDirection;
    bool portMonitor = false;
    int portIndex = 0;
    std::optional<std::int64_t> linkOutputNode;
    std::optional<std::int64_t> linkInputNode;
    void mergeProperties(const spa_dict* dict);
};

struct Metadata {
    Impl* impl = nullptr;
    std::uint32_t id = 0;
    std::string name;
    pw_metadata* proxy = nullptr;
    spa_hook listener{};
    // (subject, key) → value
    std::map<std::pair<std::uint32_t, std::string>, std::string> values;
};

struct LinkProxy {
    Impl* impl = nullptr;
    pw_proxy* proxy = nullptr;
    spa_hook listener{};
    spa_hook linkListener{};
    // Paused or active once the server has negotiated it: from then on it carries audio.
    pw_link_state state = PW_LINK_STATE_INIT;
    std::uint32_t globalID = SPA_ID_INVALID;
    bool gone = false;
    // The node name of what it belongs to, for the log.
    std::string owner;
    // Why the server refused it, or the error it went into.
    std::optional<ServerFailure> refusal;
};

struct ProcessEntry {
    AudioObjectID id = kAudioObjectUnknown;
    std::string key;
    std::string bundleID;
    ApplicationIdentity identity;
    std::int32_t pid = 0;
    bool running = false;
    std::vector<std::uint32_t> streams;
};

struct DeviceEntry {
    AudioObjectID id = kAudioObjectUnknown;
    std::uint32_t nodeID = SPA_ID_INVALID;
    std::string uid;
    std::string name;
    std::string manufacturer;
    std::uint32_t outputStreams = 0;
    std::uint32_t inputStreams = 0;
    std::uint32_t transport = 0;
    double sampleRate = kFallbackEngineSampleRate;
};

// The server's graph as the service mirrors it: its globals, the metadata it reads and writes, and
// the indexes over them that the checks run on every change use.
struct GraphMirror {
    std::map<std::uint32_t, std::unique_ptr<Global>> globals;
    // The ids of the ports of each node: looking them up is what every change does most.
    std::unordered_map<std::int64_t, std::set<std::uint32_t>> portsByNode;
    std::unique_ptr<Metadata> defaultMetadata;
    std::unique_ptr<Metadata> settingsMetadata;
    // Rebuilt with the listing, once per change: the checks that run for every route look the
    // application's streams and a node's links up here instead of passing over the whole graph.
    std::map<std::string, std::vector<std::uint32_t>> streamsByProcess;
    std::unordered_map<std::int64_t, std::vector<std::int64_t>> linkInputsByOutput;
    // PulseAudio streams seen linked to a sink with their format set: their creation is done.
    std::unordered_set<std::uint32_t> streamsOnASink;
    struct SinkSighting {
        // It was linked to something that is not a sink before.
        bool elsewhereFirst = false;
        std::optional<std::chrono::steady_clock::time_point> since;
        std::uint32_t formatChanges = 0;
    };
    std::unordered_map<std::uint32_t, SinkSighting> sinkSightings;
    // The program each (client, process) runs under its host, once its command line was read;
    // forgotten with the client.
    mutable std::map<std::pair<std::uint32_t, std::int64_t>, std::string> hostedPrograms;
};

} // namespace kestrelamp::hal::pipewire
