#include "engine/hal/PipeWireProperties.h"

#include "engine/hal/AudioHardware.h"
#include "platform/JsonText.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace kestrelamp::hal {

namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string loweredValue(const PropertyMap& properties, std::string_view key) {
    return lowered(propertyValue(properties, key).value_or(std::string()));
}

bool contains(const std::string& haystack, std::string_view needle) {
    return haystack.find(needle) != std::string::npos;
}

// Profile, path and name texts that tell an HDMI or DisplayPort output apart on a PCI card.
std::string displayHints(const PropertyMap& node, const PropertyMap& device) {
    std::string hints;
    for (const char* key : {"device.profile.name", "device.profile.description", "node.name",
                            "node.description", "api.alsa.path", "api.alsa.pcm.name"}) {
        hints += loweredValue(node, key) + "\n";
    }
    for (const char* key : {"device.profile.name", "device.description", "api.alsa.card.name"}) {
        hints += loweredValue(device, key) + "\n";
    }
    return hints;
}

} // namespace

std::optional<std::string> propertyValue(const PropertyMap& properties, std::string_view key) {
    const auto it = properties.find(key);
    if (it == properties.end() || it->second.empty()) {
        return std::nullopt;
    }
    return it->second;
}

bool isTruthy(const std::optional<std::string>& value) {
    return value && (*value == "true" || *value == "1");
}

std::optional<std::int64_t> integerProperty(const PropertyMap& properties, std::string_view key) {
    const auto text = propertyValue(properties, key);
    if (!text) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (error != std::errc() || end != text->data() + text->size() || value <= 0) {
        return std::nullopt;
    }
    return value;
}

std::uint32_t transportTypeFor(const PropertyMap& node, const PropertyMap& device) {
    const auto either = [&](std::string_view key) {
        const std::string value = loweredValue(node, key);
        return value.empty() ? loweredValue(device, key) : value;
    };
    const std::string api = either("device.api");
    const std::string bus = either("device.bus");
    const std::string factory = loweredValue(node, "factory.name");
    const std::string nodeName = loweredValue(node, "node.name");

    if (api == "bluez5") {
        const std::string profile = either("api.bluez5.profile") + either("device.profile.name");
        const bool leAudio = contains(profile, "bap") || contains(profile, "le-audio") ||
                             contains(profile, "le_audio");
        return leAudio ? fourCharCode("blea") : fourCharCode("blue");
    }
    if (contains(nodeName, "raop") || propertyValue(node, "raop.ip") || contains(factory, "raop")) {
        return fourCharCode("airp");
    }
    if (propertyValue(node, "combine.mode") || nodeName.starts_with("combine")) {
        return fourCharCode("grup");
    }
    if (bus == "usb") {
        return fourCharCode("usb ");
    }
    if (bus == "thunderbolt") {
        return fourCharCode("thun");
    }
    if (bus == "firewire" || bus == "ieee1394" || api == "ffado") {
        return fourCharCode("1394");
    }
    const std::string hints = displayHints(node, device);
    if (contains(hints, "hdmi")) {
        return fourCharCode("hdmi");
    }
    if (contains(hints, "displayport") || contains(hints, "display port")) {
        return fourCharCode("dprt");
    }
    if (bus == "pci") {
        const std::string formFactor = either("device.form-factor");
        const bool onboard = formFactor == "internal" || contains(hints, "analog");
        return onboard ? fourCharCode("bltn") : fourCharCode("pci ");
    }
    if (factory == "support.null-audio-sink" || isTruthy(propertyValue(node, "node.virtual"))) {
        return fourCharCode("virt");
    }
    return 0;
}

std::optional<std::string> defaultNodeName(std::string_view json) {
    const auto document = nlohmann::json::parse(json, nullptr, false);
    if (!document.is_object()) {
        return std::nullopt;
    }
    const auto name = document.find("name");
    if (name == document.end() || !name->is_string() || name->get<std::string>().empty()) {
        return std::nullopt;
    }
    return name->get<std::string>();
}

std::string defaultNodeValue(const std::string& nodeName) {
    return jsonText(nlohmann::json{{"name", nodeName}});
}

} // namespace kestrelamp::hal
