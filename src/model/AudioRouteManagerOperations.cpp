#include "model/AudioRouteManager.h"

#include <algorithm>
#include <cmath>

// What the user and the remote control do to an application's settings, and to every route.

namespace kestrelamp {

using namespace hal;

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

bool AudioRouteManager::setDefaultOutputDevice(const std::string& uid) {
    const auto device = std::find_if(outputDevices_.begin(), outputDevices_.end(),
                                     [&](const AudioDeviceInfo& d) { return d.uid == uid; });
    if (device == outputDevices_.end()) {
        return false;
    }
    const AudioDeviceInfo chosen = *device;
    const auto address = globalAddress(kAudioHardwarePropertyDefaultOutputDevice);
    if (hardware_.setPropertyUInt32(kAudioObjectSystemObject, address, chosen.id) != noErr) {
        return false;
    }
    // A service that changes it at once says so now; otherwise its listener will.
    std::uint32_t current = kAudioObjectUnknown;
    if (hardware_.getPropertyUInt32(kAudioObjectSystemObject, address, current) == noErr &&
        current == chosen.id) {
        setDefaultOutputDeviceValue(chosen);
    }
    return true;
}

void AudioRouteManager::stopAll() {
    stopped_ = true;
    flushPendingSave();
    refreshTimer_.reset();
    deviceChangeDebounce_.stop();
    processChangeCoalescing_.stop();
    removeEveryRoute();
    callMix_.stop();
    recordings_.stop();
    updateLevelMonitors();
    silenceUnroutedLevels();
    deviceMonitor_.stopMonitoring();
    for (const auto& connection : cancellables_) {
        disconnect(connection);
    }
    cancellables_.clear();
}

} // namespace kestrelamp
