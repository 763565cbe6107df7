#include "model/AudioRouteManager.h"

#include "platform/FailureReport.h"

#include "platform/LocalizedString.h"

#include <algorithm>
#include <cmath>
#include <set>

// The members that keep the published lists current, the routes in step with them, and the
// settings on disk.

namespace kestrelamp {

using namespace hal;

namespace {

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

// A device that changed its rate, or came back as another object, is a change of the list; one
// that only changed its name is not.
bool sameDevices(const AudioDeviceList& a, const AudioDeviceList& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const AudioDeviceInfo& x, const AudioDeviceInfo& y) {
                          return x.uid == y.uid && x.sampleRate == y.sampleRate && x.id == y.id;
                      });
}

} // namespace

// --- Refresh and observers ----------------------------------------------------------------------

void AudioRouteManager::setUpObservers() {
    deviceMonitor_.startMonitoring();

    deviceChangeDebounce_.setSingleShot(true);
    deviceChangeDebounce_.setInterval(kDeviceChangeDebounceMs);
    connect(&deviceChangeDebounce_, &QTimer::timeout, this, &AudioRouteManager::refreshAudioApps);
    cancellables_.push_back(connect(&deviceMonitor_, &DeviceMonitor::devicesChanged, this,
                                    [this] { deviceChangeDebounce_.start(); }));
    cancellables_.push_back(
        connect(&deviceMonitor_, &DeviceMonitor::defaultOutputChanged, this,
                [this](AudioDeviceID deviceID) { onDefaultOutputChanged(deviceID); }));
    // A returning application is routed at once, not at the next tick.
    processChangeCoalescing_.setSingleShot(true);
    processChangeCoalescing_.setInterval(0);
    connect(&processChangeCoalescing_, &QTimer::timeout, this, [this] {
        refreshAudioApps();
        updateAudioActivity();
    });
    cancellables_.push_back(connect(&deviceMonitor_, &DeviceMonitor::processesChanged, this,
                                    [this] { processChangeCoalescing_.start(); }));
    cancellables_.push_back(
        connect(&tapManager_, &TapManager::tapReleased, this, &AudioRouteManager::onTapReleased));
    // Routes the server connected (or could not) in one pass, however many it answered for.
    progressCoalescing_.setSingleShot(true);
    progressCoalescing_.setInterval(0);
    connect(&progressCoalescing_, &QTimer::timeout, this, [this] {
        const auto never = [](const std::string&) { return false; };
        reconcileRoutes(never, never);
    });
    leavingDeadline_.setSingleShot(true);
    connect(&leavingDeadline_, &QTimer::timeout, &progressCoalescing_, qOverload<>(&QTimer::start));
    cancellables_.push_back(connect(&tapManager_, &TapManager::routeProgressed, this,
                                    [this] { progressCoalescing_.start(); }));

    startRefreshTimer();
    connect(&userDefaults_, &UserDefaults::didChange, this,
            &AudioRouteManager::onUserDefaultsChanged);
}

// A device plugged in often becomes the default at once: applications on the default go there
// now, not once the device list has been quiet for a while.
void AudioRouteManager::onDefaultOutputChanged(AudioDeviceID deviceID) {
    const bool listed =
        std::any_of(outputDevices_.begin(), outputDevices_.end(),
                    [deviceID](const AudioDeviceInfo& device) { return device.id == deviceID; });
    if (!listed && deviceID != kAudioObjectUnknown && !followingDefault_.empty()) {
        deviceChangeDebounce_.stop();
        refreshAudioApps();
        return;
    }
    setDefaultOutputDeviceValue(deviceEnumerator_.getDeviceInfo(deviceID));
}

std::optional<int> AudioRouteManager::refreshPeriodMs(double seconds) {
    // Also false for NaN.
    if (!(seconds > 0)) {
        return std::nullopt;
    }
    const double bounded =
        std::clamp(seconds, kMinRefreshIntervalSeconds, kMaxRefreshIntervalSeconds);
    return int(std::lround(bounded * 1000.0));
}

void AudioRouteManager::startRefreshTimer() {
    const auto periodMs =
        refreshPeriodMs(userDefaults_.doubleForKey(UserDefaults::refreshIntervalKey))
            .value_or(int(kDefaultRefreshIntervalSeconds * 1000.0));
    refreshTimer_ = std::make_unique<QTimer>();
    refreshTimer_->setInterval(periodMs);
    connect(refreshTimer_.get(), &QTimer::timeout, this, [this] {
        refreshAudioApps();
        updateAudioActivity();
    });
    refreshTimer_->start();
}

void AudioRouteManager::onUserDefaultsChanged() {
    if (stopped_) {
        return;
    }
    const auto periodMs =
        refreshPeriodMs(userDefaults_.doubleForKey(UserDefaults::refreshIntervalKey));
    if (periodMs) {
        const int currentMs = refreshTimer_ ? refreshTimer_->interval()
                                            : int(kDefaultRefreshIntervalSeconds * 1000.0);
        if (*periodMs != currentMs) {
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
    auto processes = processEnumerator_.listedProcessObjects();
    std::vector<std::string> processBundleIDs;
    for (const auto& [bundleID, object] : processes) {
        processBundleIDs.push_back(bundleID);
    }
    currentHelpers_.clear();
    for (const AudioApp& entry : apps) {
        currentHelpers_[entry.id] = entry.childBundleIDs;
    }

    bool listsChanged = processBundleIDs != lastProcessBundleIDs_;
    lastProcessBundleIDs_ = std::move(processBundleIDs);
    const auto appIDs = idsOf(apps, &AudioApp::id);
    const auto knownIDs = idsOf(audioApps_, &AudioApp::id);
    if (std::set(appIDs.begin(), appIDs.end()) != std::set(knownIDs.begin(), knownIDs.end())) {
        setAudioApps(apps);
        listsChanged = true;
    }
    if (!sameDevices(devices, outputDevices_)) {
        setOutputDeviceList(std::move(devices));
        listsChanged = true;
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
    // Nothing a route depends on changed: nothing to do (releases arrive on their own).
    if (!listsChanged) {
        return;
    }
    const auto always = [](const std::string&) { return true; };
    const auto never = [](const std::string&) { return false; };
    reconcileRoutes(always, never, std::move(processes));
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
        reportFailure("Failed to load app states: " + bytes.error());
        stateFile_.markUnreadable();
        return;
    }
    if (!*bytes) {
        return;
    }
    auto decoded = decodeAppAudioStates(
        std::string_view((*bytes)->constData(), std::size_t((*bytes)->size())));
    if (!decoded) {
        reportFailure("Failed to load app states: " + decoded.error().description);
        stateFile_.markUnreadable();
        return;
    }
    for (AppAudioState& loaded : *decoded) {
        appStates_.insert_or_assign(loaded.id, std::move(loaded));
    }
    Q_EMIT appStatesChanged();
}

void AudioRouteManager::saveStates() {
    savePending_ = false;
    std::vector<AppAudioState> states;
    states.reserve(appStates_.size());
    for (const auto& [id, stored] : appStates_) {
        states.push_back(stored);
    }
    if (auto written = stateFile_.write(QByteArray::fromStdString(encodeAppAudioStates(states)));
        !written) {
        const std::string line = "Failed to save app states: " + written.error();
        reportFailure(line);
        Q_EMIT saveFailed(QString::fromStdString(line));
    }
    updateActiveProfile();
}

// At once when nothing was saved in the last moment, else once that moment is over.
void AudioRouteManager::saveStatesSoon() {
    if (saveThrottle_.isActive()) {
        savePending_ = true;
        return;
    }
    saveStates();
    saveThrottle_.start();
}

void AudioRouteManager::flushPendingSave() {
    if (savePending_) {
        saveStates();
    }
}

} // namespace kestrelamp
