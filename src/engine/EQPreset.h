#pragma once

// A named curve of band gains. Six are built in; saved settings refer to them by id.

#include "platform/DecodingError.h"
#include "platform/Expected.h"

#include <QUuid>
#include <nlohmann/json_fwd.hpp>

#include <string>
#include <vector>

namespace kestrelamp {

// The range of a band's gain in dB, kept on reading a file and on writing one.
inline constexpr float kMinBandGainDb = -24.0f;
inline constexpr float kMaxBandGainDb = 24.0f;

struct EQPreset {
    QUuid id;
    std::string name;
    // Gains in dB, index = band.
    std::vector<float> bands;

    // The built-in presets in menu order, created on first use.
    static const std::vector<EQPreset>& allPresets();
    static const EQPreset& flat();
    static const EQPreset& bassBoost();
    static const EQPreset& vocal();
    static const EQPreset& podcast();
    static const EQPreset& gaming();
    static const EQPreset& movie();

    friend bool operator==(const EQPreset&, const EQPreset&) = default;
};

// Keys "id", "name", "bands"; all three are required when reading.
nlohmann::json toJson(const EQPreset& preset);
Expected<EQPreset, DecodingError> eqPresetFromJson(const nlohmann::json& object);

} // namespace kestrelamp

template <>
struct std::hash<kestrelamp::EQPreset> {
    std::size_t operator()(const kestrelamp::EQPreset& preset) const noexcept;
};
