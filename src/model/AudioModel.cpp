#include "model/AudioModel.h"

#include "platform/JsonFields.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <utility>

namespace kestrelamp {

using nlohmann::json;

AppAudioState AppAudioState::defaultFor(const AudioApp& app) {
    AppAudioState state;
    state.id = app.id;
    state.displayName = app.displayName;
    return state;
}

json toJson(const AppAudioState& state) {
    json object = json::object();
    object["id"] = state.id;
    object["displayName"] = state.displayName;
    object["volume"] =
        json_fields::boundedFloatAsWritten(state.volume, kMinVolume, kMaxVolume, kMaxVolume);
    object["isMuted"] = state.isMuted;
    object["outputDeviceUIDs"] = state.outputDeviceUIDs;
    if (state.eqPresetID) {
        object["eqPresetID"] = uuidString(*state.eqPresetID);
    }
    object["isPinned"] = state.isPinned;
    object["isIgnored"] = state.isIgnored;
    object["boostMultiplier"] = std::clamp(state.boostMultiplier, kMinBoost, kMaxBoost);
    if (state.recording && !state.recording->neutral()) {
        if (!state.recording->inputUID.empty()) {
            object["recordingInputUID"] = state.recording->inputUID;
        }
        object["recordingVolume"] = json_fields::boundedFloatAsWritten(
            state.recording->volume, kMinVolume, kMaxVolume, kMaxVolume);
        object["recordingMuted"] = state.recording->muted;
    }
    return object;
}

namespace {

// Older files stored one device under "outputDeviceUID": a readable "outputDeviceUIDs" array wins,
// any problem with it falls back to the single legacy UID.
std::vector<std::string> decodeOutputDevices(const json& object) {
    if (auto list = json_fields::tryStringArray(object, "outputDeviceUIDs")) {
        return std::move(*list);
    }
    if (auto legacy = json_fields::optionalString(object, "outputDeviceUID")) {
        return {std::move(*legacy)};
    }
    return {};
}

// Absent keys are the neutral choice, which is no choice at all.
std::optional<hal::RecordingChoice> decodeRecording(const json& object) {
    using namespace json_fields;
    auto input = optionalString(object, "recordingInputUID");
    const auto volume = optionalBoundedFloat(object, "recordingVolume", kMinVolume, kMaxVolume);
    const auto muted = optionalBool(object, "recordingMuted");
    if (!input && !volume && !muted) {
        return std::nullopt;
    }
    hal::RecordingChoice choice{std::move(input).value_or(""), volume.value_or(1.0f),
                                muted.value_or(false)};
    return choice.neutral() ? std::nullopt : std::optional(std::move(choice));
}

} // namespace

Expected<AppAudioState, DecodingError> appAudioStateFromJson(const json& object) {
    using namespace json_fields;
    return decode([&] {
        requireObject(object, "an app state");
        AppAudioState state;
        state.id = requiredString(object, "id");
        state.displayName = requiredString(object, "displayName");
        state.volume = requiredBoundedFloat(object, "volume", kMinVolume, kMaxVolume);
        state.isMuted = requiredBool(object, "isMuted");
        state.outputDeviceUIDs = decodeOutputDevices(object);
        state.eqPresetID = optionalUuid(object, "eqPresetID");
        state.isPinned = optionalBool(object, "isPinned").value_or(false);
        state.isIgnored = optionalBool(object, "isIgnored").value_or(false);
        state.boostMultiplier =
            std::clamp(optionalInt64(object, "boostMultiplier").value_or(1), kMinBoost, kMaxBoost);
        state.recording = decodeRecording(object);
        return state;
    });
}

std::string encodeAppAudioStates(const std::vector<AppAudioState>& states) {
    return json_fields::encodeArray(states);
}

Expected<std::vector<AppAudioState>, DecodingError> decodeAppAudioStates(std::string_view bytes) {
    return json_fields::decodeArray<AppAudioState>(bytes, appAudioStateFromJson);
}

json toJson(const AudioApp& app) {
    json object = json::object();
    object["id"] = app.id;
    object["processID"] = app.processID;
    object["audioObjectID"] = app.audioObjectID;
    object["displayName"] = app.displayName;
    object["icon"] = app.icon ? json(*app.icon) : json(nullptr);
    object["childBundleIDs"] = app.childBundleIDs;
    object["childAudioObjectIDs"] = app.childAudioObjectIDs;
    return object;
}

json toJson(const AudioDeviceInfo& device) {
    json object = json::object();
    object["id"] = device.id;
    object["uid"] = device.uid;
    object["name"] = device.name;
    object["manufacturer"] = device.manufacturer;
    object["hasOutput"] = device.hasOutput;
    object["hasInput"] = device.hasInput;
    object["transportType"] = transportTypeName(device.transportType);
    object["sampleRate"] = device.sampleRate;
    return object;
}

} // namespace kestrelamp
