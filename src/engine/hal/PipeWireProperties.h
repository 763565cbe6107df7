#pragma once

// How PipeWire objects' properties become the values of the audio-service interface. Pure
// functions over property maps, so they can be checked without a server.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kestrelamp::hal {

using PropertyMap = std::map<std::string, std::string, std::less<>>;

// The value under key, or nothing when it is absent or empty.
std::optional<std::string> propertyValue(const PropertyMap& properties, std::string_view key);

// Four-character transport code of a sink or source node, from the node's own properties and
// those of the device it belongs to (empty for nodes without one). 0 when nothing tells.
std::uint32_t transportTypeFor(const PropertyMap& node, const PropertyMap& device);

// The node name in a "default" metadata value such as {"name": "alsa_output.pci"}.
std::optional<std::string> defaultNodeName(std::string_view json);
// The value written to make a node the configured default.
std::string defaultNodeValue(const std::string& nodeName);

// A positive integer property such as a process id or a sample rate.
std::optional<std::int64_t> integerProperty(const PropertyMap& properties, std::string_view key);

bool isTruthy(const std::optional<std::string>& value);

} // namespace kestrelamp::hal
