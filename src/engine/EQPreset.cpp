#include "engine/EQPreset.h"

#include "platform/JsonFields.h"

#include <QHash>

namespace kestrelamp {
namespace {

enum PresetIndex { kFlat, kBassBoost, kVocal, kPodcast, kGaming, kMovie };

EQPreset builtIn(const char* id, const char* name, std::vector<float> bands) {
    return {*parseUuid(id), name, std::move(bands)};
}

} // namespace

const std::vector<EQPreset>& EQPreset::allPresets() {
    static const std::vector<EQPreset> presets = {
        builtIn("00000000-0000-0000-0000-000000000001", "Flat", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
        builtIn("00000000-0000-0000-0000-000000000002", "Bass Boost",
                {6, 5, 4, 2, 0, 0, 0, 0, 0, 0}),
        builtIn("00000000-0000-0000-0000-000000000003", "Vocal",
                {-2, -1, 0, 2, 4, 4, 2, 0, -1, -2}),
        builtIn("00000000-0000-0000-0000-000000000004", "Podcast",
                {-3, -1, 0, 3, 5, 5, 3, 1, -1, -3}),
        builtIn("00000000-0000-0000-0000-000000000005", "Gaming", {4, 3, 1, 0, -1, 0, 2, 4, 3, 2}),
        builtIn("00000000-0000-0000-0000-000000000006", "Movie", {3, 4, 2, 0, -1, 0, 1, 3, 4, 3}),
    };
    return presets;
}

const EQPreset& EQPreset::flat() {
    return allPresets()[kFlat];
}
const EQPreset& EQPreset::bassBoost() {
    return allPresets()[kBassBoost];
}
const EQPreset& EQPreset::vocal() {
    return allPresets()[kVocal];
}
const EQPreset& EQPreset::podcast() {
    return allPresets()[kPodcast];
}
const EQPreset& EQPreset::gaming() {
    return allPresets()[kGaming];
}
const EQPreset& EQPreset::movie() {
    return allPresets()[kMovie];
}

nlohmann::json toJson(const EQPreset& preset) {
    nlohmann::json object = nlohmann::json::object();
    object["id"] = uuidString(preset.id);
    object["name"] = preset.name;
    object["bands"] = json_fields::jsonArray(preset.bands, [](float gain) {
        return json_fields::boundedFloatAsWritten(gain, kMinBandGainDb, kMaxBandGainDb, 0.0f);
    });
    return object;
}

Expected<EQPreset, DecodingError> eqPresetFromJson(const nlohmann::json& object) {
    using namespace json_fields;
    return decode([&] {
        requireObject(object, "an EQ preset");
        EQPreset preset;
        preset.id = requiredUuid(object, "id");
        preset.name = requiredString(object, "name");
        preset.bands = requiredBoundedFloatArray(object, "bands", kMinBandGainDb, kMaxBandGainDb);
        return preset;
    });
}

} // namespace kestrelamp

std::size_t
std::hash<kestrelamp::EQPreset>::operator()(const kestrelamp::EQPreset& preset) const noexcept {
    std::size_t seed = qHash(preset.id);
    const auto combine = [&seed](std::size_t value) {
        seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    };
    combine(std::hash<std::string>{}(preset.name));
    for (float gain : preset.bands) {
        combine(std::hash<float>{}(gain));
    }
    return seed;
}
