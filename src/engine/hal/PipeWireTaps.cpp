#include "engine/hal/PipeWireHardwareImpl.h"

#include <QUuid>

#include <algorithm>
#include <cerrno>

namespace kestrelamp::hal {

namespace {

using Impl = PipeWireAudioHardware::Impl;

// Not "Audio/Sink": desktop sound settings and other mixers list those as outputs. The session
// manager still links streams to it by their target, and gives it monitor ports.
constexpr const char* kCaptureSinkClass = "Audio/Input/Internal";

std::string newUuid() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
}

bool namesOneOfOurs(const std::string& value) {
    return value.starts_with(kOwnAggregateUIDPrefix);
}

std::string positionList(const ChannelLayout& channels) {
    std::string list = "[";
    for (const ChannelPosition channel : channels) {
        list += " " + channelPositionName(channel);
    }
    return list + " ]";
}

const ChannelLayout& stereo() {
    static const ChannelLayout channels{ChannelPosition::FL, ChannelPosition::FR};
    return channels;
}

} // namespace

const pw_proxy_events Impl::kSinkProxyEvents = [] {
    pw_proxy_events events{};
    events.version = PW_VERSION_PROXY_EVENTS;
    events.destroy = &Impl::onOwnNodeDestroy<Impl::CaptureSink>;
    events.bound = &Impl::onOwnNodeBound<Impl::CaptureSink>;
    events.removed = &Impl::onOwnNodeRemoved<Impl::CaptureSink>;
    events.error = &Impl::onSinkError;
    return events;
}();

PipeWireAudioHardware::Impl::Tap* PipeWireAudioHardware::Impl::tap(AudioObjectID id) {
    const auto it = taps_.find(id);
    return it != taps_.end() ? &it->second : nullptr;
}

const PipeWireAudioHardware::Impl::CaptureSink*
PipeWireAudioHardware::Impl::sink(std::uint64_t serial) const {
    const auto it = sinks_.find(serial);
    return it != sinks_.end() ? it->second.get() : nullptr;
}

const PipeWireAudioHardware::Impl::CaptureSink*
PipeWireAudioHardware::Impl::releasedSinkOf(const Tap& tap) const {
    for (const std::uint64_t serial : tap.sinks) {
        if (const CaptureSink* held = sink(serial); held != nullptr && held->released) {
            return held;
        }
    }
    return nullptr;
}

StreamTargetEntries PipeWireAudioHardware::Impl::targetEntries(std::uint32_t stream) const {
    return targetsOnTheirWay_.expected(
        stream, {metadataValue(stream, kTargetObjectKey), metadataValue(stream, kTargetNodeKey)});
}

// The widest layout among the application's streams; empty while none is known.
ChannelLayout PipeWireAudioHardware::Impl::streamLayout(const std::string& processKey) const {
    ChannelLayout widest;
    for (const std::uint32_t id : streamsOf(processKey)) {
        const Global* stream = global(id, GlobalKind::node);
        if (stream != nullptr && stream->formatChannels.size() > widest.size()) {
            widest = stream->formatChannels;
        }
    }
    return widest;
}

PipeWireAudioHardware::Impl::CaptureSink&
PipeWireAudioHardware::Impl::sinkFor(const ProcessEntry& process, bool mixdown) {
    for (auto& [serial, existing] : sinks_) {
        if (existing->processKey == process.key && !existing->released) {
            return *existing;
        }
    }
    const auto layout = mixdown ? stereo() : streamLayout(process.key);
    const ChannelLayout& channels = layout.empty() ? stereo() : layout;
    if (CaptureSink* spare = takeSpareSink(process, mixdown, channels)) {
        return *spare;
    }
    return makeSink(process.key, "Kestrelamp tap of " + process.bundleID, mixdown, channels);
}

PipeWireAudioHardware::Impl::CaptureSink&
PipeWireAudioHardware::Impl::makeSink(const std::string& processKey, const std::string& description,
                                      bool mixdown, const ChannelLayout& channels) {
    auto made = std::make_unique<CaptureSink>();
    made->impl = this;
    made->serial = nextSinkSerial_++;
    made->processKey = processKey;
    made->nodeName = std::string(kOwnAggregateUIDPrefix) + ".tap." + newUuid();
    made->description = description;
    made->mixdown = mixdown;
    made->channels = channels;
    CaptureSink& sink = *made;
    sinks_[sink.serial] = std::move(made);
    return sink;
}

OSStatus PipeWireAudioHardware::Impl::createTap(const CATapDescription& description,
                                                AudioObjectID& outTapID) {
    if (!connected()) {
        return kAudioHardwareNotRunningError;
    }
    std::vector<const ProcessEntry*> tapped;
    if (const OSStatus status = tappedProcesses(description, tapped); status != noErr) {
        return status;
    }
    Tap newTap;
    const auto holdAt =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kUnclaimedHoldMs);
    for (const ProcessEntry* entry : tapped) {
        CaptureSink& sink = sinkFor(*entry, description.mixdown);
        if (sink.users++ == 0) {
            sink.unclaimedHoldAt = holdAt;
        }
        newTap.sinks.push_back(sink.serial);
        startSink(sink);
    }
    armTimer(holdTimer_, kUnclaimedHoldMs);
    putOffSpareSinks();
    newTap.id = nextObjectID_++;
    newTap.uid = std::string(kOwnAggregateUIDPrefix) + ".tap." + newUuid();
    const AudioObjectID tapID = newTap.id;
    taps_[tapID] = std::move(newTap);
    // The server makes the sinks while the caller goes on: an aggregate reading the tap links
    // them once they are there, and says when it carries.
    changedByCall();
    outTapID = tapID;
    return noErr;
}

OSStatus
PipeWireAudioHardware::Impl::tappedProcesses(const CATapDescription& description,
                                             std::vector<const ProcessEntry*>& tapped) const {
    if (description.processes.empty()) {
        return kAudioHardwareIllegalOperationError;
    }
    if (description.muteBehavior == CATapMuteBehavior::unmuted) {
        // A stream plays to one sink at a time here: a tap always takes it off its output.
        return kAudioHardwareUnsupportedOperationError;
    }
    for (const AudioObjectID processID : description.processes) {
        const ProcessEntry* entry = process(processID);
        if (entry == nullptr) {
            return kAudioHardwareBadObjectError;
        }
        tapped.push_back(entry);
    }
    return noErr;
}

void PipeWireAudioHardware::Impl::armTimer(spa_source* timer, int afterMs) {
    // A little more than asked: the timer may come a moment early.
    const long ms = afterMs + 5;
    timespec value{ms / 1000, (ms % 1000) * 1000000L};
    timespec interval{0, 0};
    pw_loop_update_timer(pw_thread_loop_get_loop(loop_), timer, &value, &interval, false);
}

OSStatus PipeWireAudioHardware::Impl::handBackTap(AudioObjectID tapID) {
    Tap* entry = tap(tapID);
    if (entry == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    const auto streams = handBackSolelyHeld(*entry);
    entry->givenBack.insert(entry->givenBack.end(), streams.begin(), streams.end());
    changed();
    if (entry->givenBack.empty()) {
        dispatcher.notify(tapID, globalAddress(kAudioTapPropertyHandBack));
    }
    return noErr;
}

std::vector<std::uint32_t> PipeWireAudioHardware::Impl::handBackSolelyHeld(const Tap& tap) {
    std::vector<std::uint32_t> handedBack;
    for (const std::uint64_t serial : tap.sinks) {
        const auto sink = sinks_.find(serial);
        if (sink != sinks_.end() && sink->second->users == 1) {
            sink->second->lettingGo = true;
            const auto streams = handBack(*sink->second);
            handedBack.insert(handedBack.end(), streams.begin(), streams.end());
        }
    }
    return handedBack;
}

bool PipeWireAudioHardware::Impl::handBackEnded(Tap& tap) {
    if (tap.givenBack.empty()) {
        return false;
    }
    std::erase_if(tap.givenBack, [this](std::uint32_t stream) { return playsElsewhere(stream); });
    return tap.givenBack.empty();
}

bool PipeWireAudioHardware::Impl::playsElsewhere(std::uint32_t stream) const {
    const Global* node = global(stream, GlobalKind::node);
    if (node == nullptr) {
        return true;
    }
    // Nothing links a JACK program again: once it is out of our sinks, it plays as it did.
    if (isJackPlayer(*node)) {
        return !linkedToOwnSink(stream);
    }
    const auto isOurSink = [&](std::int64_t node) {
        return std::any_of(sinks_.begin(), sinks_.end(), [&](const auto& entry) {
            return entry.second->nodeID != SPA_ID_INVALID &&
                   node == std::int64_t(entry.second->nodeID);
        });
    };
    const auto inputs = graph_.linkInputsByOutput.find(stream);
    return inputs != graph_.linkInputsByOutput.end() &&
           !std::all_of(inputs->second.begin(), inputs->second.end(), isOurSink);
}

OSStatus PipeWireAudioHardware::Impl::destroyTap(AudioObjectID tapID) {
    const auto it = taps_.find(tapID);
    if (it == taps_.end()) {
        return kAudioHardwareBadObjectError;
    }
    const std::vector<std::uint64_t> serials = it->second.sinks;
    // Not waited for: a caller that wants no gap hands the tap back first ("thbk") and destroys
    // it once that has ended.
    handBackSolelyHeld(it->second);
    taps_.erase(it);
    for (auto& [id, aggregate] : aggregates_) {
        std::erase(aggregate->taps, tapID);
    }
    for (const std::uint64_t serial : serials) {
        const auto sink = sinks_.find(serial);
        if (sink == sinks_.end() || --sink->second->users > 0) {
            continue;
        }
        stopSink(*sink->second, true);
        sinks_.erase(sink);
    }
    changedByCall();
    return noErr;
}

void PipeWireAudioHardware::Impl::startSink(CaptureSink& sink) {
    if (sink.proxy != nullptr || !connected()) {
        return;
    }
    Properties properties = ownProperties();
    pw_properties_set(properties.get(), PW_KEY_FACTORY_NAME, "support.null-audio-sink");
    pw_properties_set(properties.get(), PW_KEY_NODE_NAME, sink.nodeName.c_str());
    pw_properties_set(properties.get(), PW_KEY_NODE_DESCRIPTION, sink.description.c_str());
    pw_properties_set(properties.get(), PW_KEY_MEDIA_CLASS, kCaptureSinkClass);
    pw_properties_set(properties.get(), "audio.position", positionList(sink.channels).c_str());
    pw_properties_set(properties.get(), PW_KEY_PRIORITY_SESSION, "0");
    // The device it plays on drives the graph, never the tap.
    pw_properties_set(properties.get(), PW_KEY_NODE_DRIVER, "false");
    pw_properties_set(properties.get(), PW_KEY_NODE_VIRTUAL, "true");
    pw_properties_set(properties.get(), "monitor.channel-volumes", "false");
    // WirePlumber 0.4 crashes when a node it is about to suspend goes away first; ours come and
    // go with routes, so they are never suspended.
    pw_properties_set(properties.get(), "session.suspend-timeout-seconds", "0");
    pw_properties_set(properties.get(), PW_KEY_OBJECT_LINGER, "false");
    sink.failed = false;
    sink.failure.reset();
    sink.nodeID = SPA_ID_INVALID;
    sink.proxy = static_cast<pw_proxy*>(pw_core_create_object(
        core_, "adapter", PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, &properties->dict, 0));
    if (sink.proxy == nullptr) {
        sink.failed = true;
        sink.failure = ServerFailure{"the tap's capture node could not be made", -errno, ""};
        return;
    }
    pw_proxy_add_listener(sink.proxy, &sink.listener, &kSinkProxyEvents, &sink);
}

// Gives every stream it holds back to what it played on before, then removes the node. In that
// order: the other way round the session manager would move them twice.
void PipeWireAudioHardware::Impl::stopSink(CaptureSink& sink, bool restoreTargets) {
    if (restoreTargets) {
        handBack(sink);
    }
    for (const std::uint32_t stream : sink.targets.streams()) {
        sink.targets.release(stream, targetEntries(stream));
    }
    releaseJackStreams(sink, false);
    sink.holding = false;
    releaseProxy(sink.proxy, sink.listener, sink.nodeID);
    sink.nodeID = SPA_ID_INVALID;
}

std::vector<std::uint32_t> PipeWireAudioHardware::Impl::handBack(CaptureSink& sink) {
    auto streams = sink.targets.streams();
    for (const std::uint32_t stream : streams) {
        for (const MetadataWrite& write : sink.targets.release(stream, targetEntries(stream))) {
            writeMetadata(write);
        }
    }
    const auto jackStreams = sink.jack.nodes();
    streams.insert(streams.end(), jackStreams.begin(), jackStreams.end());
    releaseJackStreams(sink, true);
    sink.holding = false;
    return streams;
}

void PipeWireAudioHardware::Impl::handBackUnheard(const Aggregate& aggregate) {
    for (auto& [serial, sink] : sinks_) {
        if (sink->holding && !sink->released && reads(aggregate, serial) && !wantsHold(*sink)) {
            handBack(*sink);
        }
    }
}

bool PipeWireAudioHardware::Impl::reads(const Aggregate& aggregate,
                                        std::uint64_t sinkSerial) const {
    return std::any_of(aggregate.taps.begin(), aggregate.taps.end(), [&](AudioObjectID tapID) {
        const auto it = taps_.find(tapID);
        return it != taps_.end() && std::find(it->second.sinks.begin(), it->second.sinks.end(),
                                              sinkSerial) != it->second.sinks.end();
    });
}

bool PipeWireAudioHardware::Impl::wantsHold(const CaptureSink& sink) const {
    if (sink.released || sink.lettingGo) {
        return false;
    }
    bool read = false;
    for (const auto& [id, aggregate] : aggregates_) {
        if (!reads(*aggregate, sink.serial)) {
            continue;
        }
        read = true;
        if (plays(*aggregate) && (sink.holding || linksComplete(*aggregate))) {
            return true;
        }
    }
    return !read && !sink.claimed && std::chrono::steady_clock::now() >= sink.unclaimedHoldAt;
}

void PipeWireAudioHardware::Impl::onHoldTimer(void* data, std::uint64_t) {
    static_cast<Impl*>(data)->changedSoon();
}

void PipeWireAudioHardware::Impl::onSinkError(void* data, int, int res, const char* message) {
    auto* sink = static_cast<CaptureSink*>(data);
    sink->failed = true;
    sink->failure = ServerFailure{"the sound server refused the tap's capture node", res,
                                  message != nullptr ? message : ""};
    sink->impl->reportServerError(sink->failure->logLine("capture node " + sink->nodeName));
    // The aggregates reading it fail now rather than when their time to connect runs out.
    sink->impl->changedSoon();
    pw_thread_loop_signal(sink->impl->loop_, false);
}

bool PipeWireAudioHardware::Impl::streamsMoved(const CaptureSink& sink) const {
    if (sink.released) {
        return true;
    }
    const auto& streams = streamsOf(sink.processKey);
    return std::all_of(streams.begin(), streams.end(),
                       [&](std::uint32_t stream) { return linked(stream, sink.nodeID); });
}

void PipeWireAudioHardware::Impl::reconcileSink(CaptureSink& sink) {
    if (sink.processKey.empty() || sink.released || sink.nodeID == SPA_ID_INVALID ||
        !graph_.defaultMetadata || graph_.defaultMetadata->proxy == nullptr) {
        return;
    }
    // An application that plays again in another layout: the sink takes it, unless a stream of
    // the layout it has is still playing.
    if (!sink.mixdown) {
        const auto widest = streamLayout(sink.processKey);
        const auto& streams = streamsOf(sink.processKey);
        const bool kept = std::any_of(streams.begin(), streams.end(), [&](std::uint32_t id) {
            const Global* stream = global(id, GlobalKind::node);
            return stream != nullptr && stream->formatChannels == sink.channels;
        });
        if (!widest.empty() && !kept && widest != sink.channels) {
            sink.channels = widest;
            releaseProxy(sink.proxy, sink.listener, sink.nodeID);
            sink.nodeID = SPA_ID_INVALID;
            startSink(sink);
            return;
        }
    }
    if (!wantsHold(sink)) {
        return;
    }
    sink.holding = true;
    const auto staging = stagingTarget(sink);
    for (const std::uint32_t id : streamsOf(sink.processKey)) {
        if (const Global* stream = global(id, GlobalKind::node);
            stream != nullptr && isJackPlayer(*stream)) {
            holdJackStream(sink, id);
            continue;
        }
        const bool sinkFirst = needsSinkFirst(id);
        if (sinkFirst && !staging) {
            continue;
        }
        const std::string& target = sinkFirst ? *staging : sink.nodeName;
        if (sink.targets.heldAt(id) == target) {
            continue;
        }
        for (const MetadataWrite& write :
             sink.targets.hold(id, target, targetEntries(id), &namesOneOfOurs)) {
            writeMetadata(write);
        }
    }
}

std::optional<std::string>
PipeWireAudioHardware::Impl::stagingTarget(const CaptureSink& sink) const {
    // The newest first: while the application moves, the device it moves to.
    for (auto it = aggregates_.rbegin(); it != aggregates_.rend(); ++it) {
        const auto& aggregate = it->second;
        const auto& devices = aggregate->description.subDeviceUIDs;
        if (reads(*aggregate, sink.serial) && plays(*aggregate) && !devices.empty() &&
            deviceByUID(devices.front()) != nullptr) {
            return devices.front();
        }
    }
    return std::nullopt;
}

void PipeWireAudioHardware::Impl::onStreamTargetChanged(std::uint32_t stream,
                                                        const std::string& key,
                                                        const std::optional<std::string>& value) {
    if (targetsOnTheirWay_.cameBack(stream, key, value)) {
        return;
    }
    if (key == kTargetObjectKey) {
        onRecordingTargetChanged(stream, value);
    }
    for (auto& [serial, sink] : sinks_) {
        if (sink->released || !sink->targets.holds(stream)) {
            continue;
        }
        switch (sink->targets.changed(stream, key, value)) {
        case StreamTargets::Change::movedElsewhere:
            writeMetadata(StreamTargets::earlierTargetGone(stream));
            releaseSink(*sink, key, value.value_or(std::string()));
            break;
        case StreamTargets::Change::removed:
            writeMetadata({stream, kTargetObjectKey, sink->targets.heldAt(stream)});
            break;
        case StreamTargets::Change::none:
        case StreamTargets::Change::noted:
            break;
        }
    }
}

// Another client chose where the application plays. Its entry stays as it wrote it; the streams
// the sink still holds are given back when its taps go.
void PipeWireAudioHardware::Impl::releaseSink(CaptureSink& sink, const std::string& key,
                                              const std::string& value) {
    sink.released = true;
    const DeviceEntry* target =
        value.empty() || value == "-1" ? nullptr : outputDeviceForTarget(key, value);
    sink.releaseDeviceUID = target != nullptr ? target->uid : std::string();
    if (shuttingDown_) {
        return;
    }
    for (const auto& [id, tap] : taps_) {
        if (std::find(tap.sinks.begin(), tap.sinks.end(), sink.serial) != tap.sinks.end()) {
            dispatcher.notify(id, globalAddress(kAudioTapPropertyIsReleased));
        }
    }
}

void PipeWireAudioHardware::Impl::clearStaleTargets() {
    if (!graph_.defaultMetadata || graph_.defaultMetadata->proxy == nullptr) {
        return;
    }
    const auto writes = StreamTargets::repairLeftovers(
        graph_.defaultMetadata->values, &namesOneOfOurs,
        [this](const std::string& value) { return nodeNamed(value) != nullptr; });
    for (const MetadataWrite& write : writes) {
        writeMetadata(write);
    }
    repairLeftoverConnections();
}

} // namespace kestrelamp::hal
