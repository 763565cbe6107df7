#include "profiles/AudioProfile.h"

#include "platform/JsonFields.h"

#include <nlohmann/json.hpp>

namespace kestrelamp {

using nlohmann::json;

json toJson(const AudioProfile& profile) {
    json object = json::object();
    object["id"] = uuidString(profile.id);
    object["name"] = profile.name;
    object["icon"] = profile.icon;
    object["routes"] = json_fields::jsonArray(profile.routes);
    if (profile.defaultOutputUID) {
        object["defaultOutputUID"] = *profile.defaultOutputUID;
    }
    return object;
}

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
