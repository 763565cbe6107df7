#include "engine/hal/PipeWireHardwareImpl.h"

#include <algorithm>

namespace kestrelamp::hal {

namespace {

bool isAudioPort(const PipeWireAudioHardware::Impl::Global& port) {
    return propertyValue(port.properties, PW_KEY_FORMAT_DSP).value_or("").find("audio") !=
           std::string::npos;
}

} // namespace

// pipewire-jack's nodes have no media class; one with audio outputs is a program playing. Only
// once it is active: a client registers its ports before, one by one, and a layout worked out
// from them meanwhile would make our nodes again and again, under its feet.
bool PipeWireAudioHardware::Impl::isJackPlayer(const Global& node) const {
    return node.kind == GlobalKind::node && node.described && node.mediaClass.empty() &&
           node.state == PW_NODE_STATE_RUNNING &&
           propertyValue(node.properties, PW_KEY_CLIENT_API) == "jack" &&
           !jackOutputs(node.id).empty();
}

std::vector<const PipeWireAudioHardware::Impl::Global*>
PipeWireAudioHardware::Impl::jackOutputs(std::uint32_t node) const {
    auto ports = portsOf(node, "out", false);
    std::erase_if(ports, [](const Global* port) { return !isAudioPort(*port); });
    return ports;
}

bool PipeWireAudioHardware::Impl::isOwnNode(std::int64_t node) const {
    const Global* found = global(std::uint32_t(node), GlobalKind::node);
    return found != nullptr && found->nodeName.starts_with(kOwnAggregateUIDPrefix);
}

// Its ports carry no positions: the layout is the one of its number of outputs.
void PipeWireAudioHardware::Impl::describeJackPlayer(Global& node) {
    const auto outputs = std::uint32_t(jackOutputs(node.id).size());
    if (node.formatChannels.size() != outputs) {
        node.formatChannels = defaultChannelLayout(outputs);
    }
}

bool PipeWireAudioHardware::Impl::hasOutputLinks(std::uint32_t node) const {
    return std::any_of(graph_.globals.begin(), graph_.globals.end(), [&](const auto& entry) {
        return entry.second->kind == GlobalKind::link && entry.second->linkOutputNode == node;
    });
}

bool PipeWireAudioHardware::Impl::portsLinked(std::uint32_t outputPort,
                                              std::uint32_t inputPort) const {
    return std::any_of(graph_.globals.begin(), graph_.globals.end(), [&](const auto& entry) {
        const Global& link = *entry.second;
        return link.kind == GlobalKind::link &&
               integerProperty(link.properties, PW_KEY_LINK_OUTPUT_PORT) == outputPort &&
               integerProperty(link.properties, PW_KEY_LINK_INPUT_PORT) == inputPort;
    });
}

// Its audio connections to devices are set aside and undone (what it sends to other programs,
// recorders or MIDI, stays); each output then feeds the capture node's input of the same index (a
// single output feeds them all).
void PipeWireAudioHardware::Impl::holdJackStream(CaptureSink& sink, std::uint32_t stream) {
    sink.jack.hold(stream);
    bool setAside = false;
    const auto outputs = jackOutputs(stream);
    const auto portOf = [&](const Global& link, const char* key) {
        return global(std::uint32_t(integerProperty(link.properties, key).value_or(SPA_ID_INVALID)),
                      GlobalKind::port);
    };
    for (const auto& [id, link] : graph_.globals) {
        if (link->kind != GlobalKind::link || link->linkOutputNode != stream ||
            !link->linkInputNode || undoneLinks_.count(id) > 0) {
            continue;
        }
        const Global* output = portOf(*link, PW_KEY_LINK_OUTPUT_PORT);
        const Global* input = portOf(*link, PW_KEY_LINK_INPUT_PORT);
        const Global* device = global(std::uint32_t(*link->linkInputNode), GlobalKind::node);
        if (output == nullptr || input == nullptr || device == nullptr ||
            std::find(outputs.begin(), outputs.end(), output) == outputs.end() ||
            (device->mediaClass != "Audio/Sink" && device->mediaClass != "Audio/Duplex")) {
            continue;
        }
        setAside = sink.jack.setAside(
                       stream, {propertyValue(output->properties, PW_KEY_PORT_NAME).value_or(""),
                                device->nodeName,
                                propertyValue(input->properties, PW_KEY_PORT_NAME).value_or("")}) ||
                   setAside;
        undoneLinks_.insert(id);
        pw_registry_destroy(registry_, id);
    }
    const auto& record = sink.jack.setAsideOf(stream);
    if (!record.empty() && (setAside || !metadataValue(stream, kEarlierConnectionsKey))) {
        writeMetadata({stream, kEarlierConnectionsKey, JackConnections::encode(record)});
    }
    if (sink.nodeID == SPA_ID_INVALID) {
        return;
    }
    const auto inputs = portsOf(sink.nodeID, "in", false);
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        for (std::size_t j = 0; j < inputs.size(); ++j) {
            if (outputs.size() > 1 && i != j) {
                continue;
            }
            auto& link = sink.jackLinks[{outputs[i]->id, inputs[j]->id}];
            if (link && link->gone) {
                releaseLink(*link, SPA_ID_INVALID);
                link.reset();
            }
            if (!link) {
                link = makeLink(outputs[i]->id, inputs[j]->id, LinkKind::carrying, sink.nodeName);
            }
        }
    }
}

void PipeWireAudioHardware::Impl::releaseJackStreams(CaptureSink& sink, bool restore) {
    for (auto& [ports, link] : sink.jackLinks) {
        if (link) {
            releaseLink(*link, link->globalID);
        }
    }
    sink.jackLinks.clear();
    for (const std::uint32_t stream : sink.jack.nodes()) {
        const auto connections = sink.jack.release(stream);
        if (restore) {
            remakeConnections(stream, connections);
        }
        if (restore && !connections.empty()) {
            writeMetadata({stream, kEarlierConnectionsKey, std::nullopt});
        }
    }
}

// As the program made them, they outlive our connection.
void PipeWireAudioHardware::Impl::remakeConnections(
    std::uint32_t stream, const std::vector<PortConnection>& connections) {
    const auto portNamed = [&](std::uint32_t node, const char* direction, const std::string& name) {
        const auto ports = portsOf(node, direction, false);
        const auto it = std::find_if(ports.begin(), ports.end(), [&](const Global* port) {
            return propertyValue(port->properties, PW_KEY_PORT_NAME) == name;
        });
        return it != ports.end() ? *it : nullptr;
    };
    for (const PortConnection& connection : connections) {
        const Global* inputNode = nodeNamed(connection.inputNode);
        const Global* output = portNamed(stream, "out", connection.outputPort);
        const Global* input =
            inputNode != nullptr ? portNamed(inputNode->id, "in", connection.inputPort) : nullptr;
        if (output == nullptr || input == nullptr || portsLinked(output->id, input->id)) {
            continue;
        }
        if (auto link = makeLink(output->id, input->id, LinkKind::lasting, connection.inputNode)) {
            lastingLinks_.push_back(std::move(link));
        }
    }
}

// Once the server has them, their proxies go: the links stay.
void PipeWireAudioHardware::Impl::dropLastingLinkProxies() {
    std::erase_if(lastingLinks_, [this](std::unique_ptr<LinkProxy>& link) {
        if (link->globalID == SPA_ID_INVALID && !link->gone) {
            return false;
        }
        releaseLink(*link, SPA_ID_INVALID);
        return true;
    });
}

bool PipeWireAudioHardware::Impl::linkedToOwnSink(std::uint32_t stream) const {
    return std::any_of(sinks_.begin(), sinks_.end(), [&](const auto& entry) {
        return entry.second->nodeID != SPA_ID_INVALID && linked(stream, entry.second->nodeID);
    });
}

void PipeWireAudioHardware::Impl::repairLeftoverConnections() {
    if (!graph_.defaultMetadata) {
        return;
    }
    std::vector<std::pair<std::uint32_t, std::string>> leftovers;
    for (const auto& [subjectKey, value] : graph_.defaultMetadata->values) {
        if (subjectKey.second == kEarlierConnectionsKey) {
            leftovers.emplace_back(subjectKey.first, value);
        }
    }
    // A record stays while a running instance holds the program (its links go to nodes of ours)
    // or while the program is not active.
    for (const auto& [leftoverStream, value] : leftovers) {
        const std::uint32_t stream = leftoverStream; // lambdas may not capture a binding in C++20
        const Global* node = global(stream, GlobalKind::node);
        // Read from the links themselves: this runs before the first listing.
        const bool held =
            std::any_of(graph_.globals.begin(), graph_.globals.end(), [&](const auto& entry) {
                const Global& link = *entry.second;
                return link.kind == GlobalKind::link && link.linkOutputNode == stream &&
                       link.linkInputNode && isOwnNode(*link.linkInputNode);
            });
        if (node != nullptr && (!isJackPlayer(*node) || held)) {
            continue;
        }
        if (node != nullptr) {
            remakeConnections(stream, JackConnections::decode(value));
        }
        writeMetadata({stream, kEarlierConnectionsKey, std::nullopt});
    }
}

} // namespace kestrelamp::hal
