#include "engine/hal/PipeWireHardwareImpl.h"

#include <QUuid>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace kestrelamp::hal {

namespace {

using Impl = PipeWireAudioHardware::Impl;

// Members a designated initializer leaves out are null, as meant; GCC 12 warns about them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
const pw_filter_events kDeviceFilterEvents{.version = PW_VERSION_FILTER_EVENTS,
                                           .state_changed = &Impl::onFilterState,
                                           .process = &Impl::onFilterProcess};
#pragma GCC diagnostic pop

struct RenderingSwap {
    Impl::DeviceFilter* shared;
    std::vector<Impl::Aggregate*>* members;
};

} // namespace

PipeWireAudioHardware::Impl::DeviceFilter&
PipeWireAudioHardware::Impl::deviceFilterFor(const std::string& deviceUID) {
    auto& slot = deviceFilters_[deviceUID];
    if (slot && (!slot->failure || !slot->members.empty())) {
        return *slot;
    }
    // A filter the server stopped is made anew once no route is left on it.
    if (slot && slot->filter != nullptr) {
        spa_hook_remove(&slot->listener);
        pw_filter_destroy(slot->filter);
    }
    slot = std::make_unique<DeviceFilter>();
    DeviceFilter& shared = *slot;
    shared.impl = this;
    shared.deviceUID = deviceUID;
    shared.nodeName = std::string(kOwnAggregateUIDPrefix) + ".device." +
                      QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
    Properties properties = ownProperties();
    pw_properties_set(properties.get(), PW_KEY_NODE_NAME, shared.nodeName.c_str());
    pw_properties_set(properties.get(), PW_KEY_NODE_DESCRIPTION,
                      ("Kestrelamp routes to " + deviceUID).c_str());
    pw_properties_set(properties.get(), PW_KEY_MEDIA_TYPE, "Audio");
    pw_properties_set(properties.get(), PW_KEY_MEDIA_CATEGORY, "Filter");
    pw_properties_set(properties.get(), PW_KEY_MEDIA_ROLE, "DSP");
    pw_properties_set(properties.get(), PW_KEY_NODE_VIRTUAL, "true");
    pw_properties_set(properties.get(), PW_KEY_OBJECT_LINGER, "false");
    shared.filter = pw_filter_new(core_, shared.nodeName.c_str(), properties.release());
    if (shared.filter == nullptr) {
        shared.failure = ServerFailure{"the route's filter could not be made", -errno, ""};
        return shared;
    }
    pw_filter_add_listener(shared.filter, &shared.listener, &kDeviceFilterEvents, &shared);
    if (const int res = pw_filter_connect(shared.filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0);
        res < 0) {
        shared.failure = ServerFailure{"the route's filter could not connect", res, ""};
    }
    return shared;
}

void PipeWireAudioHardware::Impl::joinDeviceFilter(Aggregate& aggregate, DeviceFilter& shared) {
    const auto addPorts = [&](const std::string& group, const ChannelLayout& channels, bool input) {
        std::vector<void*> ports;
        for (const ChannelPosition channel : channels) {
            const std::string name = ownPortName(group, input, channel);
            pw_properties* portProperties = pw_properties_new(
                PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME, name.c_str(),
                PW_KEY_AUDIO_CHANNEL, channelPositionName(channel).c_str(), nullptr);
            ports.push_back(
                pw_filter_add_port(shared.filter, input ? PW_DIRECTION_INPUT : PW_DIRECTION_OUTPUT,
                                   PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0, portProperties, nullptr, 0));
        }
        return ports;
    };
    aggregate.portGroup = "route" + std::to_string(shared.nextPortGroup++) + "_";
    aggregate.inputPorts = addPorts(aggregate.portGroup, aggregate.inputChannels, true);
    auto outputs = std::find_if(shared.outputs.begin(), shared.outputs.end(), [&](const auto& set) {
        return set->channels == aggregate.outputChannels;
    });
    if (outputs == shared.outputs.end()) {
        auto set = std::make_unique<FilterOutputs>();
        set->channels = aggregate.outputChannels;
        set->portGroup = "mix" + std::to_string(shared.nextPortGroup++) + "_";
        set->ports = addPorts(set->portGroup, set->channels, false);
        set->data.assign(set->ports.size(), nullptr);
        outputs = shared.outputs.insert(shared.outputs.end(), std::move(set));
    }
    ++(*outputs)->users;
    aggregate.outputs = outputs->get();
    aggregate.filter = &shared;
    shared.members.push_back(&aggregate);
    renderMembers(shared);
}

void PipeWireAudioHardware::Impl::leaveDeviceFilter(Aggregate& aggregate) {
    DeviceFilter* shared = aggregate.filter;
    if (shared == nullptr) {
        return;
    }
    std::erase(shared->members, &aggregate);
    renderMembers(*shared);
    for (void* port : aggregate.inputPorts) {
        pw_filter_remove_port(port);
    }
    aggregate.inputPorts.clear();
    if (FilterOutputs* outputs = std::exchange(aggregate.outputs, nullptr);
        outputs != nullptr && --outputs->users == 0) {
        for (auto& [ports, link] : outputs->links) {
            releaseLink(*link, SPA_ID_INVALID);
        }
        for (void* port : outputs->ports) {
            pw_filter_remove_port(port);
        }
        std::erase_if(shared->outputs, [&](const auto& set) { return set.get() == outputs; });
    }
    aggregate.filter = nullptr;
    if (!shared->members.empty()) {
        return;
    }
    if (shared->filter != nullptr) {
        spa_hook_remove(&shared->listener);
        pw_filter_destroy(shared->filter);
    }
    deviceFilters_.erase(shared->deviceUID);
}

// The callback takes the new list between two cycles, and the old one is freed here: the
// real-time thread allocates and frees nothing.
void PipeWireAudioHardware::Impl::renderMembers(DeviceFilter& shared) {
    std::vector<Aggregate*> members = shared.members;
    RenderingSwap swap{&shared, &members};
    pw_data_loop_invoke(pw_context_get_data_loop(context_), &Impl::swapRendering, 0, nullptr, 0,
                        true, &swap);
}

void PipeWireAudioHardware::Impl::betweenCycles() {
    pw_data_loop_invoke(
        pw_context_get_data_loop(context_),
        [](spa_loop*, bool, std::uint32_t, const void*, std::size_t, void*) { return 0; }, 0,
        nullptr, 0, true, nullptr);
}

int PipeWireAudioHardware::Impl::swapRendering(spa_loop*, bool, std::uint32_t, const void*,
                                               std::size_t, void* userData) {
    auto* swap = static_cast<RenderingSwap*>(userData);
    swap->shared->rendering.swap(*swap->members);
    return 0;
}

std::string PipeWireAudioHardware::Impl::ownPortName(const std::string& group, bool input,
                                                     ChannelPosition channel) {
    return group + (input ? "input_" : "output_") + channelPositionName(channel);
}

std::uint32_t PipeWireAudioHardware::Impl::filterNodeID(const DeviceFilter* shared) const {
    return shared != nullptr && shared->filter != nullptr ? pw_filter_get_node_id(shared->filter)
                                                          : SPA_ID_INVALID;
}

void PipeWireAudioHardware::Impl::onFilterState(void* data, pw_filter_state, pw_filter_state state,
                                                const char* error) {
    auto* shared = static_cast<DeviceFilter*>(data);
    if (state == PW_FILTER_STATE_ERROR) {
        shared->failure = ServerFailure{"the sound server stopped the route's filter", 0,
                                        error != nullptr ? error : ""};
        shared->impl->reportServerError(shared->failure->logLine("filter " + shared->nodeName));
        for (Aggregate* member : shared->members) {
            member->failed = true;
            member->filterFailure = shared->failure;
        }
    }
    shared->impl->changedSoon();
    pw_thread_loop_signal(shared->impl->loop_, false);
}

void PipeWireAudioHardware::Impl::onFilterProcess(void* data, spa_io_position* position) {
    auto* shared = static_cast<DeviceFilter*>(data);
    const std::uint64_t cycle = ++shared->cycle;
    for (Aggregate* member : shared->rendering) {
        renderAggregate(*member, position, cycle);
    }
}

void PipeWireAudioHardware::Impl::renderAggregate(Aggregate& aggregate, spa_io_position* position,
                                                  std::uint64_t cycle) {
    const std::uint32_t frames = std::min(
        position != nullptr ? std::uint32_t(position->clock.duration) : 0, IOProcSlots::kMaxFrames);
    // A route whose ports are not linked yet has no buffers: it reads silence, writes nothing.
    for (std::size_t i = 0; i < aggregate.inputPorts.size(); ++i) {
        aggregate.inputData[i] =
            static_cast<const float*>(pw_filter_get_dsp_buffer(aggregate.inputPorts[i], frames));
    }
    FilterOutputs& outputs = *aggregate.outputs;
    const bool firstOnOutputs = outputs.takenInCycle != cycle;
    if (firstOnOutputs) {
        outputs.takenInCycle = cycle;
        for (std::size_t i = 0; i < outputs.ports.size(); ++i) {
            outputs.data[i] =
                static_cast<float*>(pw_filter_get_dsp_buffer(outputs.ports[i], frames));
        }
    }
    AudioIOCycle ioCycle;
    if (position != nullptr && position->clock.rate.denom > 0 && position->clock.rate.num > 0) {
        ioCycle.sampleRate = double(position->clock.rate.denom) / double(position->clock.rate.num);
        const auto rate = std::uint32_t(ioCycle.sampleRate);
        if (aggregate.cycleRate.exchange(rate, std::memory_order_relaxed) != rate) {
            pw_loop_signal_event(pw_thread_loop_get_loop(aggregate.impl->loop_),
                                 aggregate.impl->rateEvent_);
        }
    }
    aggregate.slots->render(ioCycle, aggregate.inputData.data(), aggregate.blockOutput.data(),
                            frames);
    aggregate.mixer->setSampleRate(ioCycle.sampleRate);
    // The first route on the outputs this cycle writes them, the others add to them.
    if (firstOnOutputs) {
        aggregate.mixer->mix(aggregate.blockOutput.data(), outputs.data.data(), frames);
    } else {
        aggregate.mixer->mixInto(aggregate.blockOutput.data(), outputs.data.data(), frames);
    }
}

} // namespace kestrelamp::hal
