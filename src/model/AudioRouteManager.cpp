#include "model/AudioRouteManager.h"

#include "platform/FailureReport.h"

#include <QDir>
#include <QPointer>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

namespace kestrelamp {

using namespace hal;

AudioRouteManager::AudioRouteManager(AudioHardware& hardware,
                                     const RunningApplications& runningApplications,
                                     UserDefaults& userDefaults, const QString& storageFolder,
                                     QObject* parent)
    : QObject(parent)
    , hardware_(hardware)
    , userDefaults_(userDefaults)
    , showOnlyLive_(userDefaults.boolForKey(UserDefaults::showOnlyLiveKey))
    , processEnumerator_(hardware, runningApplications)
    , deviceEnumerator_(hardware)
    , deviceMonitor_(hardware)
    , tapManager_(hardware, runningApplications)
    , eqProcessor_(hardware)
    , profileManager_(storageFolder)
    , routeLifecycle_(tapManager_, eqProcessor_,
                      [this](const std::string& appID) {
                          QPointer<AudioRouteManager> self(this);
                          return std::function<void(float)>([self, appID](float level) {
                              if (self) {
                                  self->setAudioLevel(appID, level);
                              }
                          });
                      })
    , levelMonitors_(hardware,
                     [this](const std::string& appID, float level) { setAudioLevel(appID, level); })
    , folderLock_(storageFolder)
    , stateFile_(storageFolder + "/appStates.json") {
    QDir().mkpath(storageFolder);
    if (folderLock_.refusal()) {
        reportFailure(*folderLock_.refusal());
    }
    stateFile_.setWriteGuard(&folderLock_);
    profileManager_.setWriteGuard(folderLock_);
    eqProcessor_.setLevelsWanted(levelMonitors_.isActive());
    connect(&levelMonitors_, &UnroutedLevelMonitors::activeChanged, this,
            [this](bool active) { eqProcessor_.setLevelsWanted(active); });
    connect(&profileManager_, &ProfileManager::saveFailed, this, &AudioRouteManager::saveFailed);
    connect(&profileManager_, &ProfileManager::profilesChanged, this,
            &AudioRouteManager::expectProfileSwitches);
    expectProfileSwitches();
    saveThrottle_.setSingleShot(true);
    saveThrottle_.setInterval(kSaveThrottleMs);
    connect(&saveThrottle_, &QTimer::timeout, this, [this] {
        if (savePending_) {
            saveStates();
            saveThrottle_.start();
        }
    });
    loadStates();
    setUpObservers();
    // Builds the stored choices' routes.
    refreshAudioApps();
    updateAudioActivity();
}

AudioRouteManager::~AudioRouteManager() {
    stopAll();
}

// --- Published state ----------------------------------------------------------------------------

void AudioRouteManager::setShowOnlyLive(bool value) {
    showOnlyLive_ = value;
    Q_EMIT showOnlyLiveChanged();
    userDefaults_.setBool(UserDefaults::showOnlyLiveKey, value);
}

void AudioRouteManager::setSearchQuery(const QString& query) {
    searchQuery_ = query;
    Q_EMIT searchQueryChanged();
}

void AudioRouteManager::setAppState(const AppAudioState& state) {
    storeState(state);
}

void AudioRouteManager::storeState(const AppAudioState& state) {
    appStates_.insert_or_assign(state.id, state);
    Q_EMIT appStatesChanged();
}

void AudioRouteManager::setAudioApps(AudioAppList apps) {
    audioApps_ = std::move(apps);
    Q_EMIT audioAppsChanged();
}

void AudioRouteManager::setOutputDeviceList(AudioDeviceList devices) {
    outputDevices_ = std::move(devices);
    Q_EMIT outputDevicesChanged();
}

void AudioRouteManager::setDefaultOutputDeviceValue(OptionalAudioDevice device) {
    const bool moved = (device ? device->uid : std::string()) !=
                       (defaultOutputDevice_ ? defaultOutputDevice_->uid : std::string());
    defaultOutputDevice_ = std::move(device);
    Q_EMIT defaultOutputDeviceChanged();
    if (!moved) {
        return;
    }
    // Those that followed the old default, and those that had none to follow.
    const bool anyFollows =
        std::any_of(appStates_.begin(), appStates_.end(),
                    [this](const auto& entry) { return followsDefaultOutput(entry.first); });
    if (anyFollows || !followingDefault_.empty()) {
        const auto following = [this](const std::string& appID) {
            return followingDefault_.count(appID) > 0 || followsDefaultOutput(appID);
        };
        reconcileRoutes(following, [](const std::string&) { return false; });
    }
}

void AudioRouteManager::setAudioActivity(AudioActivityMap activity) {
    audioActivity_ = std::move(activity);
    Q_EMIT audioActivityChanged();
    updateLevelMonitors();
}

void AudioRouteManager::setAudioLevel(const std::string& appID, float level) {
    audioLevels_[appID] = level;
    Q_EMIT audioLevelsChanged();
}

const AppAudioState* AudioRouteManager::state(const std::string& appID) const {
    const auto it = appStates_.find(appID);
    return it == appStates_.end() ? nullptr : &it->second;
}

const AudioApp* AudioRouteManager::app(const std::string& appID) const {
    const auto it = std::find_if(audioApps_.begin(), audioApps_.end(),
                                 [&](const AudioApp& a) { return a.id == appID; });
    return it == audioApps_.end() ? nullptr : &*it;
}

std::optional<int> AudioRouteManager::refreshIntervalMs() const {
    return refreshTimer_ ? std::optional(refreshTimer_->interval()) : std::nullopt;
}

// --- Derived notions ----------------------------------------------------------------------------

std::string AudioRouteManager::routeKey(const std::string& bundleID, const std::string& deviceUID) {
    return bundleID + "|" + deviceUID;
}

float AudioRouteManager::engineGain(const AppAudioState& state) {
    return RouteLifecycle::engineGain(state);
}

std::vector<std::string> AudioRouteManager::bundleIDs(const std::string& appID) const {
    std::vector<std::string> ids{appID};
    if (const auto helpers = currentHelpers_.find(appID); helpers != currentHelpers_.end()) {
        ids.insert(ids.end(), helpers->second.begin(), helpers->second.end());
    } else if (const AudioApp* listed = app(appID)) {
        ids.insert(ids.end(), listed->childBundleIDs.begin(), listed->childBundleIDs.end());
    }
    return ids;
}

std::vector<std::string> AudioRouteManager::routeKeys(const std::string& appID) const {
    std::vector<std::string> keys;
    const std::vector<std::string> uids = routedDeviceUIDs(appID);
    if (uids.empty()) {
        return keys;
    }
    for (const std::string& bundleID : bundleIDs(appID)) {
        for (const std::string& uid : uids) {
            keys.push_back(routeKey(bundleID, uid));
        }
    }
    return keys;
}

std::vector<std::string> AudioRouteManager::routedDeviceUIDs(const std::string& appID) const {
    const AppAudioState* stored = state(appID);
    if (!stored) {
        return {};
    }
    if (!stored->outputDeviceUIDs.empty()) {
        return stored->outputDeviceUIDs;
    }
    if (followsDefaultOutput(appID)) {
        return {defaultOutputDevice_->uid};
    }
    return {};
}

bool AudioRouteManager::followsDefaultOutput(const std::string& appID) const {
    const AppAudioState* stored = state(appID);
    return stored && !stored->isIgnored && stored->outputDeviceUIDs.empty() &&
           defaultOutputDevice_ && !hasNeutralSettings(*stored, bandEditsOf(appID));
}

bool AudioRouteManager::hasNeutralSettings(const AppAudioState& state,
                                           const std::optional<BandGains>& bandEdits) {
    if (state.volume != 1.0f || state.isMuted || state.boostMultiplier != 1) {
        return false;
    }
    if (bandEdits) {
        return areFlatGains(*bandEdits);
    }
    if (!state.eqPresetID) {
        return true;
    }
    const auto& presets = EQPreset::allPresets();
    const auto preset = std::find_if(presets.begin(), presets.end(),
                                     [&](const EQPreset& p) { return p.id == *state.eqPresetID; });
    if (preset == presets.end()) {
        return true;
    }
    BandGains gains{};
    std::copy_n(preset->bands.begin(), std::min(preset->bands.size(), gains.size()), gains.begin());
    return areFlatGains(gains);
}

std::optional<BandGains> AudioRouteManager::bandEditsOf(const std::string& appID) const {
    const auto edits = bandEdits_.find(appID);
    return edits == bandEdits_.end() ? std::nullopt : std::optional(edits->second);
}

void AudioRouteManager::followDefaultIfChanged(const std::string& appID) {
    const bool follows = followsDefaultOutput(appID);
    // A failed route to the default is tried again with the next setting, as choosing a device
    // again repairs a chosen route.
    if (follows != (followingDefault_.count(appID) > 0) ||
        (follows && !routeProblems(appID).empty())) {
        reconcileRoutesFor(appID);
    }
}

void AudioRouteManager::forEachEngine(const std::string& appID,
                                      const std::function<void(EngineState&)>& body) {
    for (const std::string& key : routeKeys(appID)) {
        if (EngineState* engine = eqProcessor_.engine(key)) {
            body(*engine);
        }
    }
}

// --- Operations ---------------------------------------------------------------------------------

void AudioRouteManager::setOutputDevices(const std::string& appID,
                                         const std::vector<std::string>& deviceUIDs) {
    const AppAudioState* stored = state(appID);
    if (!stored || stored->isIgnored) {
        return;
    }
    AppAudioState updated = *stored;
    updated.outputDeviceUIDs = deviceUIDs;
    storeState(updated);
    // Routes of devices still chosen stay as they are; missing ones are built, also when the
    // list is the one already stored. Saved after: the server makes them meanwhile.
    reconcileRoutesFor(appID);
    saveStates();
}

void AudioRouteManager::addOutputDevice(const std::string& appID, const std::string& deviceUID) {
    const AppAudioState* stored = state(appID);
    if (!stored) {
        return;
    }
    std::vector<std::string> uids = stored->outputDeviceUIDs;
    if (std::find(uids.begin(), uids.end(), deviceUID) != uids.end()) {
        // Nothing to store; whatever of the choice is missing is built all the same.
        if (!stored->isIgnored) {
            reconcileRoutesFor(appID);
        }
        return;
    }
    uids.push_back(deviceUID);
    setOutputDevices(appID, uids);
}

void AudioRouteManager::removeOutputDevice(const std::string& appID, const std::string& deviceUID) {
    const AppAudioState* stored = state(appID);
    if (!stored) {
        return;
    }
    std::vector<std::string> uids = stored->outputDeviceUIDs;
    std::erase(uids, deviceUID);
    setOutputDevices(appID, uids);
}

void AudioRouteManager::setVolume(const std::string& appID, float volume) {
    const AppAudioState* stored = state(appID);
    if (!stored) {
        return;
    }
    AppAudioState updated = *stored;
    updated.volume = std::max(std::min(volume, 1.0f), 0.0f);
    updated.isMuted = false;
    storeState(updated);
    const float gain = engineGain(updated);
    forEachEngine(appID, [gain](EngineState& engine) {
        engine.volume.store(gain, std::memory_order_relaxed);
        engine.isMuted.store(false, std::memory_order_relaxed);
    });
    followDefaultIfChanged(appID);
    // A drag calls this for every pointer move.
    saveStatesSoon();
}

void AudioRouteManager::toggleMute(const std::string& appID) {
    const AppAudioState* stored = state(appID);
    if (!stored) {
        return;
    }
    AppAudioState updated = *stored;
    updated.isMuted = !updated.isMuted;
    storeState(updated);
    const float gain = engineGain(updated);
    const bool muted = updated.isMuted;
    forEachEngine(appID, [gain, muted](EngineState& engine) {
        if (muted) {
            engine.isMuted.store(true, std::memory_order_relaxed);
        } else {
            engine.volume.store(gain, std::memory_order_relaxed);
            engine.isMuted.store(false, std::memory_order_relaxed);
        }
    });
    followDefaultIfChanged(appID);
    saveStates();
}

void AudioRouteManager::setBoost(const std::string& appID, std::int64_t multiplier) {
    const AppAudioState* stored = state(appID);
    if (!stored) {
        return;
    }
    AppAudioState updated = *stored;
    updated.boostMultiplier = std::clamp<std::int64_t>(multiplier, 1, 4);
    storeState(updated);
    const float gain = engineGain(updated);
    const bool muted = updated.isMuted;
    forEachEngine(appID, [gain, muted](EngineState& engine) {
        engine.volume.store(gain, std::memory_order_relaxed);
        engine.isMuted.store(muted, std::memory_order_relaxed);
    });
    followDefaultIfChanged(appID);
    saveStates();
}

void AudioRouteManager::togglePin(const std::string& appID) {
    const AppAudioState* stored = state(appID);
    if (!stored) {
        return;
    }
    AppAudioState updated = *stored;
    const bool wasIgnored = updated.isIgnored;
    updated.isPinned = !updated.isPinned;
    if (updated.isPinned) {
        updated.isIgnored = false;
    }
    storeState(updated);
    saveStates();
    if (wasIgnored && !updated.isIgnored) {
        reconcileRoutesFor(appID);
    }
}

void AudioRouteManager::toggleIgnore(const std::string& appID) {
    const AppAudioState* stored = state(appID);
    if (!stored) {
        return;
    }
    if (!stored->isIgnored) {
        // Must run while the state is not yet ignored, or it would refuse to act.
        setOutputDevices(appID, {});
        AppAudioState updated = *state(appID);
        updated.isIgnored = true;
        updated.isPinned = false;
        updated.outputDeviceUIDs.clear();
        storeState(updated);
    } else {
        AppAudioState updated = *stored;
        updated.isIgnored = false;
        storeState(updated);
    }
    saveStates();
    // An ignored state can still hold devices (from the file or a profile): they hold again.
    reconcileRoutesFor(appID);
}

void AudioRouteManager::setEQPreset(const std::string& appID,
                                    const std::optional<EQPreset>& preset) {
    const AppAudioState* stored = state(appID);
    if (!stored) {
        return;
    }
    AppAudioState updated = *stored;
    updated.eqPresetID = preset ? std::optional(preset->id) : std::nullopt;
    storeState(updated);
    bandEdits_.erase(appID);
    const EQPreset effective = preset.value_or(EQPreset::flat());
    for (const std::string& key : routeKeys(appID)) {
        eqProcessor_.applyPreset(effective, key);
    }
    followDefaultIfChanged(appID);
    saveStates();
}

void AudioRouteManager::setEQBand(const std::string& appID, int band, float gain) {
    const AppAudioState* stored = state(appID);
    if (!stored) {
        return;
    }
    if (stored->outputDeviceUIDs.empty() && band >= 0 && band < int(kEQBandCount) &&
        !std::isnan(gain)) {
        // Without an engine the edit would be lost; it takes the application to a route of ours.
        const std::vector<float> current = getEQBands(appID);
        BandGains edited{};
        std::copy_n(current.begin(), edited.size(), edited.begin());
        edited[std::size_t(band)] = std::clamp(gain, -kMaxBandGain, kMaxBandGain);
        bandEdits_.insert_or_assign(appID, edited);
    }
    for (const std::string& key : routeKeys(appID)) {
        eqProcessor_.setBand(key, band, gain);
    }
    followDefaultIfChanged(appID);
}

// The running engine's curve; for an application on the default without one, the curve its
// settings put in effect.
std::vector<float> AudioRouteManager::getEQBands(const std::string& appID) const {
    const auto& engines = eqProcessor_.engines();
    for (const std::string& key : routeKeys(appID)) {
        if (const auto engine = engines.find(key); engine != engines.end()) {
            return std::vector<float>(engine->second->eqBands.begin(),
                                      engine->second->eqBands.end());
        }
    }
    std::vector<float> bands(kEQBandCount, 0.0f);
    const AppAudioState* stored = state(appID);
    if (!stored || !stored->outputDeviceUIDs.empty()) {
        return bands;
    }
    if (const auto edits = bandEditsOf(appID)) {
        return std::vector<float>(edits->begin(), edits->end());
    }
    const auto& presets = EQPreset::allPresets();
    const auto preset = std::find_if(presets.begin(), presets.end(), [&](const EQPreset& p) {
        return stored->eqPresetID && p.id == *stored->eqPresetID;
    });
    if (preset != presets.end()) {
        std::copy_n(preset->bands.begin(), std::min(preset->bands.size(), bands.size()),
                    bands.begin());
    }
    return bands;
}

void AudioRouteManager::setDefaultOutputDevice(const std::string& uid) {
    const auto device = std::find_if(outputDevices_.begin(), outputDevices_.end(),
                                     [&](const AudioDeviceInfo& d) { return d.uid == uid; });
    if (device == outputDevices_.end()) {
        return;
    }
    const AudioDeviceInfo chosen = *device;
    hardware_.setPropertyUInt32(kAudioObjectSystemObject,
                                globalAddress(kAudioHardwarePropertyDefaultOutputDevice),
                                chosen.id);
    setDefaultOutputDeviceValue(chosen);
}

void AudioRouteManager::stopAll() {
    stopped_ = true;
    flushPendingSave();
    refreshTimer_.reset();
    deviceChangeDebounce_.stop();
    processChangeCoalescing_.stop();
    removeEveryRoute();
    updateLevelMonitors();
    silenceUnroutedLevels();
    deviceMonitor_.stopMonitoring();
    for (const auto& connection : cancellables_) {
        disconnect(connection);
    }
    cancellables_.clear();
}

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
