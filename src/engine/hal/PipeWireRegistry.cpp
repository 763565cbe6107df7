#include "engine/hal/PipeWireHardwareImpl.h"

#include "platform/Utf8.h"

#include <spa/param/audio/format-utils.h>
#include <spa/param/param.h>
#include <spa/param/props.h>
#include <spa/pod/iter.h>

#include <algorithm>
#include <cstdlib>

namespace kestrelamp::hal {

namespace {

using Impl = PipeWireAudioHardware::Impl;

// Every property string enters the program here. Clients write what they like into them, so
// names, identifiers and paths are made valid UTF-8 before anything shows or encodes them.
PropertyMap toMap(const spa_dict* dict) {
    PropertyMap map;
    if (dict == nullptr) {
        return map;
    }
    const spa_dict_item* item;
    spa_dict_for_each(item, dict) {
        if (item->key != nullptr && item->value != nullptr) {
            map[validUtf8(item->key)] = validUtf8(item->value);
        }
    }
    return map;
}

bool isDeviceClass(const std::string& mediaClass) {
    return mediaClass.starts_with("Audio/Sink") || mediaClass.starts_with("Audio/Source") ||
           mediaClass.starts_with("Audio/Duplex");
}

// Members a designated initializer leaves out are null, as meant; GCC 12 warns about them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
const pw_proxy_events kGlobalProxyEvents{.version = PW_VERSION_PROXY_EVENTS,
                                         .destroy = &Impl::onGlobalProxyDestroy};
const pw_node_events kNodeEvents{
    .version = PW_VERSION_NODE_EVENTS, .info = &Impl::onNodeInfo, .param = &Impl::onNodeParam};
const pw_client_events kClientEvents{.version = PW_VERSION_CLIENT_EVENTS,
                                     .info = &Impl::onPropertiesInfo<pw_client_info>};
const pw_device_events kDeviceEvents{.version = PW_VERSION_DEVICE_EVENTS,
                                     .info = &Impl::onPropertiesInfo<pw_device_info>};
const pw_port_events kPortEvents{.version = PW_VERSION_PORT_EVENTS,
                                 .info = &Impl::onPropertiesInfo<pw_port_info>};
const pw_metadata_events kMetadataEvents{.version = PW_VERSION_METADATA_EVENTS,
                                         .property = &Impl::onMetadataEvent};
#pragma GCC diagnostic pop

} // namespace

// --- Registry cache ------------------------------------------------------------------------

void PipeWireAudioHardware::Impl::onRegistryGlobal(void* data, std::uint32_t id, std::uint32_t,
                                                   const char* type, std::uint32_t version,
                                                   const spa_dict* props) {
    auto* self = static_cast<Impl*>(data);
    self->addGlobal(id, type, version, props);
    self->changedSoon();
    pw_thread_loop_signal(self->loop_, false);
}

void PipeWireAudioHardware::Impl::onRegistryGlobalRemove(void* data, std::uint32_t id) {
    auto* self = static_cast<Impl*>(data);
    self->removeGlobal(id);
    self->changedSoon();
    pw_thread_loop_signal(self->loop_, false);
}

void PipeWireAudioHardware::Impl::addGlobal(std::uint32_t id, const char* type,
                                            std::uint32_t version, const spa_dict* props) {
    const std::string typeName = type != nullptr ? type : "";
    if (typeName == PW_TYPE_INTERFACE_Metadata) {
        const char* name = spa_dict_lookup(props, PW_KEY_METADATA_NAME);
        if (name != nullptr &&
            (std::string(name) == "default" || std::string(name) == "settings")) {
            bindMetadata(id, name);
        }
        return;
    }
    GlobalKind kind;
    const void* events = nullptr;
    std::uint32_t bindVersion = version;
    if (typeName == PW_TYPE_INTERFACE_Client) {
        kind = GlobalKind::client;
        events = &kClientEvents;
        bindVersion = std::min<std::uint32_t>(version, PW_VERSION_CLIENT);
    } else if (typeName == PW_TYPE_INTERFACE_Node) {
        kind = GlobalKind::node;
        events = &kNodeEvents;
        bindVersion = std::min<std::uint32_t>(version, PW_VERSION_NODE);
    } else if (typeName == PW_TYPE_INTERFACE_Device) {
        kind = GlobalKind::device;
        events = &kDeviceEvents;
        bindVersion = std::min<std::uint32_t>(version, PW_VERSION_DEVICE);
    } else if (typeName == PW_TYPE_INTERFACE_Port) {
        kind = GlobalKind::port;
        events = &kPortEvents;
        bindVersion = std::min<std::uint32_t>(version, PW_VERSION_PORT);
    } else if (typeName == PW_TYPE_INTERFACE_Link) {
        kind = GlobalKind::link;
    } else {
        return;
    }
    auto global = std::make_unique<Global>();
    global->impl = this;
    global->id = id;
    global->kind = kind;
    global->mergeProperties(props);
    if (events != nullptr) {
        global->proxy = static_cast<pw_proxy*>(
            pw_registry_bind(registry_, id, typeName.c_str(), bindVersion, 0));
        if (global->proxy != nullptr) {
            pw_proxy_add_listener(global->proxy, &global->proxyListener, &kGlobalProxyEvents,
                                  global.get());
            pw_proxy_add_object_listener(global->proxy, &global->objectListener, events,
                                         global.get());
        }
    }
    indexPort(*global, std::nullopt);
    graph_.globals[id] = std::move(global);
}

void PipeWireAudioHardware::Impl::indexPort(const Global& port,
                                            std::optional<std::int64_t> before) {
    if (port.kind != GlobalKind::port || before == port.portNode) {
        return;
    }
    if (before) {
        const auto it = graph_.portsByNode.find(*before);
        if (it != graph_.portsByNode.end() && it->second.erase(port.id) > 0 && it->second.empty()) {
            graph_.portsByNode.erase(it);
        }
    }
    if (port.portNode) {
        graph_.portsByNode[*port.portNode].insert(port.id);
    }
}

void PipeWireAudioHardware::Impl::Global::mergeProperties(const spa_dict* dict) {
    for (auto& [key, value] : toMap(dict)) {
        properties[key] = std::move(value);
    }
    mediaClass = propertyValue(properties, PW_KEY_MEDIA_CLASS).value_or(std::string());
    nodeName = propertyValue(properties, PW_KEY_NODE_NAME).value_or(std::string());
    portNode = integerProperty(properties, PW_KEY_NODE_ID);
    portDirection = propertyValue(properties, PW_KEY_PORT_DIRECTION).value_or(std::string());
    portMonitor = isTruthy(propertyValue(properties, PW_KEY_PORT_MONITOR));
    portIndex = std::atoi(propertyValue(properties, PW_KEY_PORT_ID).value_or("0").c_str());
    linkOutputNode = integerProperty(properties, PW_KEY_LINK_OUTPUT_NODE);
    linkInputNode = integerProperty(properties, PW_KEY_LINK_INPUT_NODE);
}

void PipeWireAudioHardware::Impl::destroyGlobal(Global& global) {
    if (global.proxy != nullptr) {
        pw_proxy* proxy = global.proxy;
        spa_hook_remove(&global.objectListener);
        spa_hook_remove(&global.proxyListener);
        global.proxy = nullptr;
        pw_proxy_destroy(proxy);
    }
}

void PipeWireAudioHardware::Impl::onGlobalProxyDestroy(void* data) {
    auto* global = static_cast<Global*>(data);
    spa_hook_remove(&global->objectListener);
    spa_hook_remove(&global->proxyListener);
    global->proxy = nullptr;
}

void PipeWireAudioHardware::Impl::removeGlobal(std::uint32_t id) {
    for (auto* metadata : {&graph_.defaultMetadata, &graph_.settingsMetadata}) {
        if (*metadata && (*metadata)->id == id) {
            destroyMetadata(*metadata);
            return;
        }
    }
    const auto it = graph_.globals.find(id);
    if (it == graph_.globals.end()) {
        return;
    }
    destroyGlobal(*it->second);
    Global& gone = *it->second;
    if (gone.kind == GlobalKind::client) {
        std::erase_if(graph_.hostedPrograms,
                      [&](const auto& entry) { return entry.first.first == id; });
    }
    const auto node = gone.portNode;
    gone.portNode.reset();
    indexPort(gone, node);
    graph_.globals.erase(it);
    for (auto& [serial, sink] : sinks_) {
        sink->targets.forget(id);
        sink->jack.forget(id);
    }
    targetsOnTheirWay_.forget(id);
    graph_.streamsOnASink.erase(id);
    graph_.sinkSightings.erase(id);
    undoneLinks_.erase(id);
    // The server drops the entries of an object that went, but may say so only after the id was
    // given to a new object: what is left of them describes nothing.
    if (graph_.defaultMetadata) {
        std::erase_if(graph_.defaultMetadata->values,
                      [&](const auto& entry) { return entry.first.first == id; });
    }
}

void PipeWireAudioHardware::Impl::onNodeInfo(void* data, const pw_node_info* info) {
    auto* global = static_cast<Global*>(data);
    global->mergeProperties(info->props);
    global->state = info->state;
    global->described = true;
    const std::string& mediaClass = global->mediaClass;
    // Devices for their rate, applications' streams for their channel layout.
    const bool wanted = isDeviceClass(mediaClass) || mediaClass == kPlaybackStreamClass;
    // Recording streams for their volume, which they are not moved before they took, only while
    // a volume of ours is on its way or may come back with a new stream.
    const pipewire::RecordingStreams& recordings = global->impl->recordings_;
    const bool recording =
        mediaClass == pipewire::kRecordingStreamClass &&
        (recordings.volumeSent.count(global->id) > 0 || !recordings.gainedApplications.empty());
    if ((wanted || recording) && global->proxy != nullptr &&
        (info->change_mask & PW_NODE_CHANGE_MASK_PARAMS)) {
        for (std::uint32_t i = 0; i < info->n_params; ++i) {
            const std::uint32_t param = info->params[i].id;
            if ((wanted && param == SPA_PARAM_Format) || (recording && param == SPA_PARAM_Props)) {
                pw_node_enum_params(reinterpret_cast<pw_node*>(global->proxy), 0, param, 0, 1,
                                    nullptr);
            }
        }
    }
    global->impl->changedSoon();
    pw_thread_loop_signal(global->impl->loop_, false);
}

void PipeWireAudioHardware::Impl::onNodeParam(void* data, int, std::uint32_t id, std::uint32_t,
                                              std::uint32_t, const spa_pod* param) {
    auto* global = static_cast<Global*>(data);
    if (id == SPA_PARAM_Props && param != nullptr) {
        readStreamProps(*global, param);
        return;
    }
    if (id != SPA_PARAM_Format || param == nullptr) {
        return;
    }
    std::uint32_t mediaType = 0;
    std::uint32_t mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_audio || mediaSubtype != SPA_MEDIA_SUBTYPE_raw) {
        return;
    }
    spa_audio_info_raw raw{};
    if (spa_format_audio_raw_parse(param, &raw) < 0) {
        return;
    }
    if (raw.rate > 0) {
        global->formatRate = raw.rate;
    }
    ++global->formatChanges;
    const std::uint32_t channels = std::min<std::uint32_t>(raw.channels, SPA_AUDIO_MAX_CHANNELS);
    global->formatChannels.clear();
    if (channels > 0 && !(raw.flags & SPA_AUDIO_FLAG_UNPOSITIONED)) {
        for (std::uint32_t c = 0; c < channels; ++c) {
            global->formatChannels.push_back(ChannelPosition(raw.position[c]));
        }
    } else if (channels > 0) {
        global->formatChannels = defaultChannelLayout(channels);
    }
    global->impl->changedSoon();
}

void PipeWireAudioHardware::Impl::readStreamProps(Global& stream, const spa_pod* param) {
    float volumes[SPA_AUDIO_MAX_CHANNELS];
    std::uint32_t count = 0;
    bool muted = false;
    const auto* object = reinterpret_cast<const spa_pod_object*>(param);
    if (!spa_pod_is_object_type(param, SPA_TYPE_OBJECT_Props)) {
        return;
    }
    const spa_pod_prop* prop = nullptr;
    SPA_POD_OBJECT_FOREACH(object, prop) {
        if (prop->key == SPA_PROP_channelVolumes) {
            count =
                spa_pod_copy_array(&prop->value, SPA_TYPE_Float, volumes, SPA_AUDIO_MAX_CHANNELS);
        } else if (prop->key == SPA_PROP_mute) {
            spa_pod_get_bool(&prop->value, &muted);
        }
    }
    if (count > 0) {
        stream.propsVolume = volumes[0];
    }
    stream.propsMuted = muted;
    stream.impl->changedSoon();
    pw_thread_loop_signal(stream.impl->loop_, false);
}

template <class Info>
void PipeWireAudioHardware::Impl::onPropertiesInfo(void* data, const Info* info) {
    auto* global = static_cast<Global*>(data);
    const auto node = global->portNode;
    global->mergeProperties(info->props);
    global->impl->indexPort(*global, node);
    global->impl->changedSoon();
    pw_thread_loop_signal(global->impl->loop_, false);
}

// --- Metadata ------------------------------------------------------------------------------

PipeWireAudioHardware::Impl::Metadata*
PipeWireAudioHardware::Impl::bindMetadata(std::uint32_t id, const std::string& name) {
    auto& slot = name == "default" ? graph_.defaultMetadata : graph_.settingsMetadata;
    if (slot) {
        return slot.get();
    }
    auto metadata = std::make_unique<Metadata>();
    metadata->impl = this;
    metadata->id = id;
    metadata->name = name;
    metadata->proxy = static_cast<pw_metadata*>(
        pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
    if (metadata->proxy == nullptr) {
        return nullptr;
    }
    pw_metadata_add_listener(metadata->proxy, &metadata->listener, &kMetadataEvents,
                             metadata.get());
    slot = std::move(metadata);
    return slot.get();
}

void PipeWireAudioHardware::Impl::destroyMetadata(std::unique_ptr<Metadata>& metadata) {
    if (!metadata) {
        return;
    }
    if (metadata->proxy != nullptr) {
        spa_hook_remove(&metadata->listener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(metadata->proxy));
    }
    metadata.reset();
}

int PipeWireAudioHardware::Impl::onMetadataEvent(void* data, std::uint32_t subject, const char* key,
                                                 const char*, const char* value) {
    auto* metadata = static_cast<Metadata*>(data);
    metadata->impl->onMetadataProperty(*metadata, subject, key, value);
    metadata->impl->changedSoon();
    pw_thread_loop_signal(metadata->impl->loop_, false);
    return 0;
}

void PipeWireAudioHardware::Impl::onMetadataProperty(Metadata& metadata, std::uint32_t subject,
                                                     const char* key, const char* value) {
    std::vector<std::string> changedKeys;
    if (key == nullptr) {
        // Everything of the subject was cleared.
        for (auto it = metadata.values.begin(); it != metadata.values.end();) {
            if (it->first.first == subject) {
                changedKeys.push_back(it->first.second);
                it = metadata.values.erase(it);
            } else {
                ++it;
            }
        }
    } else {
        changedKeys.emplace_back(key);
        if (value == nullptr) {
            metadata.values.erase({subject, key});
        } else {
            metadata.values[{subject, key}] = value;
        }
    }
    if (&metadata != graph_.defaultMetadata.get()) {
        return;
    }
    for (const std::string& changedKey : changedKeys) {
        if (changedKey == kTargetObjectKey || changedKey == kTargetNodeKey) {
            onStreamTargetChanged(subject, changedKey, metadataValue(subject, changedKey));
        }
    }
}

std::optional<std::string>
PipeWireAudioHardware::Impl::metadataValue(std::uint32_t subject, const std::string& key) const {
    if (!graph_.defaultMetadata) {
        return std::nullopt;
    }
    const auto it = graph_.defaultMetadata->values.find({subject, key});
    return it != graph_.defaultMetadata->values.end() ? std::optional(it->second) : std::nullopt;
}

bool PipeWireAudioHardware::Impl::writeMetadata(const MetadataWrite& write) {
    if (!graph_.defaultMetadata || graph_.defaultMetadata->proxy == nullptr) {
        return false;
    }
    pw_metadata_set_property(graph_.defaultMetadata->proxy, write.subject, write.key.c_str(),
                             nullptr, write.value ? write.value->c_str() : nullptr);
    targetsOnTheirWay_.wrote(write);
    return true;
}

// --- Graph queries -------------------------------------------------------------------------

const PipeWireAudioHardware::Impl::Global*
PipeWireAudioHardware::Impl::global(std::uint32_t id, GlobalKind kind) const {
    const auto it = graph_.globals.find(id);
    return it != graph_.globals.end() && it->second->kind == kind ? it->second.get() : nullptr;
}

const PropertyMap& PipeWireAudioHardware::Impl::linkedProperties(const Global& from,
                                                                 const char* key,
                                                                 GlobalKind kind) const {
    static const PropertyMap none;
    const auto id = integerProperty(from.properties, key);
    const Global* linked = id ? global(std::uint32_t(*id), kind) : nullptr;
    return linked != nullptr ? linked->properties : none;
}

std::vector<const PipeWireAudioHardware::Impl::Global*>
PipeWireAudioHardware::Impl::portsOf(std::uint32_t nodeID, const char* direction,
                                     bool monitor) const {
    std::vector<const Global*> ports;
    const auto indexed = graph_.portsByNode.find(nodeID);
    if (indexed == graph_.portsByNode.end()) {
        return ports;
    }
    for (const std::uint32_t id : indexed->second) {
        const Global* port = global(id, GlobalKind::port);
        if (port != nullptr && port->portDirection == direction && port->portMonitor == monitor) {
            ports.push_back(port);
        }
    }
    std::sort(ports.begin(), ports.end(),
              [](const Global* a, const Global* b) { return a->portIndex < b->portIndex; });
    return ports;
}

ChannelLayout PipeWireAudioHardware::Impl::portChannels(std::uint32_t nodeID,
                                                        const char* direction) const {
    ChannelLayout channels;
    for (const Global* port : portsOf(nodeID, direction, false)) {
        const auto name = propertyValue(port->properties, PW_KEY_AUDIO_CHANNEL);
        const auto position = name ? channelPositionFromName(*name) : std::nullopt;
        channels.push_back(position.value_or(auxPosition(std::uint32_t(channels.size()))));
    }
    return channels;
}

const PipeWireAudioHardware::Impl::Global*
PipeWireAudioHardware::Impl::nodeNamed(const std::string& name) const {
    for (const auto& [id, global] : graph_.globals) {
        if (global->kind == GlobalKind::node && global->nodeName == name) {
            return global.get();
        }
    }
    return nullptr;
}

} // namespace kestrelamp::hal
