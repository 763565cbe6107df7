#include "engine/hal/PipeWireHardwareImpl.h"

#include "platform/ProcessCommandLine.h"

#include <algorithm>
#include <cstdlib>

namespace kestrelamp::hal {

namespace {

constexpr const char* kDefaultSinkKey = "default.audio.sink";

std::vector<std::pair<AudioObjectID, double>> ratesOf(const auto& devices) {
    std::vector<std::pair<AudioObjectID, double>> rates;
    for (const auto& device : devices) {
        rates.emplace_back(device.id, device.sampleRate);
    }
    return rates;
}

} // namespace

// The client's process id, else the one the stream announces.
std::optional<std::int64_t> PipeWireAudioHardware::Impl::processIDOf(const Global& stream) const {
    const auto pid = integerProperty(linkedProperties(stream, PW_KEY_CLIENT_ID, GlobalKind::client),
                                     PW_KEY_APP_PROCESS_ID);
    return pid ? pid : integerProperty(stream.properties, PW_KEY_APP_PROCESS_ID);
}

ApplicationIdentity PipeWireAudioHardware::Impl::identityOf(const Global& stream) const {
    const PropertyMap& client = linkedProperties(stream, PW_KEY_CLIENT_ID, GlobalKind::client);
    return identifyApplication(client, stream.properties, [&](std::string_view host) {
        const auto pid = processIDOf(stream);
        if (!pid) {
            return std::string();
        }
        const auto clientID =
            std::uint32_t(integerProperty(stream.properties, PW_KEY_CLIENT_ID).value_or(0));
        const auto [it, inserted] = graph_.hostedPrograms.try_emplace({clientID, *pid});
        if (inserted) {
            it->second = hostedProgramOfProcess(*pid, host);
        }
        return it->second;
    });
}

// One process object per application: every client and process announcing the same identifier
// is one application, now and when it plays again later.
std::string PipeWireAudioHardware::Impl::processKeyOf(const Global& stream,
                                                      const std::string& bundleID) const {
    if (!bundleID.empty()) {
        return "app:" + bundleID;
    }
    if (const auto pid = processIDOf(stream)) {
        return "pid:" + std::to_string(*pid);
    }
    return "client:" +
           std::to_string(integerProperty(stream.properties, PW_KEY_CLIENT_ID).value_or(stream.id));
}

const std::vector<std::uint32_t>&
PipeWireAudioHardware::Impl::streamsOf(const std::string& processKey) const {
    static const std::vector<std::uint32_t> none;
    const auto it = graph_.streamsByProcess.find(processKey);
    return it != graph_.streamsByProcess.end() ? it->second : none;
}

bool PipeWireAudioHardware::Impl::linked(std::int64_t outputNode, std::int64_t inputNode) const {
    const auto it = graph_.linkInputsByOutput.find(outputNode);
    return it != graph_.linkInputsByOutput.end() &&
           std::find(it->second.begin(), it->second.end(), inputNode) != it->second.end();
}

void PipeWireAudioHardware::Impl::indexGraph(const std::vector<ProcessEntry>& processes) {
    graph_.streamsByProcess.clear();
    for (const ProcessEntry& process : processes) {
        graph_.streamsByProcess[process.key] = process.streams;
    }
    graph_.linkInputsByOutput.clear();
    for (const auto& [id, global] : graph_.globals) {
        if (global->kind == GlobalKind::link && global->linkOutputNode && global->linkInputNode) {
            graph_.linkInputsByOutput[*global->linkOutputNode].push_back(*global->linkInputNode);
        }
    }
    for (const ProcessEntry& process : processes) {
        for (const std::uint32_t id : process.streams) {
            const Global* stream = global(id, GlobalKind::node);
            const auto inputs = graph_.linkInputsByOutput.find(id);
            if (stream == nullptr || stream->formatChannels.empty() ||
                inputs == graph_.linkInputsByOutput.end() || graph_.streamsOnASink.count(id) > 0) {
                continue;
            }
            const bool onASink =
                std::any_of(inputs->second.begin(), inputs->second.end(), [&](std::int64_t node) {
                    const Global* input = global(std::uint32_t(node), GlobalKind::node);
                    return input != nullptr && (input->mediaClass == "Audio/Sink" ||
                                                input->mediaClass == "Audio/Duplex");
                });
            if (onASink) {
                graph_.streamsOnASink.insert(id);
            }
        }
    }
}

bool PipeWireAudioHardware::Impl::needsSinkFirst(std::uint32_t id) const {
    const Global* stream = global(id, GlobalKind::node);
    return stream != nullptr && graph_.streamsOnASink.count(id) == 0 &&
           propertyValue(stream->properties, PW_KEY_CLIENT_API) == "pipewire-pulse";
}

AudioObjectID PipeWireAudioHardware::Impl::idFor(std::map<std::string, AudioObjectID>& table,
                                                 const std::string& key) {
    const auto [it, inserted] = table.emplace(key, kAudioObjectUnknown);
    if (inserted) {
        it->second = nextObjectID_++;
    }
    return it->second;
}

void PipeWireAudioHardware::Impl::recompute() {
    std::vector<ProcessEntry> processes;
    std::vector<DeviceEntry> devices;
    const bool listing = connected() && initialSyncDone_;
    if (listing) {
        listGraph(processes, devices);
    }
    indexGraph(processes);
    useRouteRates(devices);
    std::sort(processes.begin(), processes.end(),
              [](const ProcessEntry& a, const ProcessEntry& b) { return a.id < b.id; });
    std::sort(devices.begin(), devices.end(),
              [](const DeviceEntry& a, const DeviceEntry& b) { return a.id < b.id; });
    if (listing) {
        appendAggregates(devices);
    }
    const AudioObjectID defaultOutput = listing ? defaultOutputIn(devices) : kAudioObjectUnknown;
    publishListing(std::move(processes), std::move(devices), defaultOutput);
    listRecordings();
}

void PipeWireAudioHardware::Impl::listGraph(std::vector<ProcessEntry>& processes,
                                            std::vector<DeviceEntry>& devices) {
    recordings_.captureStreams.clear();
    for (const auto& [id, globalPtr] : graph_.globals) {
        Global& node = *globalPtr;
        if (node.kind != GlobalKind::node) {
            continue;
        }
        if (node.mediaClass == kPlaybackStreamClass) {
            // Until then it may not show whose it is.
            if (node.described) {
                addStream(processes, node);
            }
        } else if (node.mediaClass == pipewire::kRecordingStreamClass) {
            recordings_.captureStreams.push_back(id);
        } else if (isJackPlayer(node)) {
            describeJackPlayer(node);
            addStream(processes, node);
        } else if (auto entry = deviceEntryFor(node, node.mediaClass)) {
            devices.push_back(std::move(*entry));
        }
    }
}

void PipeWireAudioHardware::Impl::addStream(std::vector<ProcessEntry>& processes,
                                            const Global& stream) {
    ApplicationIdentity identity = identityOf(stream);
    const std::string key = processKeyOf(stream, identity.key);
    auto entry = std::find_if(processes.begin(), processes.end(),
                              [&](const ProcessEntry& p) { return p.key == key; });
    if (entry == processes.end()) {
        ProcessEntry process;
        process.id = idFor(processIDs_, key);
        process.key = key;
        process.bundleID = identity.key;
        process.identity = std::move(identity);
        process.pid = std::int32_t(processIDOf(stream).value_or(0));
        processes.push_back(std::move(process));
        entry = std::prev(processes.end());
    }
    entry->streams.push_back(stream.id);
    // A JACK program's node runs whether or not anything hears it.
    entry->running = entry->running || (stream.state == PW_NODE_STATE_RUNNING &&
                                        (!stream.mediaClass.empty() || hasOutputLinks(stream.id)));
}

std::optional<PipeWireAudioHardware::Impl::DeviceEntry>
PipeWireAudioHardware::Impl::deviceEntryFor(const Global& node, const std::string& mediaClass) {
    // Ours is listed as both: routes play into it, recorders record from it. Other virtual sources
    // (a noise filter's, a test's) are inputs like any.
    const bool callMix = isCallMixNode(node);
    const bool sink = mediaClass == "Audio/Sink" || mediaClass == "Audio/Duplex" || callMix;
    const bool source = mediaClass == "Audio/Source" || mediaClass == "Audio/Duplex" ||
                        mediaClass == "Audio/Source/Virtual" || callMix;
    const auto nodeName = propertyValue(node.properties, PW_KEY_NODE_NAME);
    if ((!sink && !source) || !nodeName) {
        return std::nullopt;
    }
    DeviceEntry device;
    device.id = idFor(
        deviceIDs_,
        propertyValue(node.properties, PW_KEY_OBJECT_SERIAL).value_or(std::to_string(node.id)));
    device.nodeID = node.id;
    device.uid = *nodeName;
    device.name =
        propertyValue(node.properties, PW_KEY_NODE_DESCRIPTION)
            .value_or(propertyValue(node.properties, PW_KEY_NODE_NICK).value_or(*nodeName));
    const PropertyMap& parentProperties =
        linkedProperties(node, PW_KEY_DEVICE_ID, GlobalKind::device);
    device.manufacturer =
        propertyValue(parentProperties, PW_KEY_DEVICE_VENDOR_NAME).value_or(std::string());
    device.outputStreams = sink ? 1 : 0;
    device.inputStreams = source ? 1 : 0;
    device.transport = transportTypeFor(node.properties, parentProperties);
    device.sampleRate = nodeSampleRate(node);
    return device;
}

// Its current format's rate, else the one it announces, else the graph's.
double PipeWireAudioHardware::Impl::nodeSampleRate(const Global& node) const {
    double rate = 0;
    if (node.formatRate) {
        rate = *node.formatRate;
    } else if (const auto announced = integerProperty(node.properties, PW_KEY_AUDIO_RATE)) {
        rate = double(*announced);
    } else if (graph_.settingsMetadata) {
        const auto it = graph_.settingsMetadata->values.find({0, "clock.rate"});
        if (it != graph_.settingsMetadata->values.end()) {
            rate = std::atof(it->second.c_str());
        }
    }
    return rate > 0 ? rate : kFallbackEngineSampleRate;
}

// A device one of our routes plays on runs at the rate the graph runs its route at, which a
// device's format does not always tell (a virtual sink resamples).
void PipeWireAudioHardware::Impl::useRouteRates(std::vector<DeviceEntry>& devices) const {
    for (DeviceEntry& device : devices) {
        for (const auto& [id, aggregate] : aggregates_) {
            const std::uint32_t rate = aggregate->cycleRate.load(std::memory_order_relaxed);
            if (rate > 0 && aggregate->filter != nullptr &&
                aggregate->description.subDeviceUIDs.front() == device.uid) {
                device.sampleRate = rate;
            }
        }
    }
}

// Our aggregates, listed while their filter is up.
void PipeWireAudioHardware::Impl::appendAggregates(std::vector<DeviceEntry>& devices) const {
    for (const auto& [id, aggregate] : aggregates_) {
        if (aggregate->filter == nullptr) {
            continue;
        }
        DeviceEntry device;
        device.id = id;
        device.uid = aggregate->description.uid;
        device.name = aggregate->description.name;
        device.manufacturer = "Kestrelamp";
        device.outputStreams = 1;
        device.inputStreams = 1;
        device.transport = fourCharCode("grup");
        const auto& subDeviceUIDs = aggregate->description.subDeviceUIDs;
        const auto sub = std::find_if(devices.begin(), devices.end(), [&](const DeviceEntry& d) {
            return !subDeviceUIDs.empty() && d.uid == subDeviceUIDs.front();
        });
        if (sub != devices.end()) {
            device.sampleRate = sub->sampleRate;
        }
        device.nodeID = filterNodeID(aggregate->filter);
        devices.push_back(std::move(device));
    }
}

AudioObjectID
PipeWireAudioHardware::Impl::defaultOutputIn(const std::vector<DeviceEntry>& devices) const {
    if (!graph_.defaultMetadata) {
        return kAudioObjectUnknown;
    }
    const auto it = graph_.defaultMetadata->values.find({0, kDefaultSinkKey});
    const auto name =
        it != graph_.defaultMetadata->values.end() ? defaultNodeName(it->second) : std::nullopt;
    for (const DeviceEntry& device : devices) {
        if (name && device.uid == *name && device.outputStreams > 0) {
            return device.id;
        }
    }
    return kAudioObjectUnknown;
}

void PipeWireAudioHardware::Impl::publishListing(std::vector<ProcessEntry> processes,
                                                 std::vector<DeviceEntry> devices,
                                                 AudioObjectID defaultOutput) {
    // A rate of its own changes what a device is, so it counts as a change of the list.
    const bool devicesChanged = ratesOf(devices) != ratesOf(devices_);
    const bool processesChanged = idsOf(processes) != idsOf(processes_);
    const bool defaultChanged = defaultOutput != defaultOutput_;
    std::vector<AudioObjectID> runningChanged;
    for (const ProcessEntry& entry : processes) {
        const ProcessEntry* before = process(entry.id);
        if (before != nullptr && before->running != entry.running) {
            runningChanged.push_back(entry.id);
        }
    }

    processes_ = std::move(processes);
    devices_ = std::move(devices);
    defaultOutput_ = defaultOutput;

    if (shuttingDown_) {
        return;
    }
    if (devicesChanged) {
        dispatcher.notify(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDevices));
    }
    if (defaultChanged) {
        dispatcher.notify(kAudioObjectSystemObject,
                          globalAddress(kAudioHardwarePropertyDefaultOutputDevice));
    }
    if (processesChanged) {
        dispatcher.notify(kAudioObjectSystemObject,
                          globalAddress(kAudioHardwarePropertyProcessObjectList));
    }
    for (const AudioObjectID id : runningChanged) {
        dispatcher.notify(id, globalAddress(kAudioProcessPropertyIsRunning));
    }
}

const PipeWireAudioHardware::Impl::ProcessEntry*
PipeWireAudioHardware::Impl::process(AudioObjectID id) const {
    const auto it = std::find_if(processes_.begin(), processes_.end(),
                                 [&](const ProcessEntry& p) { return p.id == id; });
    return it != processes_.end() ? &*it : nullptr;
}

const PipeWireAudioHardware::Impl::DeviceEntry*
PipeWireAudioHardware::Impl::device(AudioObjectID id) const {
    const auto it = std::find_if(devices_.begin(), devices_.end(),
                                 [&](const DeviceEntry& d) { return d.id == id; });
    return it != devices_.end() ? &*it : nullptr;
}

const PipeWireAudioHardware::Impl::DeviceEntry*
PipeWireAudioHardware::Impl::deviceByUID(const std::string& uid) const {
    const auto it = std::find_if(devices_.begin(), devices_.end(), [&](const DeviceEntry& d) {
        return d.uid == uid && aggregates_.count(d.id) == 0;
    });
    return it != devices_.end() ? &*it : nullptr;
}

// "target.node" holds a node id; "target.object" a serial or a node name.
const PipeWireAudioHardware::Impl::Global*
PipeWireAudioHardware::Impl::nodeForTarget(const std::string& key, const std::string& value) const {
    const PropertyMap byValue{{"value", value}};
    const auto number = integerProperty(byValue, "value");
    if (!number) {
        return nodeNamed(value);
    }
    for (const auto& [id, global] : graph_.globals) {
        const bool matches =
            key == kTargetNodeKey
                ? global->id == std::uint32_t(*number)
                : integerProperty(global->properties, PW_KEY_OBJECT_SERIAL) == *number;
        if (global->kind == GlobalKind::node && matches) {
            return global.get();
        }
    }
    return nullptr;
}

const PipeWireAudioHardware::Impl::DeviceEntry*
PipeWireAudioHardware::Impl::outputDeviceForTarget(const std::string& key,
                                                   const std::string& value) const {
    const Global* node = nodeForTarget(key, value);
    if (node == nullptr) {
        return nullptr;
    }
    const auto it = std::find_if(devices_.begin(), devices_.end(), [&](const DeviceEntry& d) {
        return d.nodeID == node->id && d.outputStreams > 0 && aggregates_.count(d.id) == 0;
    });
    return it != devices_.end() ? &*it : nullptr;
}

} // namespace kestrelamp::hal
