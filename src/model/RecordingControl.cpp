#include "model/RecordingControl.h"

#include "engine/EQProcessor.h"
#include "model/AudioRouteManager.h"

#include <QPointer>
#include <QString>

#include <algorithm>
#include <cmath>

namespace kestrelamp {

using namespace hal;

namespace {

constexpr AudioObjectPropertyAddress kRecordingsAddress =
    globalAddress(kAudioHardwarePropertyRecordingApplications);

std::optional<RecordingChoice> kept(const RecordingChoice& choice) {
    return choice.neutral() ? std::nullopt : std::optional(choice);
}

} // namespace

RecordingControl::RecordingControl(AudioHardware& hardware,
                                   const RunningApplications& runningApplications,
                                   AudioRouteManager& manager, QObject* parent)
    : QObject(parent)
    , hardware_(hardware)
    , runningApplications_(runningApplications)
    , manager_(manager)
    , levelMonitors_(hardware, [this](const std::string& appID, float level) {
        levels_[appID] = level;
        Q_EMIT levelsChanged();
    }) {}

RecordingControl::~RecordingControl() {
    if (listening_) {
        hardware_.removePropertyListener(kAudioObjectSystemObject, kRecordingsAddress,
                                         &RecordingControl::onRecordingsChanged, this);
    }
}

void RecordingControl::start() {
    if (listening_) {
        return;
    }
    listening_ =
        hardware_.addPropertyListener(kAudioObjectSystemObject, kRecordingsAddress,
                                      &RecordingControl::onRecordingsChanged, this) == noErr;
    UnroutedLevelMonitors& playerMonitors = manager_.levelMonitors();
    levelMonitors_.setWatched(playerMonitors.isActive());
    connect(&playerMonitors, &UnroutedLevelMonitors::activeChanged, &levelMonitors_,
            &UnroutedLevelMonitors::setWatched);
    connect(&manager_.deviceMonitor(), &DeviceMonitor::devicesChanged, this, [this] {
        refreshInputs();
        refresh();
    });
    connect(&manager_, &AudioRouteManager::appStatesChanged, this, [this] {
        if (adopting_) {
            return;
        }
        handChoicesIn();
        refresh();
    });
    refreshInputs();
    handChoicesIn();
    refresh();
}

void RecordingControl::stop() {
    if (!listening_) {
        return;
    }
    hardware_.removePropertyListener(kAudioObjectSystemObject, kRecordingsAddress,
                                     &RecordingControl::onRecordingsChanged, this);
    listening_ = false;
    disconnect(&manager_, nullptr, this, nullptr);
    disconnect(&manager_.deviceMonitor(), nullptr, this, nullptr);
    levelMonitors_.setCandidates({});
    hardware_.setRecordingChoices({});
    handedIn_.reset();
}

OSStatus RecordingControl::onRecordingsChanged(AudioObjectID, std::uint32_t,
                                               const AudioObjectPropertyAddress*,
                                               void* clientData) {
    auto* control = static_cast<RecordingControl*>(clientData);
    QMetaObject::invokeMethod(
        control, [control] { control->refresh(); }, Qt::QueuedConnection);
    return noErr;
}

const RecordingApp* RecordingControl::recording(const std::string& appID) const {
    const auto it = std::find_if(recordings_.begin(), recordings_.end(),
                                 [&](const RecordingApp& app) { return app.id == appID; });
    return it == recordings_.end() ? nullptr : &*it;
}

RecordingChoice RecordingControl::storedChoice(const std::string& appID) const {
    const AppAudioState* stored = manager_.state(appID);
    return stored && stored->recording ? *stored->recording : RecordingChoice{};
}

void RecordingControl::refreshInputs() {
    devices_ = manager_.deviceEnumerator().getAllDevices();
    std::vector<AudioDeviceInfo> inputs;
    std::copy_if(devices_.begin(), devices_.end(), std::back_inserter(inputs),
                 [](const AudioDeviceInfo& device) { return device.hasInput; });
    if (inputs != inputs_) {
        inputs_ = std::move(inputs);
        Q_EMIT inputsChanged();
    }
}

void RecordingControl::refresh() {
    if (!listening_) {
        return;
    }
    std::vector<RecordingApplication> listed;
    if (hardware_.recordingApplications(listed) != noErr) {
        listed.clear();
    }
    adoptMovesElsewhere(listed);
    std::vector<RecordingApp> rows;
    UnroutedLevelMonitors::Candidates candidates;
    for (const RecordingApplication& application : listed) {
        const AudioApp named = AudioApp::make(application.bundleID, application.pid,
                                              application.levelObjectID, runningApplications_);
        const bool runningName =
            runningApplications_.firstRunningApplication(application.bundleID).has_value();
        rows.push_back(
            {application.bundleID,
             runningName || application.name.empty() ? named.displayName : application.name,
             named.icon, application.pid, application.sourceUID, storedChoice(application.bundleID),
             application.levelObjectID});
        candidates[application.bundleID] = {application.levelObjectID};
    }
    std::sort(rows.begin(), rows.end(), [](const RecordingApp& a, const RecordingApp& b) {
        const int order = QString::fromStdString(a.displayName)
                              .localeAwareCompare(QString::fromStdString(b.displayName));
        return order != 0 ? order < 0 : a.id < b.id;
    });
    levelMonitors_.setCandidates(std::move(candidates));
    if (rows != recordings_) {
        recordings_ = std::move(rows);
        Q_EMIT recordingsChanged();
    }
}

void RecordingControl::adoptMovesElsewhere(const std::vector<RecordingApplication>& listed) {
    bool adopted = false;
    for (const RecordingApplication& application : listed) {
        if (!application.chosenElsewhere) {
            continue;
        }
        RecordingChoice choice = storedChoice(application.bundleID);
        choice.inputUID = *application.chosenElsewhere;
        adopting_ = true;
        storeChoice(application.bundleID, choice, false);
        adopting_ = false;
        adopted = true;
    }
    if (adopted) {
        handChoicesIn(&listed);
    }
}

// Every stored choice, also of programs not recording now; a move just adopted is handed in
// again even when it is neutral, which clears it.
void RecordingControl::handChoicesIn(const std::vector<RecordingApplication>* moved) {
    if (!listening_) {
        return;
    }
    RecordingChoices choices;
    for (const auto& [appID, stored] : manager_.appStates()) {
        if (stored.recording && !stored.recording->neutral()) {
            choices.emplace(appID, *stored.recording);
        }
    }
    if (moved != nullptr) {
        for (const RecordingApplication& application : *moved) {
            if (application.chosenElsewhere) {
                choices.emplace(application.bundleID, storedChoice(application.bundleID));
            }
        }
    } else if (handedIn_ == choices) {
        return;
    }
    handedIn_ = choices;
    hardware_.setRecordingChoices(choices);
}

void RecordingControl::storeChoice(const std::string& appID, const RecordingChoice& choice,
                                   bool throttled) {
    AppAudioState state;
    if (const AppAudioState* stored = manager_.state(appID)) {
        state = *stored;
    } else {
        state.id = appID;
        const RecordingApp* listed = recording(appID);
        state.displayName = listed ? listed->displayName : appID;
    }
    if (state.recording.value_or(RecordingChoice{}) == choice && manager_.state(appID)) {
        return;
    }
    state.recording = kept(choice);
    manager_.storeAndSave(state, throttled);
}

void RecordingControl::setInput(const std::string& appID, const std::string& inputUID) {
    RecordingChoice choice = storedChoice(appID);
    choice.inputUID = inputUID;
    storeChoice(appID, choice, false);
}

void RecordingControl::setVolume(const std::string& appID, float volume) {
    RecordingChoice choice = storedChoice(appID);
    choice.volume = std::isfinite(volume) ? std::clamp(volume, 0.0f, 1.0f) : 1.0f;
    storeChoice(appID, choice, true);
}

void RecordingControl::setMuted(const std::string& appID, bool muted) {
    RecordingChoice choice = storedChoice(appID);
    choice.muted = muted;
    storeChoice(appID, choice, false);
}

void RecordingControl::flushPendingSave() {
    manager_.flushPendingSave();
}

float RecordingControl::level(const std::string& appID) const {
    const auto it = levels_.find(appID);
    return it == levels_.end() ? kSilentLevel : it->second;
}

std::string RecordingControl::deviceName(const std::string& uid) const {
    const auto device = std::find_if(devices_.begin(), devices_.end(),
                                     [&](const AudioDeviceInfo& d) { return d.uid == uid; });
    return device == devices_.end() || device->name.empty() ? uid : device->name;
}

std::string RecordingControl::stateText(const RecordingApp& app) const {
    const std::string source = app.sourceUID.empty() ? "records from nothing"
                                                     : "records from " + deviceName(app.sourceUID);
    const std::string& chosen = app.choice.inputUID;
    if (chosen.empty() || chosen == app.sourceUID) {
        return source;
    }
    const bool listed = std::any_of(inputs_.begin(), inputs_.end(),
                                    [&](const AudioDeviceInfo& d) { return d.uid == chosen; });
    if (!listed) {
        return "waiting for the device (" + source + ")";
    }
    return source + " (chosen: " + deviceName(chosen) + ")";
}

} // namespace kestrelamp
