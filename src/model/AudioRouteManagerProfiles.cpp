#include "model/AudioRouteManager.h"

#include <algorithm>
#include <set>

namespace kestrelamp {

// --- Profiles -----------------------------------------------------------------------------------

std::vector<AppAudioState> AudioRouteManager::captureRoutes() const {
    std::vector<AppAudioState> routes;
    for (const AudioApp& entry : audioApps_) {
        if (const AppAudioState* stored = state(entry.id)) {
            routes.push_back(*stored);
        }
    }
    // A program that only records is in the profile for where it records from.
    for (const RecordingApp& recording : recordings_.recordings()) {
        const AppAudioState* stored = state(recording.id);
        if (!app(recording.id) && stored && stored->recording) {
            routes.push_back(*stored);
        }
    }
    return routes;
}

std::optional<std::string> AudioRouteManager::defaultOutputUID() const {
    return defaultOutputDevice_ ? std::optional(defaultOutputDevice_->uid) : std::nullopt;
}

AudioProfile AudioRouteManager::saveCurrentAsProfile(const std::string& name,
                                                     const std::string& icon) {
    AudioProfile profile;
    profile.id = QUuid::createUuid();
    profile.name = name;
    profile.icon = icon;
    profile.routes = captureRoutes();
    profile.defaultOutputUID = defaultOutputUID();
    profile.callMix = callMix_.settings();
    profile.carriesRecordings = true;
    std::vector<AudioProfile> profiles = profileManager_.profiles();
    profiles.push_back(profile);
    profileManager_.setProfiles(std::move(profiles));
    profileManager_.saveProfiles();
    return profile;
}

// Routes the profile still wants stay (the sound does not drop), the others go; applying it again
// gives the same routes, once.
void AudioRouteManager::applyProfile(const AudioProfile& profile) {
    for (auto& [id, stored] : appStates_) {
        stored.outputDeviceUIDs.clear();
    }
    for (const AppAudioState& saved : profile.routes) {
        AppAudioState applied = saved;
        if (!profile.carriesRecordings) {
            const AppAudioState* before = state(saved.id);
            applied.recording = before != nullptr ? before->recording : std::nullopt;
        }
        appStates_.insert_or_assign(saved.id, std::move(applied));
        bandEdits_.erase(saved.id);
    }
    Q_EMIT appStatesChanged();
    profileManager_.setActiveProfileID(profile.id);
    if (profile.callMix) {
        callMix_.setSettings(*profile.callMix);
    }

    std::set<std::string> named;
    for (const AppAudioState& saved : profile.routes) {
        named.insert(saved.id);
    }
    reconcileRoutes([](const std::string&) { return true; },
                    [named](const std::string& appID) { return named.count(appID) > 0; });
    for (const std::string& appID : named) {
        applySettingsToEngines(appID);
    }
    // Written once the routes are asked for: the server makes them while the files are written.
    saveStates();
}

// Applications a profile routes away from the default: a switch to it taps them all at once.
void AudioRouteManager::expectProfileSwitches() {
    std::size_t most = 0;
    for (const AudioProfile& profile : profileManager_.profiles()) {
        most = std::max<std::size_t>(
            most, std::count_if(profile.routes.begin(), profile.routes.end(),
                                [](const AppAudioState& route) {
                                    return !route.outputDeviceUIDs.empty() && !route.isIgnored;
                                }));
    }
    tapManager_.expectApplicationsTogether(std::uint32_t(most));
}

void AudioRouteManager::updateActiveProfile() {
    const auto& activeID = profileManager_.activeProfileID();
    if (!activeID) {
        return;
    }
    const AudioProfile* active = profileManager_.profile(*activeID);
    if (!active) {
        return;
    }
    AudioProfile updated = *active;
    updated.routes = captureRoutes();
    // An application that is not playing now keeps its place in the profile.
    for (const AppAudioState& kept : active->routes) {
        const bool captured = std::any_of(updated.routes.begin(), updated.routes.end(),
                                          [&](const AppAudioState& r) { return r.id == kept.id; });
        if (app(kept.id) == nullptr && !captured) {
            const AppAudioState* stored = state(kept.id);
            updated.routes.push_back(stored ? *stored : kept);
        }
    }
    updated.defaultOutputUID = defaultOutputUID();
    updated.callMix = callMix_.settings();
    updated.carriesRecordings = true;
    profileManager_.updateProfile(updated);
}

} // namespace kestrelamp
