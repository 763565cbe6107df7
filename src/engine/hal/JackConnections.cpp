#include "engine/hal/JackConnections.h"

#include "platform/JsonText.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace kestrelamp::hal {

std::vector<std::uint32_t> JackConnections::nodes() const {
    std::vector<std::uint32_t> nodes;
    for (const auto& [node, connections] : held_) {
        nodes.push_back(node);
    }
    return nodes;
}

bool JackConnections::setAside(std::uint32_t node, const PortConnection& connection) {
    auto& connections = held_[node];
    if (std::find(connections.begin(), connections.end(), connection) != connections.end()) {
        return false;
    }
    connections.push_back(connection);
    return true;
}

const std::vector<PortConnection>& JackConnections::setAsideOf(std::uint32_t node) const {
    static const std::vector<PortConnection> none;
    const auto it = held_.find(node);
    return it != held_.end() ? it->second : none;
}

std::vector<PortConnection> JackConnections::release(std::uint32_t node) {
    const auto it = held_.find(node);
    if (it == held_.end()) {
        return {};
    }
    auto connections = std::move(it->second);
    held_.erase(it);
    return connections;
}

std::string JackConnections::encode(const std::vector<PortConnection>& connections) {
    auto list = nlohmann::json::array();
    for (const PortConnection& connection : connections) {
        list.push_back({connection.outputPort, connection.inputNode, connection.inputPort});
    }
    return jsonText(list);
}

std::vector<PortConnection> JackConnections::decode(std::string_view value) {
    const auto list = nlohmann::json::parse(value, nullptr, false);
    std::vector<PortConnection> connections;
    if (!list.is_array()) {
        return connections;
    }
    for (const auto& entry : list) {
        if (!entry.is_array() || entry.size() != 3 ||
            !std::all_of(entry.begin(), entry.end(), [](const auto& part) {
                return part.is_string() && !part.template get<std::string>().empty();
            })) {
            continue;
        }
        connections.push_back({entry[0], entry[1], entry[2]});
    }
    return connections;
}

} // namespace kestrelamp::hal
