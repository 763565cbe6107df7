#include "model/AudioModel.h"

#include "model/JsonFields.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <utility>

namespace kestrelamp {

using nlohmann::json;

std::string uuidString(const QUuid& uuid) {
    return uuid.toString(QUuid::WithoutBraces).toUpper().toStdString();
}

std::optional<QUuid> parseUuid(std::string_view text) {
    static constexpr std::array<std::size_t, 4> hyphens{8, 13, 18, 23};
    if (text.size() != 36) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool hyphenPosition =
            i == hyphens[0] || i == hyphens[1] || i == hyphens[2] || i == hyphens[3];
        const char c = text[i];
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (hyphenPosition ? c != '-' : !hex) {
            return std::nullopt;
        }
    }
    return QUuid::fromString(QAnyStringView(QByteArrayView(text.data(), qsizetype(text.size()))));
}

std::optional<std::string> lastIdentifierComponent(std::string_view bundleID) {
    std::size_t end = bundleID.size();
    while (end > 0 && bundleID[end - 1] == '.') {
        --end;
    }
    if (end == 0) {
        return std::nullopt;
    }
    const std::size_t dot = bundleID.rfind('.', end - 1);
    const std::size_t begin = dot == std::string_view::npos ? 0 : dot + 1;
    return std::string(bundleID.substr(begin, end - begin));
}

AudioApp AudioApp::make(const std::string& bundleID, std::int32_t processID,
                        AudioObjectID audioObjectID,
                        const RunningApplications& runningApplications) {
    AudioApp app;
    app.id = bundleID;
    app.processID = processID;
    app.audioObjectID = audioObjectID;
    const std::string fallbackName = lastIdentifierComponent(bundleID).value_or(bundleID);
    if (const auto running = runningApplications.firstRunningApplication(bundleID)) {
        app.displayName = running->localizedName.value_or(fallbackName);
        app.icon = running->icon;
    } else {
        app.displayName = fallbackName;
    }
    return app;
}

AppAudioState AppAudioState::defaultFor(const AudioApp& app) {
    AppAudioState state;
    state.id = app.id;
    state.displayName = app.displayName;
    return state;
}

json toJson(const AppAudioState& state) {
    json object = json::object();
    object["id"] = state.id;
    object["displayName"] = state.displayName;
    object["volume"] =
        json_fields::boundedFloatAsWritten(state.volume, kMinVolume, kMaxVolume, kMaxVolume);
    object["isMuted"] = state.isMuted;
    object["outputDeviceUIDs"] = state.outputDeviceUIDs;
    if (state.eqPresetID) {
        object["eqPresetID"] = uuidString(*state.eqPresetID);
    }
    object["isPinned"] = state.isPinned;
    object["isIgnored"] = state.isIgnored;
    object["boostMultiplier"] = std::clamp(state.boostMultiplier, kMinBoost, kMaxBoost);
    return object;
}

namespace {

// Older files stored one device under "outputDeviceUID": a readable "outputDeviceUIDs" array wins,
// any problem with it falls back to the single legacy UID.
std::vector<std::string> decodeOutputDevices(const json& object) {
    if (auto list = json_fields::tryStringArray(object, "outputDeviceUIDs")) {
        return std::move(*list);
    }
    if (auto legacy = json_fields::optionalString(object, "outputDeviceUID")) {
        return {std::move(*legacy)};
    }
    return {};
}

} // namespace

Expected<AppAudioState, DecodingError> appAudioStateFromJson(const json& object) {
    using namespace json_fields;
    return decode([&] {
        requireObject(object, "an app state");
        AppAudioState state;
        state.id = requiredString(object, "id");
        state.displayName = requiredString(object, "displayName");
        state.volume = requiredBoundedFloat(object, "volume", kMinVolume, kMaxVolume);
        state.isMuted = requiredBool(object, "isMuted");
        state.outputDeviceUIDs = decodeOutputDevices(object);
        state.eqPresetID = optionalUuid(object, "eqPresetID");
        state.isPinned = optionalBool(object, "isPinned").value_or(false);
        state.isIgnored = optionalBool(object, "isIgnored").value_or(false);
        state.boostMultiplier =
            std::clamp(optionalInt64(object, "boostMultiplier").value_or(1), kMinBoost, kMaxBoost);
        return state;
    });
}

std::string encodeAppAudioStates(const std::vector<AppAudioState>& states) {
    return json_fields::encodeArray(states);
}

Expected<std::vector<AppAudioState>, DecodingError> decodeAppAudioStates(std::string_view bytes) {
    return json_fields::decodeArray<AppAudioState>(bytes, appAudioStateFromJson);
}

std::optional<AudioDeviceTransportType> transportTypeFromRawValue(std::uint32_t raw) {
    using T = AudioDeviceTransportType;
    for (T type : {T::builtIn, T::aggregate, T::virtualDevice, T::usb, T::firewire, T::bluetooth,
                   T::bluetoothLE, T::hdmi, T::displayPort, T::airPlay, T::pci, T::thunderbolt,
                   T::unknown}) {
        if (rawValue(type) == raw) {
            return type;
        }
    }
    return std::nullopt;
}

const char* transportTypeName(AudioDeviceTransportType type) {
    using T = AudioDeviceTransportType;
    switch (type) {
    case T::builtIn:
        return "builtIn";
    case T::aggregate:
        return "aggregate";
    case T::virtualDevice:
        return "virtual";
    case T::usb:
        return "usb";
    case T::firewire:
        return "firewire";
    case T::bluetooth:
        return "bluetooth";
    case T::bluetoothLE:
        return "bluetoothLE";
    case T::hdmi:
        return "hdmi";
    case T::displayPort:
        return "displayPort";
    case T::airPlay:
        return "airPlay";
    case T::pci:
        return "pci";
    case T::thunderbolt:
        return "thunderbolt";
    case T::unknown:
        return "unknown";
    }
    return "unknown";
}

json toJson(const AudioApp& app) {
    json object = json::object();
    object["id"] = app.id;
    object["processID"] = app.processID;
    object["audioObjectID"] = app.audioObjectID;
    object["displayName"] = app.displayName;
    object["icon"] = app.icon ? json(*app.icon) : json(nullptr);
    object["childBundleIDs"] = app.childBundleIDs;
    object["childAudioObjectIDs"] = app.childAudioObjectIDs;
    return object;
}

json toJson(const AudioDeviceInfo& device) {
    json object = json::object();
    object["id"] = device.id;
    object["uid"] = device.uid;
    object["name"] = device.name;
    object["manufacturer"] = device.manufacturer;
    object["hasOutput"] = device.hasOutput;
    object["hasInput"] = device.hasInput;
    object["transportType"] = transportTypeName(device.transportType);
    object["sampleRate"] = device.sampleRate;
    return object;
}

} // namespace kestrelamp

std::size_t std::hash<kestrelamp::AudioDeviceInfo>::operator()(
    const kestrelamp::AudioDeviceInfo& device) const noexcept {
    std::size_t seed = std::hash<std::uint32_t>{}(device.id);
    auto combine = [&seed](std::size_t value) {
        seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    };
    combine(std::hash<std::string>{}(device.uid));
    combine(std::hash<std::string>{}(device.name));
    combine(std::hash<std::string>{}(device.manufacturer));
    combine(std::hash<bool>{}(device.hasOutput));
    combine(std::hash<bool>{}(device.hasInput));
    combine(std::hash<std::uint32_t>{}(rawValue(device.transportType)));
    combine(std::hash<double>{}(device.sampleRate));
    return seed;
}
