#include "app/StatusJson.h"

#include <cmath>

namespace kestrelamp {

using nlohmann::json;

namespace {

template <class Map>
json entryOrNull(const Map& map, const std::string& key) {
    const auto it = map.find(key);
    return it == map.end() ? json(nullptr) : json(it->second);
}

json levelOrNull(const AudioLevelMap& levels, const std::string& appID) {
    const auto it = levels.find(appID);
    // A level that is not a number cannot be written as JSON.
    return it == levels.end() || !std::isfinite(it->second) ? json(nullptr) : json(it->second);
}

json appsJson(const AudioRouteManager& manager) {
    json apps = json::array();
    for (const AudioApp& app : manager.audioApps()) {
        const AppAudioState* state = manager.state(app.id);
        apps.push_back({
            {"id", app.id},
            {"displayName", app.displayName},
            {"processID", app.processID},
            {"live", entryOrNull(manager.audioActivity(), app.id)},
            {"level", levelOrNull(manager.audioLevels(), app.id)},
            {"state", state ? toJson(*state) : json(nullptr)},
        });
    }
    return apps;
}

json recordingJson(const RecordingControl& recordings) {
    json list = json::array();
    for (const RecordingApp& app : recordings.recordings()) {
        list.push_back({
            {"id", app.id},
            {"name", app.displayName},
            {"pid", app.pid},
            {"recordsFrom", app.sourceUID},
            {"input", app.choice.inputUID.empty() ? std::string("default") : app.choice.inputUID},
            {"volume", app.choice.volume},
            {"muted", app.choice.muted},
            {"state", recordings.stateText(app)},
            {"level", levelOrNull(recordings.levels(), app.id)},
        });
    }
    return list;
}

json devicesJson(const AudioDeviceList& devices) {
    json list = json::array();
    for (const AudioDeviceInfo& device : devices) {
        list.push_back({
            {"id", device.id},
            {"uid", device.uid},
            {"name", device.name},
            {"transportType", transportTypeName(device.transportType)},
            {"sampleRate", device.sampleRate},
        });
    }
    return list;
}

// Every route the stored choices (and the default output, for applications whose settings act
// there) want, whether or not it exists now.
json routesJson(AudioRouteManager& manager) {
    json routes = json::array();
    const auto& engines = manager.eqProcessor().engines();
    const auto& built = manager.tapManager().activeRoutes();
    for (const auto& [key, route] : manager.routeStates()) {
        const auto tapRoute = built.find(key);
        const AppAudioState* state = manager.state(route.appID);
        routes.push_back({
            {"key", key},
            {"appID", route.appID},
            {"bundleID", route.bundleID},
            {"outputDeviceUID", route.deviceUID},
            {"state", route.text()},
            {"aggregateDeviceID",
             tapRoute == built.end() ? json(nullptr) : json(tapRoute->second.aggregateDeviceID)},
            {"engine", engines.count(key) > 0},
            // Not a stored choice: the application's settings act on the default output.
            {"followsDefault", state && state->outputDeviceUIDs.empty()},
        });
    }
    return routes;
}

json profileJson(const AudioProfile& profile) {
    return {
        {"id", uuidString(profile.id)},
        {"name", profile.name},
        {"icon", profile.icon},
        {"routeCount", profile.routes.size()},
    };
}

} // namespace

json statusJson(AudioRouteManager& manager) {
    json filtered = json::array();
    for (const AudioApp& app : manager.filteredApps()) {
        filtered.push_back(app.id);
    }
    json profiles = json::array();
    for (const AudioProfile& profile : manager.profileManager().profiles()) {
        profiles.push_back(profileJson(profile));
    }
    const auto& defaultDevice = manager.defaultOutputDevice();
    const auto& activeID = manager.profileManager().activeProfileID();
    return {
        {"apps", appsJson(manager)},
        {"filteredApps", std::move(filtered)},
        {"outputDevices", devicesJson(manager.outputDevices())},
        {"defaultOutputUID", defaultDevice ? json(defaultDevice->uid) : json(nullptr)},
        {"routes", routesJson(manager)},
        {"profiles", std::move(profiles)},
        {"activeProfileID", activeID ? json(uuidString(*activeID)) : json(nullptr)},
        {"showOnlyLive", manager.showOnlyLive()},
        {"callMix", callMixJson(manager.callMix().settings())},
        {"recording", recordingJson(manager.recordings())},
    };
}

json callMixJson(const hal::CallMixSettings& settings) {
    return {
        {"on", settings.on},
        {"deviceUID", hal::kCallMixDeviceUID},
        {"microphone", !settings.microphoneUID ? json(nullptr)
                       : settings.microphoneUID->empty()
                           ? json(CallMixControl::kSystemDefaultMicrophone)
                           : json(*settings.microphoneUID)},
        {"microphoneVolume", settings.microphoneVolume},
        {"microphoneMuted", settings.microphoneMuted},
    };
}

json profileListJson(const ProfileManager& profiles) {
    json list = json::array();
    for (const AudioProfile& profile : profiles.profiles()) {
        json entry = profileJson(profile);
        entry["active"] = profiles.activeProfileID() == profile.id;
        list.push_back(std::move(entry));
    }
    return list;
}

} // namespace kestrelamp
