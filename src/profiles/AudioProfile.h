#pragma once

#include "engine/hal/AudioHardware.h"
#include "model/AudioModel.h"

#include <QUuid>
#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrelamp {

// A named snapshot of the routing set-up. Identity, equality and hashing use `id` alone.
struct AudioProfile {
    QUuid id;
    std::string name;
    // A symbol name from the profile switcher's icon choices, such as "music.note".
    std::string icon;
    std::vector<AppAudioState> routes;
    std::optional<std::string> defaultOutputUID;
    // The call mix as it was; profiles saved before it existed leave it as it is.
    std::optional<hal::CallMixSettings> callMix;
    // Its routes say what each application records (none: from the default, untouched); those
    // saved before that leave the recording choices as they are.
    bool carriesRecordings = false;

    friend bool operator==(const AudioProfile& a, const AudioProfile& b) { return a.id == b.id; }
};

nlohmann::json toJson(const AudioProfile& profile);
Expected<AudioProfile, DecodingError> audioProfileFromJson(const nlohmann::json& object);

// The contents of profiles.json: a top-level array, all or nothing.
std::string encodeAudioProfiles(const std::vector<AudioProfile>& profiles);
Expected<std::vector<AudioProfile>, DecodingError> decodeAudioProfiles(std::string_view bytes);

} // namespace kestrelamp

template <>
struct std::hash<kestrelamp::AudioProfile> {
    std::size_t operator()(const kestrelamp::AudioProfile& profile) const noexcept {
        return qHash(profile.id);
    }
};
