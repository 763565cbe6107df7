#include "engine/AudioValues.h"

namespace kestrelamp {

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
