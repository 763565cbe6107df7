#pragma once

#include "engine/AudioValues.h"
#include "engine/hal/AudioHardware.h"
#include "model/UnroutedLevelMonitors.h"
#include "platform/RunningApplications.h"

#include <QObject>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kestrelamp {

class AudioRouteManager;

// One application recording now, with what the user chose for it.
struct RecordingApp {
    std::string id;
    std::string displayName;
    std::optional<std::string> icon;
    std::int32_t pid = 0;
    // Where it records from now; "" while nothing.
    std::string sourceUID;
    // Neutral when never chosen.
    hal::RecordingChoice choice;
    hal::AudioObjectID levelObjectID = hal::kAudioObjectUnknown;

    friend bool operator==(const RecordingApp&, const RecordingApp&) = default;
};

// The applications that record, and where each records from. The choice is stored in the
// application's AppAudioState, like its routes, and every stored one is handed to the service (at
// start, on every change, whenever the stored states change), so that a program starting again
// records where it was set to at once. Another program's move becomes the stored choice. Levels
// of what each receives come from monitors that run on the same demand as the unrouted ones.
class RecordingControl : public QObject {
    Q_OBJECT

public:
    RecordingControl(hal::AudioHardware& hardware, const RunningApplications& runningApplications,
                     AudioRouteManager& manager, QObject* parent = nullptr);
    ~RecordingControl() override;

    // Once the manager has read its stored states.
    void start();
    // Gives every recording back to where it would record without us.
    void stop();

    // Sorted by name.
    const std::vector<RecordingApp>& recordings() const { return recordings_; }
    const RecordingApp* recording(const std::string& appID) const;
    // The devices it can record from, the call mix among them while it is on.
    const std::vector<AudioDeviceInfo>& inputs() const { return inputs_; }
    // "records from NAME", and what differs from the choice.
    std::string stateText(const RecordingApp& app) const;

    // "" records from the system default input.
    void setInput(const std::string& appID, const std::string& inputUID);
    // Clamped to 0 … 1.
    void setVolume(const std::string& appID, float volume);
    void setMuted(const std::string& appID, bool muted);
    // Where a volume drag ends is saved at once.
    void flushPendingSave();

    // dBFS; silence unless levels are wanted.
    float level(const std::string& appID) const;
    // The levels measured, by application.
    const std::map<std::string, float>& levels() const { return levels_; }
    // Reads every monitor once, as its timer does.
    void pollLevels() { levelMonitors_.poll(); }

Q_SIGNALS:
    void recordingsChanged();
    void inputsChanged();
    void levelsChanged();

private:
    static hal::OSStatus onRecordingsChanged(hal::AudioObjectID, std::uint32_t,
                                             const hal::AudioObjectPropertyAddress*,
                                             void* clientData);
    void refresh();
    void refreshInputs();
    // Takes another program's moves as the stored choices.
    void adoptMovesElsewhere(const std::vector<hal::RecordingApplication>& listed);
    // With the list just read when it holds moves made elsewhere, to be cleared.
    void handChoicesIn(const std::vector<hal::RecordingApplication>* moved = nullptr);
    void storeChoice(const std::string& appID, const hal::RecordingChoice& choice, bool throttled);
    hal::RecordingChoice storedChoice(const std::string& appID) const;
    std::string deviceName(const std::string& uid) const;

    hal::AudioHardware& hardware_;
    const RunningApplications& runningApplications_;
    AudioRouteManager& manager_;
    std::vector<RecordingApp> recordings_;
    std::vector<AudioDeviceInfo> devices_;
    std::vector<AudioDeviceInfo> inputs_;
    std::optional<hal::RecordingChoices> handedIn_;
    UnroutedLevelMonitors levelMonitors_;
    std::map<std::string, float> levels_;
    bool listening_ = false;
    // Storing another program's move: the stored states' change is ours.
    bool adopting_ = false;
};

} // namespace kestrelamp
