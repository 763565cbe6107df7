#include "engine/hal/PipeWireHardwareImpl.h"

#include <algorithm>

namespace kestrelamp::hal {

namespace {

using Impl = PipeWireAudioHardware::Impl;

} // namespace

PipeWireAudioHardware::Impl::Aggregate* PipeWireAudioHardware::Impl::aggregate(AudioObjectID id) {
    const auto it = aggregates_.find(id);
    return it != aggregates_.end() ? it->second.get() : nullptr;
}

ChannelLayout
PipeWireAudioHardware::Impl::aggregateInputChannels(const Aggregate& aggregate) const {
    for (const AudioObjectID tapID : aggregate.taps) {
        const auto tapIt = taps_.find(tapID);
        if (tapIt != taps_.end() && !tapIt->second.sinks.empty()) {
            return sink(tapIt->second.sinks.front())->channels;
        }
    }
    return aggregateOutputChannels(aggregate);
}

ChannelLayout
PipeWireAudioHardware::Impl::aggregateOutputChannels(const Aggregate& aggregate) const {
    const DeviceEntry* sub = aggregate.description.subDeviceUIDs.empty()
                                 ? nullptr
                                 : deviceByUID(aggregate.description.subDeviceUIDs.front());
    return sub != nullptr ? portChannels(sub->nodeID, "in") : ChannelLayout{};
}

const PipeWireAudioHardware::Impl::Global*
PipeWireAudioHardware::Impl::filterPort(const DeviceFilter& shared, const std::string& group,
                                        const char* direction, ChannelPosition channel) const {
    const std::uint32_t nodeID = filterNodeID(&shared);
    if (nodeID == SPA_ID_INVALID) {
        return nullptr;
    }
    const std::string name = ownPortName(group, std::string_view(direction) == "in", channel);
    for (const Global* port : portsOf(nodeID, direction, false)) {
        if (propertyValue(port->properties, PW_KEY_PORT_NAME) == name) {
            return port;
        }
    }
    return nullptr;
}

// Port to port, each channel to the channel of the same position: the layouts on both sides are
// the filter's own, so the mixing between them happens inside it, never by linking.
std::vector<std::pair<std::uint32_t, std::uint32_t>>
PipeWireAudioHardware::Impl::wantedInputLinks(const Aggregate& aggregate) const {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> links;
    if (aggregate.filter == nullptr) {
        return links;
    }
    for (const ChannelPosition channel : aggregate.inputChannels) {
        const Global* input = filterPort(*aggregate.filter, aggregate.portGroup, "in", channel);
        if (input == nullptr) {
            continue;
        }
        for (const AudioObjectID tapID : aggregate.taps) {
            const auto tapIt = taps_.find(tapID);
            if (tapIt == taps_.end()) {
                continue;
            }
            for (const std::uint64_t serial : tapIt->second.sinks) {
                const CaptureSink* held = sink(serial);
                if (held == nullptr || held->nodeID == SPA_ID_INVALID) {
                    continue;
                }
                for (const Global* monitor : portsOf(held->nodeID, "out", true)) {
                    if (propertyValue(monitor->properties, PW_KEY_AUDIO_CHANNEL) ==
                        channelPositionName(channel)) {
                        links.emplace_back(monitor->id, input->id);
                    }
                }
            }
        }
    }
    return links;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>>
PipeWireAudioHardware::Impl::wantedOutputLinks(const DeviceFilter& shared,
                                               const FilterOutputs& outputs) const {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> links;
    const DeviceEntry* device = deviceByUID(shared.deviceUID);
    if (device == nullptr || portChannels(device->nodeID, "in") != outputs.channels) {
        return links;
    }
    const auto playback = portsOf(device->nodeID, "in", false);
    for (std::size_t i = 0; i < outputs.channels.size(); ++i) {
        if (const Global* output =
                filterPort(shared, outputs.portGroup, "out", outputs.channels[i])) {
            links.emplace_back(output->id, playback[i]->id);
        }
    }
    return links;
}

// Made once a pass for all the routes sharing them, after the routes have taken their outputs.
void PipeWireAudioHardware::Impl::reconcileFilterOutputs() {
    for (auto& [deviceUID, shared] : deviceFilters_) {
        for (auto& outputs : shared->outputs) {
            keepLinks(outputs->links, wantedOutputLinks(*shared, *outputs), shared->nodeName);
        }
    }
}

bool PipeWireAudioHardware::Impl::linksComplete(const Aggregate& aggregate) const {
    const auto made = [this](const LinkMap& links, const auto& wanted) {
        return std::all_of(wanted.begin(), wanted.end(), [&](const auto& ports) {
            const auto it = links.find(ports);
            return it != links.end() && it->second->globalID != SPA_ID_INVALID &&
                   it->second->state != PW_LINK_STATE_ERROR &&
                   global(it->second->globalID, GlobalKind::link) != nullptr;
        });
    };
    if (aggregate.filter == nullptr || aggregate.outputs == nullptr) {
        return false;
    }
    const auto fromTaps = wantedInputLinks(aggregate);
    const auto toDevice = wantedOutputLinks(*aggregate.filter, *aggregate.outputs);
    // Every channel reaches the sub-device, and every channel hears the taps.
    return made(aggregate.links, fromTaps) && made(aggregate.outputs->links, toDevice) &&
           !aggregate.outputChannels.empty() &&
           toDevice.size() == aggregate.outputChannels.size() &&
           (aggregate.taps.empty() || fromTaps.size() >= aggregate.inputChannels.size());
}

void PipeWireAudioHardware::Impl::reconcileAggregate(Aggregate& aggregate) {
    // The application or the device in another layout: the filter is made again to match.
    const auto inputs = aggregateInputChannels(aggregate);
    const auto outputs = aggregateOutputChannels(aggregate);
    const bool layoutChanged =
        !inputs.empty() && !outputs.empty() &&
        (inputs != aggregate.inputChannels || outputs != aggregate.outputChannels);
    if (layoutChanged) {
        stopFilter(aggregate);
        aggregate.inputChannels = inputs;
        aggregate.outputChannels = outputs;
    }
    startFilter(aggregate);

    noteLinkRefusals(aggregate);
    if (aggregate.filter == nullptr) {
        return;
    }
    keepLinks(aggregate.links, wantedInputLinks(aggregate), aggregate.description.uid);
}

void PipeWireAudioHardware::Impl::keepLinks(
    LinkMap& links, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& wanted,
    const std::string& owner) {
    std::erase_if(links, [this](const auto& entry) {
        LinkProxy& link = *entry.second;
        if (link.gone) {
            // Refused by the server: the proxy still holds our listener.
            releaseLink(link, SPA_ID_INVALID);
        }
        return link.gone;
    });
    for (const auto& ports : wanted) {
        if (links.count(ports) > 0) {
            continue;
        }
        if (auto link = makeLink(ports.first, ports.second, LinkKind::passive, owner)) {
            pw_proxy_add_object_listener(link->proxy, &link->linkListener, &Impl::kLinkEvents,
                                         link.get());
            links[ports] = std::move(link);
        }
    }
    // Links whose ports changed meaning, such as those of a sink that was made again.
    std::erase_if(links, [&](const auto& entry) {
        if (std::find(wanted.begin(), wanted.end(), entry.first) != wanted.end()) {
            return false;
        }
        releaseLink(*entry.second, entry.second->globalID);
        return true;
    });
}

void PipeWireAudioHardware::Impl::startFilter(Aggregate& aggregate) {
    if (aggregate.filter != nullptr || !connected() || aggregate.inputChannels.empty() ||
        aggregate.outputChannels.empty() || aggregate.description.subDeviceUIDs.empty()) {
        return;
    }
    DeviceFilter& shared = deviceFilterFor(aggregate.description.subDeviceUIDs.front());
    if (shared.filter == nullptr) {
        aggregate.failed = true;
        aggregate.filterFailure = shared.failure;
        // Tried again at the next change.
        deviceFilters_.erase(shared.deviceUID);
        return;
    }
    aggregate.failed = shared.failure.has_value();
    aggregate.filterFailure = shared.failure;
    const std::size_t inputs = aggregate.inputChannels.size();
    aggregate.slots->setChannels(std::uint32_t(inputs));
    aggregate.mixer = std::make_unique<ChannelMixer>(
        ChannelMatrix::between(aggregate.inputChannels, aggregate.outputChannels));
    aggregate.inputData.assign(inputs, nullptr);
    aggregate.blockSamples.assign(inputs * IOProcSlots::kMaxFrames, 0.0f);
    aggregate.blockOutput.clear();
    for (std::size_t i = 0; i < inputs; ++i) {
        aggregate.blockOutput.push_back(aggregate.blockSamples.data() +
                                        i * IOProcSlots::kMaxFrames);
    }
    joinDeviceFilter(aggregate, shared);
}

void PipeWireAudioHardware::Impl::stopFilter(Aggregate& aggregate) {
    // Leaving the device's filter hands the real-time thread a list without it: no block runs
    // once this returns, whatever the filter does while going away.
    for (auto& [ports, link] : aggregate.links) {
        releaseLink(*link, SPA_ID_INVALID);
    }
    aggregate.links.clear();
    leaveDeviceFilter(aggregate);
}

OSStatus PipeWireAudioHardware::Impl::createAggregate(const AggregateDeviceDescription& description,
                                                      AudioObjectID& outDeviceID) {
    if (!connected()) {
        return kAudioHardwareNotRunningError;
    }
    if (description.uid.empty() || description.subDeviceUIDs.size() != 1) {
        return kAudioHardwareIllegalOperationError;
    }
    const DeviceEntry* sub = deviceByUID(description.subDeviceUIDs.front());
    if (sub == nullptr || sub->outputStreams == 0) {
        return kAudioHardwareBadDeviceError;
    }
    std::vector<AudioObjectID> tapIDs;
    for (const std::string& tapUID : description.tapUIDs) {
        const auto it = std::find_if(taps_.begin(), taps_.end(),
                                     [&](const auto& entry) { return entry.second.uid == tapUID; });
        if (it == taps_.end()) {
            return kAudioHardwareBadObjectError;
        }
        tapIDs.push_back(it->first);
    }
    const bool uidTaken = std::any_of(devices_.begin(), devices_.end(), [&](const DeviceEntry& d) {
        return d.uid == description.uid;
    });
    if (uidTaken) {
        return kAudioHardwareIllegalOperationError;
    }

    auto aggregate = std::make_unique<Aggregate>();
    aggregate->impl = this;
    aggregate->id = nextObjectID_++;
    aggregate->description = description;
    aggregate->taps = tapIDs;
    aggregate->outputChannels = aggregateOutputChannels(*aggregate);
    aggregate->inputChannels = aggregateInputChannels(*aggregate);
    if (aggregate->outputChannels.empty()) {
        return kAudioHardwareBadDeviceError;
    }
    aggregate->slots = std::make_unique<IOProcSlots>(std::uint32_t(aggregate->inputChannels.size()),
                                                     [this] { betweenCycles(); });
    aggregate->connectBy =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.timeoutMs);
    Aggregate* created = aggregate.get();
    const AudioObjectID id = aggregate->id;
    aggregates_[id] = std::move(aggregate);
    for (auto& [serial, sink] : sinks_) {
        sink->claimed = sink->claimed || reads(*created, serial);
    }
    armTimer(connectTimer_, options_.timeoutMs);
    // Listed once it is in its device's filter; the server makes the filter and the links while
    // the caller goes on, and "acr?" says when the aggregate carries.
    startFilter(*created);
    changedByCall();
    outDeviceID = id;
    return noErr;
}

OSStatus PipeWireAudioHardware::Impl::destroyAggregate(AudioObjectID deviceID) {
    const auto it = aggregates_.find(deviceID);
    if (it == aggregates_.end()) {
        return kAudioHardwareBadDeviceError;
    }
    it->second->closing = true;
    handBackUnheard(*it->second);
    stopFilter(*it->second);
    aggregates_.erase(it);
    std::erase_if(ioProcs_, [&](const auto& entry) { return entry.second.deviceID == deviceID; });
    changedByCall();
    return noErr;
}

OSStatus PipeWireAudioHardware::Impl::createIOProc(AudioObjectID deviceID, AudioDeviceIOBlock block,
                                                   AudioDeviceIOProcID& outID) {
    Aggregate* target = aggregate(deviceID);
    if (target == nullptr) {
        // Only our own aggregates run blocks; the other devices belong to the session manager.
        return device(deviceID) != nullptr ? kAudioHardwareUnsupportedOperationError
                                           : kAudioHardwareBadDeviceError;
    }
    const auto slot = target->slots->install(std::move(block));
    if (!slot) {
        return kAudioHardwareIllegalOperationError;
    }
    const AudioDeviceIOProcID id = nextIOProcID_++;
    ioProcs_[id] = IOProc{deviceID, *slot};
    outID = id;
    return noErr;
}

OSStatus PipeWireAudioHardware::Impl::destroyIOProc(AudioObjectID deviceID,
                                                    AudioDeviceIOProcID ioProcID) {
    if (const OSStatus status = stopIOProc(deviceID, ioProcID); status != noErr) {
        return status;
    }
    return onIOProc(deviceID, ioProcID, [&](IOProcSlots& slots, std::size_t slot) {
        slots.remove(slot);
        ioProcs_.erase(ioProcID);
        return true;
    });
}

bool PipeWireAudioHardware::Impl::plays(const Aggregate& aggregate) const {
    return !aggregate.closing &&
           std::any_of(ioProcs_.begin(), ioProcs_.end(), [&](const auto& entry) {
               return entry.second.deviceID == aggregate.id && entry.second.started;
           });
}

// The aggregate playing is what has its taps take the application's streams, so that they never
// play into a sink nobody reads yet.
OSStatus PipeWireAudioHardware::Impl::startIOProc(AudioObjectID deviceID,
                                                  AudioDeviceIOProcID ioProcID) {
    const OSStatus status = onIOProc(
        deviceID, ioProcID, [](IOProcSlots& slots, std::size_t slot) { return slots.start(slot); });
    if (status != noErr) {
        return status;
    }
    ioProcs_[ioProcID].started = true;
    // Moving the streams is the session manager's part; "acr?" says when it has.
    changedByCall();
    return noErr;
}

OSStatus PipeWireAudioHardware::Impl::stopIOProc(AudioObjectID deviceID,
                                                 AudioDeviceIOProcID ioProcID) {
    const Aggregate* target = aggregate(deviceID);
    const auto it = ioProcs_.find(ioProcID);
    if (target != nullptr && it != ioProcs_.end() && it->second.deviceID == deviceID &&
        it->second.started) {
        it->second.started = false;
        handBackUnheard(*target);
    }
    return onIOProc(deviceID, ioProcID,
                    [](IOProcSlots& slots, std::size_t slot) { return slots.stop(slot); });
}

bool PipeWireAudioHardware::Impl::carries(const Aggregate& aggregate) const {
    if (!plays(aggregate) || !linksComplete(aggregate)) {
        return false;
    }
    return std::all_of(sinks_.begin(), sinks_.end(), [&](const auto& entry) {
        const CaptureSink& held = *entry.second;
        return !reads(aggregate, entry.first) || held.released ||
               (held.holding && streamsMoved(held));
    });
}

OSStatus PipeWireAudioHardware::Impl::carriesState(const Aggregate& aggregate) const {
    if (aggregate.connectFailure != noErr) {
        return aggregate.connectFailure;
    }
    return carries(aggregate) ? 1 : 0;
}

std::optional<ServerFailure>
PipeWireAudioHardware::Impl::connectRefusal(const Aggregate& aggregate) const {
    if (aggregate.failed) {
        return aggregate.filterFailure.value_or(
            ServerFailure{"the sound server could not run the route's filter", 0, ""});
    }
    for (const auto& [serial, held] : sinks_) {
        if (held->failure && reads(aggregate, serial)) {
            return held->failure;
        }
    }
    return std::nullopt;
}

// A refused link is made again on the next change, so it may yet be made: the refusal is only
// the reason once the time to connect has run out.
void PipeWireAudioHardware::Impl::noteLinkRefusals(Aggregate& aggregate) {
    const auto note = [&](const LinkMap& links) {
        for (const auto& [ports, link] : links) {
            if (link->refusal) {
                aggregate.linkRefusal = link->refusal;
            }
        }
    };
    note(aggregate.links);
    if (aggregate.outputs != nullptr) {
        note(aggregate.outputs->links);
    }
}

void PipeWireAudioHardware::Impl::updateCarries(Aggregate& aggregate) {
    // Streams the session manager has not moved yet are no failure of ours, nor links re-made
    // later (a sink or a device in another layout).
    if (!aggregate.linkedOnce && aggregate.connectFailure == noErr) {
        noteLinkRefusals(aggregate);
        if (linksComplete(aggregate)) {
            aggregate.linkedOnce = true;
        } else if (const auto refused = connectRefusal(aggregate)) {
            aggregate.connectFailure = kAudioHardwareUnspecifiedError;
            aggregate.connectFailureReason = refused->reason();
        } else if (std::chrono::steady_clock::now() >= aggregate.connectBy) {
            aggregate.connectFailure = kAudioHardwareTimeoutError;
            aggregate.connectFailureReason =
                aggregate.linkRefusal ? aggregate.linkRefusal->reason()
                                      : "the sound server did not connect the route within " +
                                            std::to_string(options_.timeoutMs) + " ms";
        }
    }
    const OSStatus now = carriesState(aggregate);
    if (aggregate.toldCarries != now) {
        aggregate.toldCarries = now;
        dispatcher.notify(aggregate.id, globalAddress(kAudioAggregateDevicePropertyCarries));
    }
}

OSStatus PipeWireAudioHardware::Impl::readFailureReason(AudioObjectID object, std::string& value) {
    const Aggregate* target = aggregate(object);
    if (target == nullptr) {
        return missingProperty(object);
    }
    if (target->connectFailure == noErr) {
        return kAudioHardwareIllegalOperationError;
    }
    value = target->connectFailureReason;
    return noErr;
}

void PipeWireAudioHardware::Impl::onConnectTimer(void* data, std::uint64_t) {
    static_cast<Impl*>(data)->changedSoon();
}

} // namespace kestrelamp::hal
