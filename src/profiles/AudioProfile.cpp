#include "profiles/AudioProfile.h"

#include "platform/JsonFields.h"

#include <nlohmann/json.hpp>

namespace kestrelamp {

using nlohmann::json;

namespace {
// What a stored call mix names the system's default input by.
constexpr const char* kSystemDefaultInput = "default";
} // namespace

json toJson(const AudioProfile& profile) {
    json object = json::object();
    object["id"] = uuidString(profile.id);
    object["name"] = profile.name;
    object["icon"] = profile.icon;
    object["routes"] = json_fields::jsonArray(profile.routes);
    if (profile.defaultOutputUID) {
        object["defaultOutputUID"] = *profile.defaultOutputUID;
    }
    if (const auto& callMix = profile.callMix) {
        json mix = {{"on", callMix->on},
                    {"microphoneVolume", json_fields::floatAsWritten(callMix->microphoneVolume)},
                    {"microphoneMuted", callMix->microphoneMuted}};
        if (callMix->microphoneUID) {
            mix["microphone"] = callMix->microphoneUID->empty() ? std::string(kSystemDefaultInput)
                                                                : *callMix->microphoneUID;
        }
        object["callMix"] = std::move(mix);
    }
    if (profile.carriesRecordings) {
        object["recordingChoices"] = true;
    }
    return object;
}

namespace {

hal::CallMixSettings callMixFromJson(const json& object) {
    using namespace json_fields;
    requireObject(object, "the call mix");
    hal::CallMixSettings settings;
    settings.on = requiredBool(object, "on");
    if (const auto microphone = optionalString(object, "microphone")) {
        settings.microphoneUID = *microphone == kSystemDefaultInput ? std::string() : *microphone;
    }
    settings.microphoneVolume = requiredBoundedFloat(object, "microphoneVolume", 0.0f, 1.0f);
    settings.microphoneMuted = requiredBool(object, "microphoneMuted");
    return settings;
}

} // namespace

Expected<AudioProfile, DecodingError> audioProfileFromJson(const json& object) {
    using namespace json_fields;
    return decode([&] {
        requireObject(object, "a profile");
        AudioProfile profile;
        profile.id = requiredUuid(object, "id");
        profile.name = requiredString(object, "name");
        profile.icon = requiredString(object, "icon");
        profile.routes = decodeElements<AppAudioState>(requiredArray(object, "routes"), "route",
                                                       appAudioStateFromJson);
        profile.defaultOutputUID = optionalString(object, "defaultOutputUID");
        if (const auto callMix = object.find("callMix"); callMix != object.end()) {
            profile.callMix = callMixFromJson(*callMix);
        }
        profile.carriesRecordings = optionalBool(object, "recordingChoices").value_or(false);
        return profile;
    });
}

std::string encodeAudioProfiles(const std::vector<AudioProfile>& profiles) {
    return json_fields::encodeArray(profiles);
}

Expected<std::vector<AudioProfile>, DecodingError> decodeAudioProfiles(std::string_view bytes) {
    return json_fields::decodeArray<AudioProfile>(bytes, audioProfileFromJson);
}

} // namespace kestrelamp
