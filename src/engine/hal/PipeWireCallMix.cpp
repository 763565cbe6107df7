#include "engine/hal/PipeWireHardwareImpl.h"

#include <algorithm>
#include <array>
#include <cerrno>

// The call mix: a virtual source recorders list as a microphone, fed by the routes to it and, while
// something records from it, by the chosen microphone through a gain of ours.

namespace kestrelamp::hal {

namespace {

using Impl = PipeWireAudioHardware::Impl;

constexpr const char* kCallMixClass = "Audio/Source/Virtual";
constexpr const char* kDefaultSourceKey = "default.audio.source";
const std::string kMicrophoneFilterName = std::string(kOwnAggregateUIDPrefix) + ".callmix-input";
const std::array<ChannelPosition, 2> kCallMixChannels{ChannelPosition::FL, ChannelPosition::FR};

const pw_proxy_events kCallMixProxyEvents = [] {
    pw_proxy_events events{};
    events.version = PW_VERSION_PROXY_EVENTS;
    events.destroy = &Impl::onOwnNodeDestroy<Impl::CallMix>;
    events.bound = &Impl::onOwnNodeBound<Impl::CallMix>;
    events.removed = &Impl::onOwnNodeRemoved<Impl::CallMix>;
    events.error = &Impl::onCallMixError;
    return events;
}();

const pw_filter_events kMicrophoneEvents = [] {
    pw_filter_events events{};
    events.version = PW_VERSION_FILTER_EVENTS;
    events.process = &Impl::onMicrophoneProcess;
    return events;
}();

float gainOf(const CallMixSettings& settings) {
    return settings.microphoneMuted ? 0.0f : std::clamp(settings.microphoneVolume, 0.0f, 4.0f);
}

} // namespace

OSStatus PipeWireAudioHardware::Impl::setCallMix(const CallMixSettings& settings) {
    if (settings.on && !connected()) {
        return kAudioHardwareNotRunningError;
    }
    callMix_.impl = this;
    if (settings.on && !callMix_.settings.on) {
        // Turned on again: one the server refused before is asked for anew.
        callMix_.failure.reset();
    }
    callMix_.settings = settings;
    callMix_.microphoneGain.store(gainOf(settings), std::memory_order_relaxed);
    if (!settings.on) {
        stopCallMix();
    }
    changed();
    return noErr;
}

bool PipeWireAudioHardware::Impl::isCallMixNode(const Global& node) const {
    return callMix_.nodeID != SPA_ID_INVALID && node.id == callMix_.nodeID &&
           node.mediaClass == kCallMixClass;
}

void PipeWireAudioHardware::Impl::startCallMixNode() {
    Properties properties = ownProperties();
    pw_properties_set(properties.get(), PW_KEY_FACTORY_NAME, "support.null-audio-sink");
    pw_properties_set(properties.get(), PW_KEY_NODE_NAME, kCallMixDeviceUID);
    pw_properties_set(properties.get(), PW_KEY_NODE_DESCRIPTION, kCallMixDeviceName);
    pw_properties_set(properties.get(), PW_KEY_MEDIA_CLASS, kCallMixClass);
    pw_properties_set(properties.get(), "audio.position", "[ FL FR ]");
    // Below every real microphone when the session manager picks the default input.
    pw_properties_set(properties.get(), PW_KEY_PRIORITY_SESSION, "1");
    pw_properties_set(properties.get(), PW_KEY_NODE_VIRTUAL, "true");
    pw_properties_set(properties.get(), "monitor.channel-volumes", "false");
    // As our capture nodes: it may go at any time, so it is never suspended.
    pw_properties_set(properties.get(), "session.suspend-timeout-seconds", "0");
    pw_properties_set(properties.get(), PW_KEY_OBJECT_LINGER, "false");
    callMix_.failure.reset();
    callMix_.nodeID = SPA_ID_INVALID;
    callMix_.proxy = static_cast<pw_proxy*>(pw_core_create_object(
        core_, "adapter", PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, &properties->dict, 0));
    if (callMix_.proxy == nullptr) {
        callMix_.failure = ServerFailure{"the call mix could not be made", -errno, ""};
        reportServerError(callMix_.failure->logLine(std::string("node ") + kCallMixDeviceUID));
        return;
    }
    pw_proxy_add_listener(callMix_.proxy, &callMix_.listener, &kCallMixProxyEvents, &callMix_);
}

void PipeWireAudioHardware::Impl::stopMicrophoneMix() {
    for (auto& [ports, link] : callMix_.links) {
        releaseProxy(link->proxy, link->listener, link->gone ? SPA_ID_INVALID : link->globalID);
    }
    callMix_.links.clear();
    if (callMix_.microphoneFilter != nullptr) {
        spa_hook_remove(&callMix_.filterListener);
        // Returns once the real-time callback is no longer running.
        pw_filter_destroy(callMix_.microphoneFilter);
        callMix_.microphoneFilter = nullptr;
    }
    callMix_.inputPorts.clear();
    callMix_.outputPorts.clear();
}

void PipeWireAudioHardware::Impl::stopCallMix() {
    stopMicrophoneMix();
    if (callMix_.proxy != nullptr) {
        releaseProxy(callMix_.proxy, callMix_.listener, callMix_.nodeID);
    }
    callMix_.nodeID = SPA_ID_INVALID;
}

const PipeWireAudioHardware::Impl::Global* PipeWireAudioHardware::Impl::chosenMicrophone() const {
    const auto& uid = callMix_.settings.microphoneUID;
    if (!uid) {
        return nullptr;
    }
    std::optional<std::string> name = *uid;
    if (uid->empty()) {
        name.reset();
        if (graph_.defaultMetadata) {
            const auto it = graph_.defaultMetadata->values.find({0, kDefaultSourceKey});
            if (it != graph_.defaultMetadata->values.end()) {
                name = defaultNodeName(it->second);
            }
        }
    }
    const Global* node = name && *name != kCallMixDeviceUID ? nodeNamed(*name) : nullptr;
    return node != nullptr &&
                   (node->mediaClass == "Audio/Source" || node->mediaClass == "Audio/Duplex" ||
                    node->mediaClass == "Audio/Source/Virtual")
               ? node
               : nullptr;
}

bool PipeWireAudioHardware::Impl::callMixRecorded() const {
    const auto inputs = graph_.linkInputsByOutput.find(callMix_.nodeID);
    return callMix_.nodeID != SPA_ID_INVALID && inputs != graph_.linkInputsByOutput.end() &&
           !inputs->second.empty();
}

// The microphone's channels onto the mix's by position; a mono microphone onto both, one whose
// channels have other names by order.
std::vector<std::pair<std::uint32_t, std::uint32_t>>
PipeWireAudioHardware::Impl::wantedMicrophoneLinks() const {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> links;
    const Global* microphone = chosenMicrophone();
    const std::uint32_t filterNode = callMix_.microphoneFilter != nullptr
                                         ? pw_filter_get_node_id(callMix_.microphoneFilter)
                                         : SPA_ID_INVALID;
    if (microphone == nullptr || filterNode == SPA_ID_INVALID) {
        return links;
    }
    const auto filterInputs = portsOf(filterNode, "in", false);
    const auto filterOutputs = portsOf(filterNode, "out", false);
    const auto mixInputs = portsOf(callMix_.nodeID, "in", false);
    // A virtual source (a null sink of class Audio/Source/Virtual, as the call mix is) records out
    // of its monitor ports.
    auto captures = portsOf(microphone->id, "out", false);
    if (captures.empty()) {
        captures = portsOf(microphone->id, "out", true);
    }
    if (filterInputs.size() != kCallMixChannels.size() ||
        filterOutputs.size() != kCallMixChannels.size() || captures.empty()) {
        return links;
    }
    for (std::size_t i = 0; i < kCallMixChannels.size(); ++i) {
        const std::string channel = channelPositionName(kCallMixChannels[i]);
        bool matched = false;
        for (const Global* capture : captures) {
            const auto name = propertyValue(capture->properties, PW_KEY_AUDIO_CHANNEL);
            if (name == channel || name == "MONO" || captures.size() == 1) {
                links.emplace_back(capture->id, filterInputs[i]->id);
                matched = true;
            }
        }
        if (!matched) {
            links.emplace_back(captures[i % captures.size()]->id, filterInputs[i]->id);
        }
        for (const Global* input : mixInputs) {
            if (propertyValue(input->properties, PW_KEY_AUDIO_CHANNEL) == channel) {
                links.emplace_back(filterOutputs[i]->id, input->id);
            }
        }
    }
    return links;
}

void PipeWireAudioHardware::Impl::reconcileCallMix() {
    if (!callMix_.settings.on) {
        return;
    }
    if (callMix_.proxy == nullptr && !callMix_.failure) {
        startCallMixNode();
    }
    // The microphone is opened only while something records from the mix.
    const bool mixIn =
        callMix_.settings.microphoneUID && callMixRecorded() && chosenMicrophone() != nullptr;
    if (!mixIn) {
        stopMicrophoneMix();
        return;
    }
    if (callMix_.microphoneFilter == nullptr) {
        Properties properties = ownProperties();
        pw_properties_set(properties.get(), PW_KEY_NODE_NAME, kMicrophoneFilterName.c_str());
        pw_properties_set(properties.get(), PW_KEY_NODE_DESCRIPTION,
                          "Kestrelamp microphone into the call mix");
        pw_properties_set(properties.get(), PW_KEY_MEDIA_TYPE, "Audio");
        pw_properties_set(properties.get(), PW_KEY_MEDIA_CATEGORY, "Filter");
        pw_properties_set(properties.get(), PW_KEY_MEDIA_ROLE, "DSP");
        pw_properties_set(properties.get(), PW_KEY_NODE_VIRTUAL, "true");
        pw_properties_set(properties.get(), PW_KEY_NODE_AUTOCONNECT, "false");
        pw_properties_set(properties.get(), PW_KEY_OBJECT_LINGER, "false");
        callMix_.microphoneFilter =
            pw_filter_new(core_, kMicrophoneFilterName.c_str(), properties.release());
        if (callMix_.microphoneFilter == nullptr) {
            return;
        }
        pw_filter_add_listener(callMix_.microphoneFilter, &callMix_.filterListener,
                               &kMicrophoneEvents, &callMix_);
        for (const bool input : {true, false}) {
            for (const ChannelPosition channel : kCallMixChannels) {
                const std::string name =
                    (input ? "input_" : "output_") + channelPositionName(channel);
                pw_properties* portProperties = pw_properties_new(
                    PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME, name.c_str(),
                    PW_KEY_AUDIO_CHANNEL, channelPositionName(channel).c_str(), nullptr);
                void* port = pw_filter_add_port(
                    callMix_.microphoneFilter, input ? PW_DIRECTION_INPUT : PW_DIRECTION_OUTPUT,
                    PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0, portProperties, nullptr, 0);
                (input ? callMix_.inputPorts : callMix_.outputPorts).push_back(port);
            }
        }
        pw_filter_connect(callMix_.microphoneFilter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0);
    }
    const auto wanted = wantedMicrophoneLinks();
    std::erase_if(callMix_.links, [&](const auto& entry) {
        LinkProxy& link = *entry.second;
        if (link.gone || std::find(wanted.begin(), wanted.end(), entry.first) == wanted.end()) {
            releaseProxy(link.proxy, link.listener, link.gone ? SPA_ID_INVALID : link.globalID);
            return true;
        }
        return false;
    });
    for (const auto& ports : wanted) {
        if (callMix_.links.count(ports) == 0) {
            if (auto link = makeLink(ports.first, ports.second, LinkKind::carrying,
                                     kMicrophoneFilterName)) {
                callMix_.links[ports] = std::move(link);
            }
        }
    }
}

void PipeWireAudioHardware::Impl::onMicrophoneProcess(void* data, spa_io_position* position) {
    auto* mix = static_cast<CallMix*>(data);
    if (position == nullptr) {
        return;
    }
    const auto frames = std::uint32_t(position->clock.duration);
    const float gain = mix->microphoneGain.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < mix->outputPorts.size(); ++i) {
        auto* out = static_cast<float*>(pw_filter_get_dsp_buffer(mix->outputPorts[i], frames));
        if (out == nullptr) {
            continue;
        }
        const auto* in =
            i < mix->inputPorts.size()
                ? static_cast<const float*>(pw_filter_get_dsp_buffer(mix->inputPorts[i], frames))
                : nullptr;
        for (std::uint32_t f = 0; f < frames; ++f) {
            out[f] = in != nullptr ? in[f] * gain : 0.0f;
        }
    }
}

void PipeWireAudioHardware::Impl::onCallMixError(void* data, int, int res, const char* message) {
    auto* mix = static_cast<CallMix*>(data);
    mix->failure = ServerFailure{"the sound server refused the call mix", res,
                                 message != nullptr ? message : ""};
    mix->impl->reportServerError(mix->failure->logLine(std::string("node ") + kCallMixDeviceUID));
    mix->impl->changedSoon();
    pw_thread_loop_signal(mix->impl->loop_, false);
}

} // namespace kestrelamp::hal
