#include "model/AudioRouteManager.h"

#include "platform/LocalizedString.h"

#include <QDir>
#include <QPointer>

#include <algorithm>
#include <cstdio>
#include <set>

namespace kestrelamp {

using namespace hal;

namespace {

void report(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

template <class T>
std::vector<std::string> idsOf(const std::vector<T>& values, std::string T::*field) {
    std::vector<std::string> ids;
    ids.reserve(values.size());
    for (const T& value : values) {
        ids.push_back(value.*field);
    }
    return ids;
}

std::optional<std::string> uidOf(const OptionalAudioDevice& device) {
    return device ? std::optional(device->uid) : std::nullopt;
}

} // namespace

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
    , stateFile_(storageFolder + "/appStates.json") {
    QDir().mkpath(storageFolder);
    loadStates();
    setUpObservers();
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
    defaultOutputDevice_ = std::move(device);
    Q_EMIT defaultOutputDeviceChanged();
}

void AudioRouteManager::setAudioActivity(AudioActivityMap activity) {
    audioActivity_ = std::move(activity);
    Q_EMIT audioActivityChanged();
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
    const float gain = state.volume * float(state.boostMultiplier);
    return std::max(std::min(gain, 4.0f), 0.0f);
}

std::vector<std::string> AudioRouteManager::bundleIDs(const std::string& appID) const {
    std::vector<std::string> ids{appID};
    if (const AudioApp* listed = app(appID)) {
        ids.insert(ids.end(), listed->childBundleIDs.begin(), listed->childBundleIDs.end());
    }
    return ids;
}

std::vector<std::string> AudioRouteManager::routeKeys(const std::string& appID) const {
    std::vector<std::string> keys;
    const AppAudioState* stored = state(appID);
    if (!stored) {
        return keys;
    }
    for (const std::string& bundleID : bundleIDs(appID)) {
        for (const std::string& uid : stored->outputDeviceUIDs) {
            keys.push_back(routeKey(bundleID, uid));
        }
    }
    return keys;
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
    const AppAudioState previous = *stored;
    const std::set<std::string> oldSet(previous.outputDeviceUIDs.begin(),
                                       previous.outputDeviceUIDs.end());
    const std::set<std::string> newSet(deviceUIDs.begin(), deviceUIDs.end());

    AppAudioState updated = previous;
    updated.outputDeviceUIDs = deviceUIDs;
    storeState(updated);
    saveStates();

    const std::vector<std::string> ids = bundleIDs(appID);
    for (const std::string& uid : oldSet) {
        if (newSet.count(uid)) {
            continue;
        }
        for (const std::string& bundleID : ids) {
            const std::string key = routeKey(bundleID, uid);
            tapManager_.removeRoute(key);
            eqProcessor_.stopProcessing(key);
        }
    }
    for (const std::string& uid : newSet) {
        if (oldSet.count(uid)) {
            continue;
        }
        for (const std::string& bundleID : ids) {
            buildRoute(appID, previous, bundleID, uid);
        }
    }
}

void AudioRouteManager::buildRoute(const std::string& appID, const AppAudioState& settings,
                                   const std::string& bundleID, const std::string& deviceUID) {
    const std::string key = routeKey(bundleID, deviceUID);
    const auto route = tapManager_.createRoute(bundleID, deviceUID, key);
    if (!route) {
        report("Route for " + key + ": " + route.error().description());
        return;
    }
    if (const auto started = eqProcessor_.startProcessing(key, route->aggregateDeviceID);
        !started) {
        report("Route for " + key + ": " + started.error().description());
        return;
    }
    EngineState* engine = eqProcessor_.engine(key);
    if (!engine) {
        return;
    }
    engine->volume.store(engineGain(settings), std::memory_order_relaxed);
    engine->isMuted.store(settings.isMuted, std::memory_order_relaxed);
    if (settings.eqPresetID) {
        const auto& presets = EQPreset::allPresets();
        const auto preset = std::find_if(presets.begin(), presets.end(), [&](const EQPreset& p) {
            return p.id == *settings.eqPresetID;
        });
        if (preset != presets.end()) {
            eqProcessor_.applyPreset(*preset, key);
        }
    }
    QPointer<AudioRouteManager> self(this);
    engine->levelHandler = [self, appID](float level) {
        if (self) {
            self->setAudioLevel(appID, level);
        }
    };
}

void AudioRouteManager::addOutputDevice(const std::string& appID, const std::string& deviceUID) {
    const AppAudioState* stored = state(appID);
    if (!stored) {
        return;
    }
    std::vector<std::string> uids = stored->outputDeviceUIDs;
    if (std::find(uids.begin(), uids.end(), deviceUID) != uids.end()) {
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
    saveStates();
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
    saveStates();
}

void AudioRouteManager::togglePin(const std::string& appID) {
    const AppAudioState* stored = state(appID);
    if (!stored) {
        return;
    }
    AppAudioState updated = *stored;
    updated.isPinned = !updated.isPinned;
    if (updated.isPinned) {
        updated.isIgnored = false;
    }
    storeState(updated);
    saveStates();
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
    const EQPreset effective = preset.value_or(EQPreset::flat());
    for (const std::string& key : routeKeys(appID)) {
        eqProcessor_.applyPreset(effective, key);
    }
    saveStates();
}

void AudioRouteManager::setEQBand(const std::string& appID, int band, float gain) {
    if (!state(appID)) {
        return;
    }
    for (const std::string& key : routeKeys(appID)) {
        eqProcessor_.setBand(key, band, gain);
    }
}

std::vector<float> AudioRouteManager::getEQBands(const std::string& appID) const {
    const auto& engines = eqProcessor_.engines();
    for (const std::string& key : routeKeys(appID)) {
        if (const auto engine = engines.find(key); engine != engines.end()) {
            return std::vector<float>(engine->second->eqBands.begin(), engine->second->eqBands.end());
        }
    }
    return std::vector<float>(kEQBandCount, 0.0f);
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
    refreshTimer_.reset();
    deviceChangeDebounce_.stop();
    tapManager_.destroyAllRoutes();
    eqProcessor_.stopAll();
    deviceMonitor_.stopMonitoring();
    for (const auto& connection : cancellables_) {
        disconnect(connection);
    }
    cancellables_.clear();
}

// --- Refresh and observers ----------------------------------------------------------------------

void AudioRouteManager::setUpObservers() {
    deviceMonitor_.startMonitoring();

    deviceChangeDebounce_.setSingleShot(true);
    deviceChangeDebounce_.setInterval(kDeviceChangeDebounceMs);
    connect(&deviceChangeDebounce_, &QTimer::timeout, this, &AudioRouteManager::refreshAudioApps);
    cancellables_.push_back(connect(&deviceMonitor_, &DeviceMonitor::devicesChanged, this,
                                    [this] { deviceChangeDebounce_.start(); }));
    cancellables_.push_back(connect(&deviceMonitor_, &DeviceMonitor::defaultOutputChanged, this,
                                    [this](AudioDeviceID deviceID) {
                                        setDefaultOutputDeviceValue(
                                            deviceEnumerator_.getDeviceInfo(deviceID));
                                    }));

    startRefreshTimer();
    connect(&userDefaults_, &UserDefaults::didChange, this,
            &AudioRouteManager::onUserDefaultsChanged);
}

void AudioRouteManager::startRefreshTimer() {
    const double seconds = userDefaults_.doubleForKey(UserDefaults::refreshIntervalKey);
    const double period = seconds > 0 ? seconds : kDefaultRefreshIntervalSeconds;
    refreshTimer_ = std::make_unique<QTimer>();
    refreshTimer_->setInterval(int(period * 1000.0));
    connect(refreshTimer_.get(), &QTimer::timeout, this, [this] {
        refreshAudioApps();
        updateAudioActivity();
    });
    refreshTimer_->start();
}

void AudioRouteManager::onUserDefaultsChanged() {
    const double seconds = userDefaults_.doubleForKey(UserDefaults::refreshIntervalKey);
    if (seconds > 0) {
        const int periodMs = int(seconds * 1000.0);
        const int currentMs = refreshTimer_ ? refreshTimer_->interval()
                                            : int(kDefaultRefreshIntervalSeconds * 1000.0);
        if (periodMs != currentMs) {
            startRefreshTimer();
        }
    }
    const bool live = userDefaults_.boolForKey(UserDefaults::showOnlyLiveKey);
    if (live != showOnlyLive_) {
        setShowOnlyLive(live);
    }
}

void AudioRouteManager::refreshAudioApps() {
    AudioAppList apps = processEnumerator_.getAudioApps();
    AudioDeviceList devices = deviceEnumerator_.getOutputDevices();
    OptionalAudioDevice defaultDevice = deviceEnumerator_.getDefaultOutputDevice();

    const auto appIDs = idsOf(apps, &AudioApp::id);
    const auto knownIDs = idsOf(audioApps_, &AudioApp::id);
    if (std::set(appIDs.begin(), appIDs.end()) != std::set(knownIDs.begin(), knownIDs.end())) {
        setAudioApps(apps);
    }
    if (idsOf(devices, &AudioDeviceInfo::uid) != idsOf(outputDevices_, &AudioDeviceInfo::uid)) {
        setOutputDeviceList(std::move(devices));
    }
    if (uidOf(defaultDevice) != uidOf(defaultOutputDevice_)) {
        setDefaultOutputDeviceValue(std::move(defaultDevice));
    }
    bool added = false;
    for (const AudioApp& entry : apps) {
        if (!appStates_.count(entry.id)) {
            appStates_.emplace(entry.id, AppAudioState::defaultFor(entry));
            added = true;
        }
    }
    if (added) {
        Q_EMIT appStatesChanged();
    }
}

bool AudioRouteManager::isProcessRunning(AudioObjectID object) const {
    std::uint32_t running = 0;
    hardware_.getPropertyUInt32(object, globalAddress(kAudioProcessPropertyIsRunning), running);
    return running != 0;
}

void AudioRouteManager::updateAudioActivity() {
    AudioActivityMap activity;
    for (const AudioApp& entry : audioApps_) {
        const AppAudioState* stored = state(entry.id);
        if (stored && stored->isIgnored) {
            activity[entry.id] = false;
            continue;
        }
        bool live = isProcessRunning(entry.audioObjectID);
        for (auto it = entry.childAudioObjectIDs.begin();
             !live && it != entry.childAudioObjectIDs.end(); ++it) {
            live = isProcessRunning(*it);
        }
        activity[entry.id] = live;
    }
    if (activity != audioActivity_) {
        setAudioActivity(std::move(activity));
    }
}

AudioAppList AudioRouteManager::filteredApps() const {
    const std::string query = searchQuery_.toStdString();
    AudioAppList visible;
    for (const AudioApp& entry : audioApps_) {
        const AppAudioState* stored = state(entry.id);
        bool shown = true;
        if (stored && stored->isIgnored) {
            shown = false;
        } else if (stored && stored->isPinned) {
            shown = true;
        } else if (showOnlyLive_) {
            const auto live = audioActivity_.find(entry.id);
            shown = live != audioActivity_.end() && live->second;
        }
        if (shown &&
            (query.empty() || localizedCaseInsensitiveContains(entry.displayName, query))) {
            visible.push_back(entry);
        }
    }
    const auto pinned = [this](const AudioApp& entry) {
        const AppAudioState* stored = state(entry.id);
        return stored && stored->isPinned;
    };
    std::stable_sort(visible.begin(), visible.end(), [&](const AudioApp& a, const AudioApp& b) {
        const bool aPinned = pinned(a);
        const bool bPinned = pinned(b);
        if (aPinned != bPinned) {
            return aPinned;
        }
        return localizedCaseInsensitiveCompare(a.displayName, b.displayName) < 0;
    });
    return visible;
}

// --- Persistence --------------------------------------------------------------------------------

void AudioRouteManager::loadStates() {
    const auto bytes = stateFile_.read();
    if (!bytes) {
        report("Failed to load app states: " + bytes.error());
        stateFile_.markUnreadable();
        return;
    }
    if (!*bytes) {
        return;
    }
    auto decoded = decodeAppAudioStates(
        std::string_view((*bytes)->constData(), std::size_t((*bytes)->size())));
    if (!decoded) {
        report("Failed to load app states: " + decoded.error().description);
        stateFile_.markUnreadable();
        return;
    }
    for (AppAudioState& loaded : *decoded) {
        appStates_.insert_or_assign(loaded.id, std::move(loaded));
    }
    Q_EMIT appStatesChanged();
}

void AudioRouteManager::saveStates() {
    std::vector<AppAudioState> states;
    states.reserve(appStates_.size());
    for (const auto& [id, stored] : appStates_) {
        states.push_back(stored);
    }
    if (auto written = stateFile_.write(QByteArray::fromStdString(encodeAppAudioStates(states)));
        !written) {
        report("Failed to save app states: " + written.error());
    }
    if (!applyingProfile_) {
        updateActiveProfile();
    }
}

// --- Profiles -----------------------------------------------------------------------------------

std::vector<AppAudioState> AudioRouteManager::captureRoutes() const {
    std::vector<AppAudioState> routes;
    for (const AudioApp& entry : audioApps_) {
        if (const AppAudioState* stored = state(entry.id)) {
            routes.push_back(*stored);
        }
    }
    return routes;
}

std::optional<std::string> AudioRouteManager::defaultOutputUID() const {
    return uidOf(defaultOutputDevice_);
}

AudioProfile AudioRouteManager::saveCurrentAsProfile(const std::string& name,
                                                     const std::string& icon) {
    AudioProfile profile;
    profile.id = QUuid::createUuid();
    profile.name = name;
    profile.icon = icon;
    profile.routes = captureRoutes();
    profile.defaultOutputUID = defaultOutputUID();
    std::vector<AudioProfile> profiles = profileManager_.profiles();
    profiles.push_back(profile);
    profileManager_.setProfiles(std::move(profiles));
    profileManager_.saveProfiles();
    return profile;
}

void AudioRouteManager::applyProfile(const AudioProfile& profile) {
    tapManager_.destroyAllRoutes();
    eqProcessor_.stopAll();
    for (auto& [id, stored] : appStates_) {
        stored.outputDeviceUIDs.clear();
    }
    Q_EMIT appStatesChanged();

    applyingProfile_ = true;
    for (const AppAudioState& saved : profile.routes) {
        if (saved.outputDeviceUIDs.empty() || saved.isIgnored) {
            storeState(saved);
            continue;
        }
        AppAudioState cleared = saved;
        cleared.outputDeviceUIDs.clear();
        storeState(cleared);
        setOutputDevices(saved.id, saved.outputDeviceUIDs);
    }
    applyingProfile_ = false;

    profileManager_.setActiveProfileID(profile.id);
    saveStates();
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
    updated.defaultOutputUID = defaultOutputUID();
    profileManager_.updateProfile(updated);
}

} // namespace kestrelamp
