#include "engine/hal/PipeWireHardwareImpl.h"

#include <QUuid>

#include <algorithm>
#include <cmath>
#include <ctime>

namespace kestrelamp::hal {

namespace {

using Impl = PipeWireAudioHardware::Impl;

std::string inputPortName(ChannelPosition channel) {
    return "input_" + channelPositionName(channel);
}

std::uint64_t monotonicNsec() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * SPA_NSEC_PER_SEC + std::uint64_t(now.tv_nsec);
}

double decibels(float magnitude) {
    return std::max(20.0 * std::log10(std::max(double(magnitude), 1e-12)),
                    kAudioLevelMonitorSilenceDb);
}

const pw_filter_events kMonitorEvents = [] {
    pw_filter_events events{};
    events.version = PW_VERSION_FILTER_EVENTS;
    events.state_changed = &Impl::onMonitorState;
    events.process = &Impl::onMonitorProcess;
    return events;
}();

} // namespace

PipeWireAudioHardware::Impl::MonitorGraph PipeWireAudioHardware::Impl::monitorGraph() const {
    MonitorGraph graph;
    for (const auto& [id, global] : graph_.globals) {
        if (global->kind == GlobalKind::port && !global->portMonitor && global->portNode &&
            !global->portDirection.empty()) {
            graph.ports[{std::uint32_t(*global->portNode), global->portDirection}].push_back(
                global.get());
        }
    }
    const bool recordings = std::any_of(monitors_.begin(), monitors_.end(),
                                        [](const auto& entry) { return entry.second->recording; });
    for (const auto& [id, global] : graph_.globals) {
        if (recordings && global->kind == GlobalKind::link) {
            const auto input = integerProperty(global->properties, PW_KEY_LINK_INPUT_PORT);
            const auto output = integerProperty(global->properties, PW_KEY_LINK_OUTPUT_PORT);
            if (input && output) {
                graph.linkOutputsByInputPort[std::uint32_t(*input)].push_back(
                    std::uint32_t(*output));
            }
        }
    }
    for (auto& [key, ports] : graph.ports) {
        std::sort(ports.begin(), ports.end(),
                  [](const Global* a, const Global* b) { return a->portIndex < b->portIndex; });
    }
    return graph;
}

namespace {

const std::vector<const Impl::Global*>& portsIn(const Impl::MonitorGraph& graph, std::uint32_t node,
                                                const char* direction) {
    static const std::vector<const Impl::Global*> none;
    const auto it = graph.ports.find({node, direction});
    return it != graph.ports.end() ? it->second : none;
}

} // namespace

// What a monitor listens to: each output port of an application's streams, or, for a recording,
// each port its capture streams' inputs are linked from, with the channel it is heard on.
std::vector<std::pair<const Impl::Global*, std::string>>
PipeWireAudioHardware::Impl::monitoredPorts(const LevelMonitor& monitor,
                                            const MonitorGraph& graph) const {
    std::vector<std::pair<const Global*, std::string>> ports;
    if (!monitor.recording) {
        for (const std::uint32_t stream : streamsOf(monitor.processKey)) {
            for (const Global* output : portsIn(graph, stream, "out")) {
                if (auto channel = propertyValue(output->properties, PW_KEY_AUDIO_CHANNEL)) {
                    ports.emplace_back(output, std::move(*channel));
                }
            }
        }
        return ports;
    }
    const auto streams = recordings_.streamsByApplication.find(monitor.processKey);
    if (streams == recordings_.streamsByApplication.end()) {
        return ports;
    }
    for (const std::uint32_t stream : streams->second) {
        for (const Global* input : portsIn(graph, stream, "in")) {
            const auto channel = propertyValue(input->properties, PW_KEY_AUDIO_CHANNEL);
            const auto links = graph.linkOutputsByInputPort.find(input->id);
            if (!channel || links == graph.linkOutputsByInputPort.end()) {
                continue;
            }
            for (const std::uint32_t outputPort : links->second) {
                if (const Global* output = global(outputPort, GlobalKind::port)) {
                    ports.emplace_back(output, *channel);
                }
            }
        }
    }
    return ports;
}

ChannelLayout PipeWireAudioHardware::Impl::monitorChannels(const LevelMonitor& monitor,
                                                           const MonitorGraph& graph) const {
    ChannelLayout channels;
    for (const auto& [port, name] : monitoredPorts(monitor, graph)) {
        const auto channel = channelPositionFromName(name);
        if (channel && std::find(channels.begin(), channels.end(), *channel) == channels.end()) {
            channels.push_back(*channel);
        }
    }
    return channels;
}

// Each output port of each of the application's streams to our port of the same channel; several
// streams on one port are summed, as the device they play on sums them.
std::vector<std::pair<std::uint32_t, std::uint32_t>>
PipeWireAudioHardware::Impl::wantedMonitorLinks(const LevelMonitor& monitor,
                                                const MonitorGraph& graph) const {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> links;
    const std::uint32_t nodeID =
        monitor.filter != nullptr ? pw_filter_get_node_id(monitor.filter) : SPA_ID_INVALID;
    if (nodeID == SPA_ID_INVALID) {
        return links;
    }
    const auto& inputs = portsIn(graph, nodeID, "in");
    for (const auto& [output, channel] : monitoredPorts(monitor, graph)) {
        const std::string name = "input_" + channel;
        const auto input = std::find_if(inputs.begin(), inputs.end(), [&](const Global* port) {
            return propertyValue(port->properties, PW_KEY_PORT_NAME) == name;
        });
        if (input != inputs.end()) {
            links.emplace_back(output->id, (*input)->id);
        }
    }
    return links;
}

void PipeWireAudioHardware::Impl::reconcileMonitors() {
    if (monitors_.empty()) {
        return;
    }
    const MonitorGraph graph = monitorGraph();
    for (auto& [id, monitor] : monitors_) {
        reconcileMonitor(*monitor, graph);
    }
}

void PipeWireAudioHardware::Impl::startMonitor(LevelMonitor& monitor) {
    if (monitor.filter != nullptr || !connected()) {
        return;
    }
    Properties properties = ownProperties();
    pw_properties_set(properties.get(), PW_KEY_NODE_NAME, monitor.nodeName.c_str());
    pw_properties_set(properties.get(), PW_KEY_NODE_DESCRIPTION, "Kestrelamp level monitor");
    pw_properties_set(properties.get(), PW_KEY_MEDIA_TYPE, "Audio");
    pw_properties_set(properties.get(), PW_KEY_MEDIA_CATEGORY, "Monitor");
    pw_properties_set(properties.get(), PW_KEY_MEDIA_ROLE, "DSP");
    pw_properties_set(properties.get(), PW_KEY_NODE_VIRTUAL, "true");
    // Never a reason for anything to run, never the one that drives, never moved or linked by the
    // session manager: it only listens in on cycles that run anyway.
    pw_properties_set(properties.get(), PW_KEY_NODE_PASSIVE, "true");
    pw_properties_set(properties.get(), PW_KEY_NODE_DRIVER, "false");
    pw_properties_set(properties.get(), PW_KEY_NODE_AUTOCONNECT, "false");
    pw_properties_set(properties.get(), PW_KEY_NODE_DONT_RECONNECT, "true");
    pw_properties_set(properties.get(), PW_KEY_OBJECT_LINGER, "false");
    monitor.filter = pw_filter_new(core_, monitor.nodeName.c_str(), properties.release());
    if (monitor.filter == nullptr) {
        return;
    }
    pw_filter_add_listener(monitor.filter, &monitor.filterListener, &kMonitorEvents, &monitor);
    monitor.ports.clear();
    for (const ChannelPosition channel : monitor.channels) {
        const std::string name = inputPortName(channel);
        pw_properties* portProperties = pw_properties_new(
            PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME, name.c_str(),
            PW_KEY_AUDIO_CHANNEL, channelPositionName(channel).c_str(), nullptr);
        monitor.ports.push_back(pw_filter_add_port(monitor.filter, PW_DIRECTION_INPUT,
                                                   PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
                                                   portProperties, nullptr, 0));
    }
    // A monitor the server refuses reads silence, as one whose application plays nothing.
    pw_filter_connect(monitor.filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0);
}

void PipeWireAudioHardware::Impl::stopMonitor(LevelMonitor& monitor) {
    for (auto& [ports, link] : monitor.links) {
        releaseProxy(link->proxy, link->listener, SPA_ID_INVALID);
    }
    monitor.links.clear();
    if (monitor.filter != nullptr) {
        spa_hook_remove(&monitor.filterListener);
        // Returns once the real-time callback is no longer running.
        pw_filter_destroy(monitor.filter);
        monitor.filter = nullptr;
    }
    monitor.ports.clear();
}

void PipeWireAudioHardware::Impl::reconcileMonitor(LevelMonitor& monitor,
                                                   const MonitorGraph& graph) {
    fitMonitorChannels(monitor, graph);
    startMonitor(monitor);
    if (monitor.filter == nullptr) {
        return;
    }
    const auto wanted = wantedMonitorLinks(monitor, graph);
    std::erase_if(monitor.links, [&](const auto& entry) {
        LinkProxy& link = *entry.second;
        const bool stillWanted =
            std::find(wanted.begin(), wanted.end(), entry.first) != wanted.end();
        if (link.gone || !stillWanted) {
            releaseProxy(link.proxy, link.listener, link.gone ? SPA_ID_INVALID : link.globalID);
            return true;
        }
        return false;
    });
    for (const auto& [outputPort, inputPort] : wanted) {
        if (monitor.links.count({outputPort, inputPort}) > 0) {
            continue;
        }
        if (auto link = makeLink(outputPort, inputPort, LinkKind::passive, monitor.nodeName)) {
            monitor.links[{outputPort, inputPort}] = std::move(link);
        }
    }
}

// A stream with a channel the filter has no port for: the filter is made again to match.
void PipeWireAudioHardware::Impl::fitMonitorChannels(LevelMonitor& monitor,
                                                     const MonitorGraph& graph) {
    auto channels = monitorChannels(monitor, graph);
    if (channels.empty()) {
        channels = monitor.channels.empty() ? defaultChannelLayout(2) : monitor.channels;
    }
    const auto hasPort = [&](ChannelPosition channel) {
        return std::find(monitor.channels.begin(), monitor.channels.end(), channel) !=
               monitor.channels.end();
    };
    if (std::all_of(channels.begin(), channels.end(), hasPort)) {
        return;
    }
    stopMonitor(monitor);
    for (const ChannelPosition channel : channels) {
        if (!hasPort(channel)) {
            monitor.channels.push_back(channel);
        }
    }
}

void PipeWireAudioHardware::Impl::onMonitorState(void* data, pw_filter_state, pw_filter_state state,
                                                 const char* error) {
    auto* monitor = static_cast<LevelMonitor*>(data);
    if (state == PW_FILTER_STATE_ERROR) {
        const ServerFailure failure{"", 0, error != nullptr ? error : ""};
        monitor->impl->reportServerError(failure.logLine("level monitor " + monitor->nodeName));
    }
    monitor->impl->changedSoon();
    pw_thread_loop_signal(monitor->impl->loop_, false);
}

void PipeWireAudioHardware::Impl::onMonitorProcess(void* data, spa_io_position* position) {
    auto* monitor = static_cast<LevelMonitor*>(data);
    if (position == nullptr || position->clock.rate.denom == 0) {
        return;
    }
    const auto frames = std::uint32_t(position->clock.duration);
    std::uint64_t samples = 0;
    for (void* port : monitor->ports) {
        const auto* buffer = static_cast<const float*>(pw_filter_get_dsp_buffer(port, frames));
        if (buffer == nullptr) {
            continue;
        }
        for (std::uint32_t i = 0; i < frames; ++i) {
            monitor->windowSquares += double(buffer[i]) * buffer[i];
            monitor->windowPeak = std::max(monitor->windowPeak, std::fabs(buffer[i]));
        }
        samples += frames;
    }
    if (samples == 0) {
        return;
    }
    monitor->windowSamples += samples;
    monitor->windowNsec += std::uint64_t(frames) * SPA_NSEC_PER_SEC * position->clock.rate.num /
                           position->clock.rate.denom;
    if (monitor->windowNsec < std::uint64_t(kAudioLevelMonitorWindowMs) * SPA_NSEC_PER_MSEC) {
        return;
    }
    monitor->rms.store(float(std::sqrt(monitor->windowSquares / double(monitor->windowSamples))),
                       std::memory_order_relaxed);
    monitor->peak.store(monitor->windowPeak, std::memory_order_relaxed);
    monitor->playedAtNsec.store(monotonicNsec(), std::memory_order_relaxed);
    monitor->windowSquares = 0.0;
    monitor->windowPeak = 0.0f;
    monitor->windowSamples = 0;
    monitor->windowNsec = 0;
}

OSStatus PipeWireAudioHardware::Impl::readMonitorLevel(AudioObjectID monitorID,
                                                       AudioObjectPropertySelector selector,
                                                       double& value) const {
    const auto it = monitors_.find(monitorID);
    if (it == monitors_.end()) {
        return kAudioHardwareBadObjectError;
    }
    if (selector != kAudioLevelMonitorPropertyRMS && selector != kAudioLevelMonitorPropertyPeak) {
        return kAudioHardwareUnknownPropertyError;
    }
    const LevelMonitor& monitor = *it->second;
    const std::uint64_t playedAt = monitor.playedAtNsec.load(std::memory_order_relaxed);
    const std::uint64_t hold = std::uint64_t(kAudioLevelMonitorHoldMs) * SPA_NSEC_PER_MSEC;
    if (playedAt == 0 || monotonicNsec() - playedAt > hold) {
        value = kAudioLevelMonitorSilenceDb;
        return noErr;
    }
    const auto& level = selector == kAudioLevelMonitorPropertyRMS ? monitor.rms : monitor.peak;
    const auto gain = recordingGainDb(monitor);
    value = gain ? std::max(decibels(level.load(std::memory_order_relaxed)) + *gain,
                            kAudioLevelMonitorSilenceDb)
                 : kAudioLevelMonitorSilenceDb;
    return noErr;
}

OSStatus PipeWireAudioHardware::Impl::createMonitor(AudioObjectID processObjectID,
                                                    AudioObjectID& outMonitorID) {
    if (!connected()) {
        return kAudioHardwareNotRunningError;
    }
    // An application keeps its object while it is not playing; it is monitored for its return.
    const auto known = std::find_if(processIDs_.begin(), processIDs_.end(), [&](const auto& entry) {
        return entry.second == processObjectID;
    });
    const std::string* recording = recordingOfLevelObject(processObjectID);
    if (known == processIDs_.end() && recording == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    auto monitor = std::make_unique<LevelMonitor>();
    monitor->impl = this;
    monitor->id = nextObjectID_++;
    monitor->processKey = recording != nullptr ? *recording : known->first;
    monitor->recording = recording != nullptr;
    monitor->nodeName = std::string(kOwnAggregateUIDPrefix) + ".monitor." +
                        QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
    const AudioObjectID id = monitor->id;
    monitors_[id] = std::move(monitor);
    // The server makes the filter and its links while the caller goes on; the monitor reads
    // silence until it has measured.
    changed();
    outMonitorID = id;
    return noErr;
}

OSStatus PipeWireAudioHardware::Impl::destroyMonitor(AudioObjectID monitorID) {
    const auto it = monitors_.find(monitorID);
    if (it == monitors_.end()) {
        return kAudioHardwareBadObjectError;
    }
    stopMonitor(*it->second);
    monitors_.erase(it);
    return noErr;
}

} // namespace kestrelamp::hal
