#pragma once

#include "engine/DeviceEnumerator.h"
#include "engine/DeviceMonitor.h"
#include "engine/EQPreset.h"
#include "engine/EQProcessor.h"
#include "engine/ProcessEnumerator.h"
#include "engine/TapManager.h"
#include "model/AudioModel.h"
#include "model/CallMixControl.h"
#include "model/RecordingControl.h"
#include "model/RouteLifecycle.h"
#include "model/RouteState.h"
#include "model/UnroutedLevelMonitors.h"
#include "platform/DataFolderLock.h"
#include "platform/StoredFile.h"
#include "platform/UserDefaults.h"
#include "profiles/ProfileManager.h"

#include <QMetaType>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kestrelamp {

using AudioAppList = std::vector<AudioApp>;
using AppStateMap = std::map<std::string, AppAudioState>;
using AudioDeviceList = std::vector<AudioDeviceInfo>;
using OptionalAudioDevice = std::optional<AudioDeviceInfo>;
using AudioLevelMap = std::map<std::string, float>;
using AudioActivityMap = std::map<std::string, bool>;

// The one coordinator of the running system: it owns the per-application settings, the lists the
// views show, and the engine components, and it is the only place where a user action becomes
// routes. Every published property emits its change signal on every assignment.
//
// Routes follow the stored choices: whenever the applications, the devices or a choice change
// (and on every refresh), each application's chosen devices get their routes once the application
// and the device are there; a route whose device went is removed and comes back with the device;
// a route whose application quit keeps its tap for the application's return. When another client
// takes a routed application elsewhere, that becomes its stored choice. routeStates says what
// each wanted route does.
class AudioRouteManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(kestrelamp::AudioAppList audioApps READ audioApps NOTIFY audioAppsChanged)
    Q_PROPERTY(kestrelamp::AppStateMap appStates READ appStates NOTIFY appStatesChanged)
    Q_PROPERTY(
        kestrelamp::AudioDeviceList outputDevices READ outputDevices NOTIFY outputDevicesChanged)
    Q_PROPERTY(kestrelamp::OptionalAudioDevice defaultOutputDevice READ defaultOutputDevice NOTIFY
                   defaultOutputDeviceChanged)
    Q_PROPERTY(kestrelamp::AudioLevelMap audioLevels READ audioLevels NOTIFY audioLevelsChanged)
    Q_PROPERTY(
        kestrelamp::AudioActivityMap audioActivity READ audioActivity NOTIFY audioActivityChanged)
    Q_PROPERTY(bool showOnlyLive READ showOnlyLive WRITE setShowOnlyLive NOTIFY showOnlyLiveChanged)
    Q_PROPERTY(QString searchQuery READ searchQuery WRITE setSearchQuery NOTIFY searchQueryChanged)
    Q_PROPERTY(kestrelamp::RouteStateMap routeStates READ routeStates NOTIFY routeStatesChanged)

public:
    static constexpr int kDeviceChangeDebounceMs = 500;
    static constexpr double kDefaultRefreshIntervalSeconds = 3.0;
    // What a stored "refreshInterval" is limited to: no busy timer, nothing past what an int of
    // milliseconds holds.
    static constexpr double kMinRefreshIntervalSeconds = 0.5;
    static constexpr double kMaxRefreshIntervalSeconds = 3600.0;
    // A volume drag saves at most this often; the last value is saved when it ends.
    static constexpr int kSaveThrottleMs = 250;

    // Keeps appStates.json and profiles.json in storageFolder (created if missing). When another
    // instance holds the folder, says so once and saves nothing: every save fails with that reason.
    AudioRouteManager(hal::AudioHardware& hardware, const RunningApplications& runningApplications,
                      UserDefaults& userDefaults, const QString& storageFolder,
                      QObject* parent = nullptr);
    ~AudioRouteManager() override;

    // --- Published state -----------------------------------------------------------------
    const AudioAppList& audioApps() const { return audioApps_; }
    const AppStateMap& appStates() const { return appStates_; }
    const AudioDeviceList& outputDevices() const { return outputDevices_; }
    const OptionalAudioDevice& defaultOutputDevice() const { return defaultOutputDevice_; }
    const AudioLevelMap& audioLevels() const { return audioLevels_; }
    const AudioActivityMap& audioActivity() const { return audioActivity_; }
    bool showOnlyLive() const { return showOnlyLive_; }
    const QString& searchQuery() const { return searchQuery_; }
    // Every route the stored choices want, by route key; assigned only when it changes.
    const RouteStateMap& routeStates() const { return routeLifecycle_.states(); }

    // Also writes the user default "showOnlyLive".
    void setShowOnlyLive(bool value);
    void setSearchQuery(const QString& query);
    // A plain write into appStates, as a view's state binding does; nothing is saved.
    void setAppState(const AppAudioState& state);
    // Stores and saves it, as an operation does; throttled for the steps of a drag.
    void storeAndSave(const AppAudioState& state, bool throttled);

    const AppAudioState* state(const std::string& appID) const;
    const AudioApp* app(const std::string& appID) const;
    // The state of the application's routes to one device: the first that is not active (in
    // routeKeys order), else active; nothing when the device is neither among its choice nor the
    // default output it follows.
    std::optional<RouteState> routeState(const std::string& appID,
                                         const std::string& deviceUID) const;
    // "Route for KEY: reason" for each route of the application's choice that is not active, and
    // for a failed route that carries its settings to the default output.
    std::vector<std::string> routeProblems(const std::string& appID) const;
    // Whether the server is still connecting a route of the application, or any route.
    bool routesConnecting(const std::optional<std::string>& appID = std::nullopt) const;

    // --- Components ----------------------------------------------------------------------
    ProcessEnumerator& processEnumerator() { return processEnumerator_; }
    DeviceEnumerator& deviceEnumerator() { return deviceEnumerator_; }
    DeviceMonitor& deviceMonitor() { return deviceMonitor_; }
    TapManager& tapManager() { return tapManager_; }
    EQProcessor& eqProcessor() { return eqProcessor_; }
    ProfileManager& profileManager() { return profileManager_; }
    const ProfileManager& profileManager() const { return profileManager_; }
    const QString& stateStoragePath() const { return stateFile_.path(); }
    // The running refresh timer's period, nothing once stopped.
    std::optional<int> refreshIntervalMs() const;

    // --- Operations ----------------------------------------------------------------------
    void setOutputDevices(const std::string& appID, const std::vector<std::string>& deviceUIDs);
    void addOutputDevice(const std::string& appID, const std::string& deviceUID);
    void removeOutputDevice(const std::string& appID, const std::string& deviceUID);
    void setVolume(const std::string& appID, float volume);
    void toggleMute(const std::string& appID);
    void setBoost(const std::string& appID, std::int64_t multiplier);
    void togglePin(const std::string& appID);
    void toggleIgnore(const std::string& appID);
    void setEQPreset(const std::string& appID, const std::optional<EQPreset>& preset);
    void setEQBand(const std::string& appID, int band, float gain);
    std::vector<float> getEQBands(const std::string& appID) const;
    // Asks the service to make the listed device the default output; false when it is not listed
    // or the service refused. The default changes once the service says it has.
    bool setDefaultOutputDevice(const std::string& uid);
    std::vector<std::string> routeKeys(const std::string& appID) const;
    // Where the application's routes go: its stored choice, or the current default output while
    // it follows the default; nothing when neither.
    std::vector<std::string> routedDeviceUIDs(const std::string& appID) const;
    // Left on "System Default" with settings that change its sound: a route of ours to the
    // current default output carries it, rebuilt whenever the default changes. Not a stored
    // choice: its stored device list stays empty.
    bool followsDefaultOutput(const std::string& appID) const;
    // Volume 1, not muted, boost 1 and a flat curve (its preset's, or the unsaved band edits of
    // an application on the default): the sound stays as it is, so nothing of ours is needed.
    static bool hasNeutralSettings(const AppAudioState& state,
                                   const std::optional<BandGains>& bandEdits);
    // Levels of live applications that no route plays come from passive monitors, which run only
    // while levels are watched (the popover is open) or for a few seconds after a request.
    void setLevelsWatched(bool watched);
    void levelsAsked();
    UnroutedLevelMonitors& levelMonitors() { return levelMonitors_; }
    CallMixControl& callMix() { return callMix_; }
    const CallMixControl& callMix() const { return callMix_; }
    RecordingControl& recordings() { return recordings_; }
    const RecordingControl& recordings() const { return recordings_; }
    // Writes a save that a volume drag put off; stopAll does it too.
    void flushPendingSave();
    // Saves anything put off, tears every route down and stops listening; safe to call more than
    // once.
    void stopAll();

    // --- Refresh, listing, persistence ---------------------------------------------------
    void refreshAudioApps();
    void updateAudioActivity();
    AudioAppList filteredApps() const;
    void loadStates();
    void saveStates();
    void startRefreshTimer();

    // --- Profiles ------------------------------------------------------------------------
    AudioProfile saveCurrentAsProfile(const std::string& name, const std::string& icon);
    void applyProfile(const AudioProfile& profile);
    void updateActiveProfile();

    // The timer period for a "refreshInterval" in seconds, limited to 0.5 s…1 h; nothing for a
    // value that is unset, 0, negative or not a number (the default period, or no change).
    static std::optional<int> refreshPeriodMs(double seconds);
    static std::string routeKey(const std::string& bundleID, const std::string& deviceUID);
    // volume × boost, limited to 0…4.
    static float engineGain(const AppAudioState& state);

Q_SIGNALS:
    void audioAppsChanged();
    void appStatesChanged();
    void outputDevicesChanged();
    void defaultOutputDeviceChanged();
    void audioLevelsChanged();
    void audioActivityChanged();
    void showOnlyLiveChanged();
    void searchQueryChanged();
    void routeStatesChanged();
    // A "Failed to save app states: …" or "Failed to save profiles: …" line, as printed.
    void saveFailed(const QString& line);

private:
    void setAudioApps(AudioAppList apps);
    void setOutputDeviceList(AudioDeviceList devices);
    void setDefaultOutputDeviceValue(OptionalAudioDevice device);
    void setAudioActivity(AudioActivityMap activity);
    void storeState(const AppAudioState& state);
    void setAudioLevel(const std::string& appID, float level);

    std::vector<std::string> bundleIDs(const std::string& appID) const;
    void forEachEngine(const std::string& appID, const std::function<void(EngineState&)>& body);
    bool isProcessRunning(AudioObjectID object) const;

    // Routes: which the stored choices want, and bringing them in line. Failed routes are tried
    // again for the applications retryFailed names; routes of listed applications, and of those
    // named, that start waiting are reported.
    std::vector<WantedRoute> wantedRoutes() const;
    // processes: the listed process objects when the caller has just read them.
    void reconcileRoutes(const RouteLifecycle::AppPredicate& retryFailed,
                         const RouteLifecycle::AppPredicate& named,
                         std::optional<RouteLifecycle::ProcessMap> processes = std::nullopt);
    // Volume, mute and preset of the stored state into the application's running engines.
    void applySettingsToEngines(const std::string& appID);
    // A meter of an application that no route plays any more shows silence.
    void silenceUnroutedLevels();
    // The live applications without a route of ours, for the level monitors.
    void updateLevelMonitors();
    void reconcileRoutesFor(const std::string& appID);
    // Builds or removes the application's route to the default output when its settings took it
    // across neutral.
    void followDefaultIfChanged(const std::string& appID);
    // Band edits of an application on the default, kept while its route is rebuilt.
    std::optional<BandGains> bandEditsOf(const std::string& appID) const;
    void onTapReleased(const std::string& routeKey, const std::string& deviceUID);
    void onDefaultOutputChanged(AudioDeviceID deviceID);
    void removeEveryRoute();
    void saveStatesSoon();
    void setUpObservers();
    void onUserDefaultsChanged();
    std::vector<AppAudioState> captureRoutes() const;
    void expectProfileSwitches();
    std::optional<std::string> defaultOutputUID() const;

    hal::AudioHardware& hardware_;
    UserDefaults& userDefaults_;

    AudioAppList audioApps_;
    AppStateMap appStates_;
    AudioDeviceList outputDevices_;
    OptionalAudioDevice defaultOutputDevice_;
    AudioLevelMap audioLevels_;
    AudioActivityMap audioActivity_;
    bool showOnlyLive_ = false;
    QString searchQuery_;

    ProcessEnumerator processEnumerator_;
    DeviceEnumerator deviceEnumerator_;
    DeviceMonitor deviceMonitor_;
    TapManager tapManager_;
    EQProcessor eqProcessor_;
    ProfileManager profileManager_;
    RouteLifecycle routeLifecycle_;
    UnroutedLevelMonitors levelMonitors_;
    CallMixControl callMix_;
    RecordingControl recordings_;

    std::vector<QMetaObject::Connection> cancellables_;
    QTimer deviceChangeDebounce_;
    // Process-list notices come in bursts; one refresh answers a burst.
    QTimer processChangeCoalescing_;
    QTimer progressCoalescing_;
    // A pass once routes that give their application back may go.
    QTimer leavingDeadline_;
    std::unique_ptr<QTimer> refreshTimer_;
    // The bundle identifiers with a process object at the last refresh; nothing before the first,
    // which therefore always brings the routes in step.
    std::optional<std::vector<std::string>> lastProcessBundleIDs_;
    // Each listed application's helpers as last enumerated: audioApps keeps its entries while the
    // set of applications stays the same, but a helper may start later.
    std::map<std::string, std::vector<std::string>> currentHelpers_;
    // Band edits of applications without a stored device, by application; in memory only, like
    // every band edit. A preset replaces them.
    std::map<std::string, BandGains> bandEdits_;
    // The applications whose routes the last pass sent to the default output.
    std::set<std::string> followingDefault_;
    // Set by stopAll(): nothing builds routes afterwards.
    bool stopped_ = false;
    DataFolderLock folderLock_;
    StoredFile stateFile_;
    QTimer saveThrottle_;
    bool savePending_ = false;
};

} // namespace kestrelamp

Q_DECLARE_METATYPE(kestrelamp::AudioAppList)
Q_DECLARE_METATYPE(kestrelamp::AppStateMap)
Q_DECLARE_METATYPE(kestrelamp::AudioDeviceList)
Q_DECLARE_METATYPE(kestrelamp::OptionalAudioDevice)
Q_DECLARE_METATYPE(kestrelamp::AudioLevelMap)
Q_DECLARE_METATYPE(kestrelamp::AudioActivityMap)
Q_DECLARE_METATYPE(kestrelamp::RouteStateMap)
