#include "model/AudioRouteManager.h"

#include <algorithm>
#include <map>
#include <set>

// The routes the settings want, their states, the engines they run and the levels of the
// applications without one.

namespace kestrelamp {

using namespace hal;

// --- Route states -------------------------------------------------------------------------------

// A device is judged as a whole: it is not carrying the application when it is missing or a
// route to it failed; otherwise it is as soon as one of the application's processes (its own or
// a helper's) plays there, and it waits only while none of them is present.
std::optional<RouteState> AudioRouteManager::routeState(const std::string& appID,
                                                        const std::string& deviceUID) const {
    const std::vector<std::string> routed = routedDeviceUIDs(appID);
    if (std::find(routed.begin(), routed.end(), deviceUID) == routed.end()) {
        return std::nullopt;
    }
    std::optional<RouteState> worst;
    std::optional<RouteState> connecting;
    std::optional<RouteState> active;
    std::optional<RouteState> waiting;
    for (const std::string& bundleID : bundleIDs(appID)) {
        const RouteState* routeState = routeLifecycle_.state(routeKey(bundleID, deviceUID));
        if (!routeState) {
            continue;
        }
        switch (routeState->status) {
        case RouteStatus::waitingForDevice:
        case RouteStatus::failed:
            worst = worst.value_or(*routeState);
            break;
        case RouteStatus::connecting:
            connecting = connecting.value_or(*routeState);
            break;
        case RouteStatus::active:
            active = active.value_or(*routeState);
            break;
        case RouteStatus::waitingForApplication:
            waiting = waiting.value_or(*routeState);
            break;
        }
    }
    return worst ? worst : connecting ? connecting : active ? active : waiting;
}

std::vector<std::string> AudioRouteManager::routeProblems(const std::string& appID) const {
    std::vector<std::string> lines;
    const AppAudioState* stored = state(appID);
    if (!stored || stored->isIgnored) {
        return lines;
    }
    // A route that follows the default is only wanted while the application plays: only its
    // failure is a problem.
    const bool followsDefault = stored->outputDeviceUIDs.empty();
    for (const std::string& uid : routedDeviceUIDs(appID)) {
        const auto deviceState = routeState(appID, uid);
        // One the server is still connecting is no problem yet: it carries or fails soon.
        if (deviceState && !deviceState->isActive() &&
            deviceState->status != RouteStatus::connecting &&
            (!followsDefault || deviceState->status == RouteStatus::failed)) {
            lines.push_back(
                RouteState::logLine(routeKey(deviceState->bundleID, uid), deviceState->reason));
        }
    }
    return lines;
}

// --- Route lifecycle ----------------------------------------------------------------------------

std::vector<WantedRoute> AudioRouteManager::wantedRoutes() const {
    std::vector<WantedRoute> wanted;
    std::set<std::string> keys;
    // Helpers seen before keep their routes while they are away, as the application does.
    // Gathered once: one pass over the routes per application is quadratic with many of them.
    std::map<std::string, std::vector<std::string>> routedBundleIDs;
    for (const auto& [key, routeState] : routeLifecycle_.states()) {
        routedBundleIDs[routeState.appID].push_back(routeState.bundleID);
    }
    for (const auto& [appID, stored] : appStates_) {
        const std::vector<std::string> uids = routedDeviceUIDs(appID);
        if (stored.isIgnored || uids.empty()) {
            continue;
        }
        std::vector<std::string> ids = bundleIDs(appID);
        if (const auto routed = routedBundleIDs.find(appID); routed != routedBundleIDs.end()) {
            for (const std::string& bundleID : routed->second) {
                if (std::find(ids.begin(), ids.end(), bundleID) == ids.end()) {
                    ids.push_back(bundleID);
                }
            }
        }
        for (const std::string& bundleID : ids) {
            for (const std::string& uid : uids) {
                const std::string key = routeKey(bundleID, uid);
                if (keys.insert(key).second) {
                    wanted.push_back({key, appID, bundleID, uid});
                }
            }
        }
    }
    return wanted;
}

void AudioRouteManager::reconcileRoutes(const RouteLifecycle::AppPredicate& retryFailed,
                                        const RouteLifecycle::AppPredicate& named,
                                        std::optional<RouteLifecycle::ProcessMap> processes) {
    if (stopped_) {
        return;
    }
    followingDefault_.clear();
    for (const auto& [appID, stored] : appStates_) {
        if (followsDefaultOutput(appID)) {
            followingDefault_.insert(appID);
        }
    }
    RouteLifecycle::Pass pass;
    pass.processes = processes ? std::move(*processes) : processEnumerator_.listedProcessObjects();
    pass.wanted = wantedRoutes();
    for (const AudioDeviceInfo& device : outputDevices_) {
        pass.devices.emplace(device.uid, device.id);
    }
    pass.settings = [this](const std::string& appID) { return state(appID); };
    pass.retryFailed = retryFailed;
    pass.bands = [this](const std::string& appID) {
        return followingDefault_.count(appID) ? bandEditsOf(appID) : std::nullopt;
    };
    // An application on the default is not told to wait: it plays there all the same.
    pass.announceWaiting = [this, named](const std::string& appID) {
        return !followingDefault_.count(appID) && (app(appID) != nullptr || named(appID));
    };
    if (routeLifecycle_.reconcile(pass)) {
        Q_EMIT routeStatesChanged();
    }
    if (routeLifecycle_.hasLeavingRoutes() && !leavingDeadline_.isActive()) {
        leavingDeadline_.start(RouteLifecycle::kHandBackWaitMs + 20);
    }
    silenceUnroutedLevels();
    updateLevelMonitors();
}

void AudioRouteManager::applySettingsToEngines(const std::string& appID) {
    const AppAudioState* stored = state(appID);
    if (!stored) {
        return;
    }
    const float gain = engineGain(*stored);
    const bool muted = stored->isMuted;
    forEachEngine(appID, [gain, muted](EngineState& engine) {
        engine.volume.store(gain, std::memory_order_relaxed);
        engine.isMuted.store(muted, std::memory_order_relaxed);
    });
    const auto& presets = EQPreset::allPresets();
    const auto preset = std::find_if(presets.begin(), presets.end(), [&](const EQPreset& p) {
        return stored->eqPresetID && p.id == *stored->eqPresetID;
    });
    const auto edits = followsDefaultOutput(appID) ? bandEditsOf(appID) : std::nullopt;
    for (const std::string& key : routeKeys(appID)) {
        eqProcessor_.applyPreset(preset != presets.end() ? *preset : EQPreset::flat(), key);
        if (EngineState* engine = edits ? eqProcessor_.engine(key) : nullptr) {
            engine->eqBands = *edits;
            EQProcessor::updateFilters(*engine);
        }
    }
}

void AudioRouteManager::silenceUnroutedLevels() {
    std::vector<std::string> silenced;
    for (const auto& [appID, level] : audioLevels_) {
        const auto keys = routeKeys(appID);
        const bool playing = std::any_of(keys.begin(), keys.end(), [&](const std::string& key) {
            return eqProcessor_.engine(key) != nullptr;
        });
        if (level > kSilentLevel && !playing && !levelMonitors_.isMonitored(appID)) {
            silenced.push_back(appID);
        }
    }
    for (const std::string& appID : silenced) {
        setAudioLevel(appID, kSilentLevel);
    }
}

void AudioRouteManager::setLevelsWatched(bool watched) {
    levelMonitors_.setWatched(watched);
}

void AudioRouteManager::levelsAsked() {
    levelMonitors_.levelsAsked();
}

// An application with a running route of ours, chosen or following the default, has its engine's
// meter; any other live one (a route waiting for its device included) gets monitors.
void AudioRouteManager::updateLevelMonitors() {
    UnroutedLevelMonitors::Candidates candidates;
    if (!stopped_) {
        for (const AudioApp& entry : audioApps_) {
            const auto live = audioActivity_.find(entry.id);
            const auto keys = routeKeys(entry.id);
            const bool metered = std::any_of(keys.begin(), keys.end(), [&](const auto& key) {
                return eqProcessor_.engine(key) != nullptr;
            });
            if (live == audioActivity_.end() || !live->second || metered) {
                continue;
            }
            auto& processes = candidates[entry.id];
            processes.push_back(entry.audioObjectID);
            processes.insert(processes.end(), entry.childAudioObjectIDs.begin(),
                             entry.childAudioObjectIDs.end());
        }
    }
    levelMonitors_.setCandidates(std::move(candidates));
}

bool AudioRouteManager::routesConnecting(const std::optional<std::string>& appID) const {
    const auto& states = routeLifecycle_.states();
    return std::any_of(states.begin(), states.end(), [&](const auto& entry) {
        return entry.second.status == RouteStatus::connecting &&
               (!appID || entry.second.appID == *appID);
    });
}

void AudioRouteManager::reconcileRoutesFor(const std::string& appID) {
    const auto isThatApp = [appID](const std::string& candidate) { return candidate == appID; };
    reconcileRoutes(isThatApp, isThatApp);
}

void AudioRouteManager::removeEveryRoute() {
    const bool hadStates = !routeLifecycle_.states().empty();
    routeLifecycle_.removeAll();
    if (hadStates) {
        Q_EMIT routeStatesChanged();
    }
}

// Another client sent the application somewhere: that is the user's choice now, and the device
// it went to gets a route of ours again, so that volume, boost and equalizer keep working.
void AudioRouteManager::onTapReleased(const std::string& routeKey, const std::string& deviceUID) {
    const RouteState* released = routeLifecycle_.state(routeKey);
    if (!released) {
        return;
    }
    const std::string appID = released->appID;
    const AppAudioState* stored = state(appID);
    if (!stored) {
        return;
    }
    const bool isListed =
        std::any_of(outputDevices_.begin(), outputDevices_.end(),
                    [&](const AudioDeviceInfo& device) { return device.uid == deviceUID; });
    routeLifecycle_.removeRoutesOf(appID);
    AppAudioState updated = *stored;
    updated.outputDeviceUIDs =
        isListed ? std::vector<std::string>{deviceUID} : std::vector<std::string>{};
    storeState(updated);
    saveStates();
    reconcileRoutesFor(appID);
}

} // namespace kestrelamp
