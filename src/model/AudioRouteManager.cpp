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
    , callMix_(hardware, userDefaults)
    , recordings_(hardware, runningApplications, *this)
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
    recordings_.start();
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

void AudioRouteManager::storeAndSave(const AppAudioState& state, bool throttled) {
    storeState(state);
    if (throttled) {
        saveStatesSoon();
    } else {
        saveStates();
    }
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

} // namespace kestrelamp
