#include "profiles/AudioProfile.h"

#include "model/JsonFields.h"

#include <nlohmann/json.hpp>

namespace kestrelamp {

using nlohmann::json;

json toJson(const AudioProfile& profile) {
    json object = json::object();
    object["id"] = uuidString(profile.id);
    object["name"] = profile.name;
    object["icon"] = profile.icon;
    json routes = json::array();
    for (const AppAudioState& state : profile.routes) {
        routes.push_back(toJson(state));
    }
    object["routes"] = std::move(routes);
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
        const json& routes = requiredArray(object, "routes");
        for (std::size_t index = 0; index < routes.size(); ++index) {
            auto state = appAudioStateFromJson(routes[index]);
            if (!state) {
                fail("route " + std::to_string(index) + ": " + state.error().description);
            }
            profile.routes.push_back(std::move(*state));
        }
        profile.defaultOutputUID = optionalString(object, "defaultOutputUID");
        return profile;
    });
}

std::string encodeAudioProfiles(const std::vector<AudioProfile>& profiles) {
    json array = json::array();
    for (const AudioProfile& profile : profiles) {
        array.push_back(toJson(profile));
    }
    return array.dump();
}

Expected<std::vector<AudioProfile>, DecodingError> decodeAudioProfiles(std::string_view bytes) {
    return json_fields::decodeArray<AudioProfile>(bytes, audioProfileFromJson);
}

} // namespace kestrelamp
