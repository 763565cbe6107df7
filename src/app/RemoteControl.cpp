#include "app/RemoteControl.h"

#include "app/RemoteControlSupport.h"

#include "app/StatusJson.h"
#include "platform/JsonText.h"
#include "profiles/ProfileIcons.h"

#include <QString>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace kestrelamp {

using namespace remote_support;

namespace {

bool equalIgnoringCase(const std::string& a, const std::string& b) {
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

// Doubles beyond the float range would make the conversion undefined; the route manager limits
// far narrower anyway.
float asFloat(double value) {
    const double limit = std::numeric_limits<float>::max();
    return float(std::clamp(value, -limit, limit));
}

RemoteResult<std::int64_t> parseWholeNumber(const std::string& text, const std::string& what) {
    const auto number = RemoteControl::parseNumber(text, what);
    if (!number) {
        return unexpected(number.error());
    }
    if (std::trunc(*number) != *number) {
        return invalid(what + " " + quoted(text) + " is not a whole number.");
    }
    constexpr double limit = 1e18;
    return std::int64_t(std::clamp(*number, -limit, limit));
}

template <class Item, class Name>
std::string nameList(const Item& items, Name name) {
    std::string list;
    for (const auto& item : items) {
        list += (list.empty() ? "" : ", ") + std::string(name(item));
    }
    return list;
}

} // namespace

RemoteControl::RemoteControl(AudioRouteManager& manager)
    : manager_(manager) {}

// --- Argument checks ----------------------------------------------------------------------------

RemoteResult<double> RemoteControl::parseNumber(const std::string& text, const std::string& what) {
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') {
        ++first;
    }
    double value = 0;
    const auto [end, error] = std::from_chars(first, last, value);
    if (text.empty() || error != std::errc() || end != last) {
        return invalid(what + " " + quoted(text) + " is not a number.");
    }
    if (!std::isfinite(value)) {
        return invalid(what + " " + quoted(text) + " is not a finite number.");
    }
    return value;
}

RemoteResult<RemoteControl::Switch> RemoteControl::parseSwitch(const std::string& text,
                                                               const std::string& what) {
    if (text == "on") {
        return Switch::on;
    }
    if (text == "off") {
        return Switch::off;
    }
    if (text == "toggle") {
        return Switch::toggle;
    }
    return invalid(what + " " + quoted(text) + " is not one of on, off, toggle.");
}

RemoteResult<const AppAudioState*> RemoteControl::knownApp(const std::string& appID) const {
    const AppAudioState* state = manager_.state(appID);
    if (!state) {
        return invalid("Unknown application " + quoted(appID) + ".");
    }
    return state;
}

RemoteResult<void> RemoteControl::listedDevice(const std::string& deviceUID) const {
    const auto& devices = manager_.outputDevices();
    if (std::none_of(devices.begin(), devices.end(),
                     [&](const AudioDeviceInfo& device) { return device.uid == deviceUID; })) {
        return invalid("Unknown output device " + quoted(deviceUID) + ".");
    }
    return {};
}

RemoteResult<void> RemoteControl::routable(const AppAudioState& state) const {
    // The route manager would silently keep an ignored application's devices as they are.
    if (state.isIgnored) {
        return unexpected(RemoteError{RemoteError::Kind::refused,
                                      "Application " + quoted(state.id) +
                                          " is ignored; stop ignoring it to choose its devices."});
    }
    return {};
}

bool RemoteControl::routesConnecting(const std::optional<std::string>& appID) const {
    return manager_.routesConnecting(appID);
}

RemoteResult<void> RemoteControl::routesOf(const std::string& appID) const {
    const std::vector<std::string> problems = manager_.routeProblems(appID);
    if (problems.empty()) {
        return {};
    }
    std::string message;
    for (const std::string& line : problems) {
        message += (message.empty() ? "" : "\n") + line;
    }
    return unexpected(RemoteError{RemoteError::Kind::routeNotActive, std::move(message)});
}

// A setting of an application on the default output acts through a route of ours to it; when
// that route failed, the setting is kept but nothing is heard to change.
RemoteResult<void> RemoteControl::settingActs(const std::string& appID) const {
    return manager_.followsDefaultOutput(appID) ? routesOf(appID) : RemoteResult<void>{};
}

RemoteResult<AudioProfile> RemoteControl::findProfile(const std::string& profile) const {
    const auto& profiles = manager_.profileManager().profiles();
    if (const auto id = parseUuid(profile)) {
        if (const AudioProfile* byID = manager_.profileManager().profile(*id)) {
            return *byID;
        }
    }
    for (const bool ignoringCase : {false, true}) {
        std::vector<const AudioProfile*> named;
        for (const AudioProfile& candidate : profiles) {
            if (ignoringCase ? equalIgnoringCase(candidate.name, profile)
                             : candidate.name == profile) {
                named.push_back(&candidate);
            }
        }
        if (named.size() == 1) {
            return *named.front();
        }
        if (named.size() > 1) {
            return invalid("Profile name " + quoted(profile) +
                           " is ambiguous: " + std::to_string(named.size()) +
                           " profiles have it; use the profile's id.");
        }
    }
    return invalid("Unknown profile " + quoted(profile) + ".");
}

// --- Operations ---------------------------------------------------------------------------------

std::string RemoteControl::status() const {
    // Levels of applications without a route come from monitors that run only while asked for.
    manager_.levelsAsked();
    return jsonText(statusJson(manager_));
}

bool RemoteControl::startLevels() {
    UnroutedLevelMonitors& monitors = manager_.levelMonitors();
    const bool wasActive = monitors.isActive();
    manager_.levelsAsked();
    // Routed levels, too, are drained only while asked for: the first ones come a moment later.
    return !wasActive &&
           (!monitors.monitoredApps().empty() || !manager_.eqProcessor().engines().empty() ||
            !manager_.recordings().recordings().empty());
}

void RemoteControl::pollLevels() {
    manager_.levelMonitors().poll();
    manager_.recordings().pollLevels();
}

RemoteResult<void> RemoteControl::setOutputDevices(const std::string& appID,
                                                   const std::vector<std::string>& deviceUIDs) {
    const auto state = knownApp(appID);
    if (!state) {
        return unexpected(state.error());
    }
    std::vector<std::string> unique;
    for (const std::string& uid : deviceUIDs) {
        if (const auto listed = listedDevice(uid); !listed) {
            return listed;
        }
        if (std::find(unique.begin(), unique.end(), uid) == unique.end()) {
            unique.push_back(uid);
        }
    }
    if (const auto allowed = routable(**state); !allowed) {
        return allowed;
    }
    SaveFailureWatch watch(manager_);
    manager_.setOutputDevices(appID, unique);
    return watch.outcome(routesOf(appID));
}

RemoteResult<void> RemoteControl::addOutputDevice(const std::string& appID,
                                                  const std::string& deviceUID) {
    const auto state = knownApp(appID);
    if (!state) {
        return unexpected(state.error());
    }
    if (const auto listed = listedDevice(deviceUID); !listed) {
        return listed;
    }
    if (const auto allowed = routable(**state); !allowed) {
        return allowed;
    }
    SaveFailureWatch watch(manager_);
    manager_.addOutputDevice(appID, deviceUID);
    return watch.outcome(routesOf(appID));
}

RemoteResult<void> RemoteControl::removeOutputDevice(const std::string& appID,
                                                     const std::string& deviceUID) {
    const auto state = knownApp(appID);
    if (!state) {
        return unexpected(state.error());
    }
    const auto& chosen = (*state)->outputDeviceUIDs;
    if (std::find(chosen.begin(), chosen.end(), deviceUID) == chosen.end()) {
        if (const auto listed = listedDevice(deviceUID); !listed) {
            return listed;
        }
    }
    if (const auto allowed = routable(**state); !allowed) {
        return allowed;
    }
    SaveFailureWatch watch(manager_);
    manager_.removeOutputDevice(appID, deviceUID);
    return watch.outcome(RemoteResult<void>{});
}

RemoteResult<void> RemoteControl::setVolume(const std::string& appID, const std::string& volume) {
    const auto state = knownApp(appID);
    if (!state) {
        return unexpected(state.error());
    }
    const auto value = parseNumber(volume, "Volume");
    if (!value) {
        return unexpected(value.error());
    }
    SaveFailureWatch watch(manager_);
    manager_.setVolume(appID, asFloat(*value));
    // One command is a whole edit, not a step of a drag.
    manager_.flushPendingSave();
    return watch.outcome(settingActs(appID));
}

RemoteResult<void> RemoteControl::setMute(const std::string& appID, const std::string& mode) {
    const auto state = knownApp(appID);
    if (!state) {
        return unexpected(state.error());
    }
    const auto wanted = parseSwitch(mode, "Mute");
    if (!wanted) {
        return unexpected(wanted.error());
    }
    const bool muted = (*state)->isMuted;
    SaveFailureWatch watch(manager_);
    if (*wanted == Switch::toggle || (*wanted == Switch::on) != muted) {
        manager_.toggleMute(appID);
    }
    return watch.outcome(settingActs(appID));
}

RemoteResult<void> RemoteControl::setBoost(const std::string& appID,
                                           const std::string& multiplier) {
    const auto state = knownApp(appID);
    if (!state) {
        return unexpected(state.error());
    }
    const auto value = parseWholeNumber(multiplier, "Boost");
    if (!value) {
        return unexpected(value.error());
    }
    SaveFailureWatch watch(manager_);
    manager_.setBoost(appID, *value);
    return watch.outcome(settingActs(appID));
}

RemoteResult<void> RemoteControl::setEQPreset(const std::string& appID, const std::string& preset) {
    const auto state = knownApp(appID);
    if (!state) {
        return unexpected(state.error());
    }
    const auto& presets = EQPreset::allPresets();
    const auto id = parseUuid(preset);
    const auto found = std::find_if(presets.begin(), presets.end(), [&](const EQPreset& p) {
        return (id && p.id == *id) || equalIgnoringCase(p.name, preset);
    });
    if (found == presets.end()) {
        return invalid("Unknown EQ preset " + quoted(preset) + "; the presets are " +
                       nameList(presets, [](const EQPreset& p) { return p.name; }) + ".");
    }
    SaveFailureWatch watch(manager_);
    manager_.setEQPreset(appID, *found);
    return watch.outcome(settingActs(appID));
}

RemoteResult<void> RemoteControl::setEQBand(const std::string& appID, const std::string& band,
                                            const std::string& gain) {
    const auto state = knownApp(appID);
    if (!state) {
        return unexpected(state.error());
    }
    const auto index = parseWholeNumber(band, "Band");
    if (!index) {
        return unexpected(index.error());
    }
    // An index outside the bands would be dropped without a word.
    if (*index < 0 || *index >= std::int64_t(kEQBandCount)) {
        return invalid("Band " + quoted(band) + " is not a band index from 0 to " +
                       std::to_string(kEQBandCount - 1) + ".");
    }
    const auto decibels = parseNumber(gain, "Gain");
    if (!decibels) {
        return unexpected(decibels.error());
    }
    manager_.setEQBand(appID, int(*index), asFloat(*decibels));
    return settingActs(appID);
}

RemoteResult<void> RemoteControl::setPinned(const std::string& appID, const std::string& mode) {
    const auto state = knownApp(appID);
    if (!state) {
        return unexpected(state.error());
    }
    const auto wanted = parseSwitch(mode, "Pin");
    if (!wanted) {
        return unexpected(wanted.error());
    }
    SaveFailureWatch watch(manager_);
    if (*wanted == Switch::toggle || (*wanted == Switch::on) != (*state)->isPinned) {
        manager_.togglePin(appID);
    }
    return watch.outcome(RemoteResult<void>{});
}

RemoteResult<void> RemoteControl::setIgnored(const std::string& appID, const std::string& mode) {
    const auto state = knownApp(appID);
    if (!state) {
        return unexpected(state.error());
    }
    const auto wanted = parseSwitch(mode, "Ignore");
    if (!wanted) {
        return unexpected(wanted.error());
    }
    SaveFailureWatch watch(manager_);
    if (*wanted == Switch::toggle || (*wanted == Switch::on) != (*state)->isIgnored) {
        manager_.toggleIgnore(appID);
    }
    return watch.outcome(RemoteResult<void>{});
}

RemoteResult<void> RemoteControl::setDefaultOutputDevice(const std::string& deviceUID) {
    if (const auto listed = listedDevice(deviceUID); !listed) {
        return listed;
    }
    if (!manager_.setDefaultOutputDevice(deviceUID)) {
        return unexpected(RemoteError{RemoteError::Kind::refused,
                                      "The sound server refused to make " + quoted(deviceUID) +
                                          " the default output."});
    }
    return {};
}

bool RemoteControl::isDefaultOutputDevice(const std::string& deviceUID) const {
    const auto& current = manager_.defaultOutputDevice();
    return current && current->uid == deviceUID;
}

RemoteResult<void> RemoteControl::checkDefaultOutputDevice(const std::string& deviceUID) const {
    if (isDefaultOutputDevice(deviceUID)) {
        return {};
    }
    return unexpected(RemoteError{RemoteError::Kind::refused, "The session manager did not make " +
                                                                  quoted(deviceUID) +
                                                                  " the default output."});
}

// --- Call mix -----------------------------------------------------------------------------------

namespace {

bool listedAsOutput(const AudioRouteManager& manager) {
    const auto& devices = manager.outputDevices();
    return std::any_of(devices.begin(), devices.end(), [](const AudioDeviceInfo& device) {
        return device.uid == hal::kCallMixDeviceUID;
    });
}

} // namespace

RemoteResult<void> RemoteControl::setCallMix(const std::string& mode) {
    const auto wanted = parseSwitch(mode, "Call mix");
    if (!wanted) {
        return unexpected(wanted.error());
    }
    CallMixControl& callMix = manager_.callMix();
    callMix.setOn(switched(*wanted, callMix.settings().on));
    if (callMix.status() != hal::noErr) {
        return unexpected(RemoteError{RemoteError::Kind::refused,
                                      "The sound server refused the call mix: " +
                                          hal::statusDescription(callMix.status()) + "."});
    }
    return {};
}

RemoteResult<void> RemoteControl::setCallMixMicrophone(const std::string& microphone) {
    std::optional<std::string> uid;
    if (microphone == CallMixControl::kSystemDefaultMicrophone) {
        uid = std::string();
    } else if (microphone != "none") {
        const auto devices = manager_.deviceEnumerator().getAllDevices();
        if (microphone == hal::kCallMixDeviceUID ||
            std::none_of(devices.begin(), devices.end(), [&](const AudioDeviceInfo& device) {
                return device.hasInput && device.uid == microphone;
            })) {
            return invalid("Unknown input device " + quoted(microphone) +
                           " (none, default or an input device's UID).");
        }
        uid = microphone;
    }
    manager_.callMix().setMicrophone(uid);
    return {};
}

RemoteResult<void> RemoteControl::setCallMixMicrophoneVolume(const std::string& volume) {
    const auto value = unitVolume(volume, "Microphone volume");
    if (!value) {
        return unexpected(value.error());
    }
    manager_.callMix().setMicrophoneVolume(*value);
    return {};
}

RemoteResult<void> RemoteControl::setCallMixMicrophoneMute(const std::string& mode) {
    const auto wanted = parseSwitch(mode, "Microphone mute");
    if (!wanted) {
        return unexpected(wanted.error());
    }
    CallMixControl& callMix = manager_.callMix();
    callMix.setMicrophoneMuted(switched(*wanted, callMix.settings().microphoneMuted));
    return {};
}

bool RemoteControl::callMixChanging() const {
    return manager_.callMix().settings().on != listedAsOutput(manager_);
}

RemoteResult<void> RemoteControl::checkCallMix() const {
    if (!callMixChanging()) {
        return {};
    }
    return unexpected(RemoteError{RemoteError::Kind::refused,
                                  manager_.callMix().settings().on
                                      ? "The call mix did not appear among the output devices."
                                      : "The call mix is still listed among the output devices."});
}

void RemoteControl::refresh() {
    manager_.refreshAudioApps();
    manager_.updateAudioActivity();
}

// --- Profiles -----------------------------------------------------------------------------------

std::string RemoteControl::profileList() const {
    return jsonText(profileListJson(manager_.profileManager()));
}

RemoteResult<std::string> RemoteControl::saveProfile(const std::string& name,
                                                     const std::string& icon) {
    if (name.empty()) {
        return invalid("The profile name is empty.");
    }
    const std::string chosenIcon = icon.empty() ? std::string(kProfileIconOptions.front()) : icon;
    if (std::find(kProfileIconOptions.begin(), kProfileIconOptions.end(), chosenIcon) ==
        kProfileIconOptions.end()) {
        return invalid("Unknown profile icon " + quoted(icon) + "; the icons are " +
                       nameList(kProfileIconOptions, [](std::string_view n) { return n; }) + ".");
    }
    SaveFailureWatch watch(manager_);
    const AudioProfile saved = manager_.saveCurrentAsProfile(name, chosenIcon);
    return watch.outcome(RemoteResult<std::string>(uuidString(saved.id)));
}

RemoteResult<void> RemoteControl::applyProfile(const std::string& profile) {
    // A copy: applying rewrites the stored profile while it runs.
    const auto found = findProfile(profile);
    if (!found) {
        return unexpected(found.error());
    }
    SaveFailureWatch watch(manager_);
    manager_.applyProfile(*found);
    return watch.outcome(RemoteResult<void>{});
}

RemoteResult<void> RemoteControl::deleteProfile(const std::string& profile) {
    const auto found = findProfile(profile);
    if (!found) {
        return unexpected(found.error());
    }
    SaveFailureWatch watch(manager_);
    manager_.profileManager().deleteProfile(found->id);
    return watch.outcome(RemoteResult<void>{});
}

} // namespace kestrelamp
