#pragma once

#include "model/AudioRouteManager.h"
#include "platform/Expected.h"

#include <optional>
#include <string>
#include <vector>

namespace kestrelamp {

struct RemoteError {
    enum class Kind {
        invalidArgument,
        refused,
        // The choice was stored but some of its routes are not active (waiting or failed).
        routeNotActive,
        // The change is in effect but a file could not be written; one "Failed to save …" line
        // per failed write.
        notSaved,
    };

    Kind kind = Kind::invalidArgument;
    // Names the argument at fault; for routeNotActive, one "Route for KEY: reason" line per
    // route that is not active.
    std::string message;
};

template <class T>
using RemoteResult = Expected<T, RemoteError>;

// The route manager's operations as a remote caller reaches them: arguments arrive as text, are
// checked against what exists (applications with settings, listed output devices, presets,
// profiles) and refused with a message naming the bad one before anything changes. Numbers that
// are out of range are passed on, for the route manager to limit as it does for a click. A change
// whose save failed answers notSaved, whatever it would have answered otherwise.
class RemoteControl {
public:
    enum class Switch { on, off, toggle };

    explicit RemoteControl(AudioRouteManager& manager);

    std::string status() const;
    // Starts the level monitors and the routes' level delivery when they were idle. True when
    // some application's level is known only once they have measured a first window (see
    // kFirstLevelsMs).
    bool startLevels();
    // A monitor measures 100 ms windows, read every 50 ms.
    static constexpr int kFirstLevelsMs = 200;
    void pollLevels();

    // No UID means "System Default". Repeated UIDs count once. Succeeds only when every route of
    // the resulting choice is active; a route that waits (for the application, or the device) or
    // failed makes it answer routeNotActive, with the choice stored all the same.
    RemoteResult<void> setOutputDevices(const std::string& appID,
                                        const std::vector<std::string>& deviceUIDs);
    RemoteResult<void> addOutputDevice(const std::string& appID, const std::string& deviceUID);
    // Also takes a device that is no longer listed but still chosen for the application.
    RemoteResult<void> removeOutputDevice(const std::string& appID, const std::string& deviceUID);
    RemoteResult<void> setVolume(const std::string& appID, const std::string& volume);
    // "on", "off" or "toggle"; asking for the state the application already has changes nothing.
    RemoteResult<void> setMute(const std::string& appID, const std::string& mode);
    RemoteResult<void> setBoost(const std::string& appID, const std::string& multiplier);
    // A preset's name, in any case, or its id.
    RemoteResult<void> setEQPreset(const std::string& appID, const std::string& preset);
    RemoteResult<void> setEQBand(const std::string& appID, const std::string& band,
                                 const std::string& gain);
    RemoteResult<void> setPinned(const std::string& appID, const std::string& mode);
    RemoteResult<void> setIgnored(const std::string& appID, const std::string& mode);
    RemoteResult<void> setDefaultOutputDevice(const std::string& deviceUID);
    bool isDefaultOutputDevice(const std::string& deviceUID) const;
    // The call mix: on|off|toggle; a microphone none|default|UID of an input device; its volume
    // 0 … 1; its mute on|off|toggle.
    RemoteResult<void> setCallMix(const std::string& mode);
    RemoteResult<void> setCallMixMicrophone(const std::string& microphone);
    RemoteResult<void> setCallMixMicrophoneVolume(const std::string& volume);
    RemoteResult<void> setCallMixMicrophoneMute(const std::string& mode);
    // True while the call mix is on but not listed among the output devices yet, or off and
    // still listed.
    bool callMixChanging() const;
    // Fails, saying why, unless the call mix is listed exactly while it is on.
    RemoteResult<void> checkCallMix() const;
    // Fails, saying so, unless the device is the default output now.
    RemoteResult<void> checkDefaultOutputDevice(const std::string& deviceUID) const;
    void refresh();

    // What an application records: INPUT a listed input device's UID (the call mix while it is
    // on) or "default"; its volume 0 … 1; its mute on|off|toggle. For a program recording now or
    // one with settings.
    RemoteResult<void> setRecordingInput(const std::string& appID, const std::string& input);
    RemoteResult<void> setRecordingVolume(const std::string& appID, const std::string& volume);
    RemoteResult<void> setRecordingMute(const std::string& appID, const std::string& mode);

    // JSON array of the profiles in switcher order, each with "active".
    std::string profileList() const;
    // An empty icon means the first icon option. Returns the new profile's id.
    RemoteResult<std::string> saveProfile(const std::string& name, const std::string& icon);
    // A profile's id, or a name: exact first, then ignoring case; a name that several profiles
    // share is refused as ambiguous.
    RemoteResult<void> applyProfile(const std::string& profile);
    RemoteResult<void> deleteProfile(const std::string& profile);

    // Whether the server is still connecting a route; the answers below count such a route as
    // no problem yet.
    bool routesConnecting(const std::optional<std::string>& appID) const;
    RemoteResult<void> routesOf(const std::string& appID) const;
    // A setting of an application on the default output acts through a route of ours to it.
    RemoteResult<void> settingActs(const std::string& appID) const;

    static RemoteResult<Switch> parseSwitch(const std::string& text, const std::string& what);
    // The whole text must be a finite number in the C locale; a leading "+" is allowed.
    static RemoteResult<double> parseNumber(const std::string& text, const std::string& what);

private:
    RemoteResult<const AppAudioState*> knownApp(const std::string& appID) const;
    RemoteResult<void> listedDevice(const std::string& deviceUID) const;
    RemoteResult<hal::RecordingChoice> recordingChoiceOf(const std::string& appID) const;
    RemoteResult<void> routable(const AppAudioState& state) const;
    RemoteResult<AudioProfile> findProfile(const std::string& profile) const;

    AudioRouteManager& manager_;
};

} // namespace kestrelamp
