#include "engine/EQPreset.h"

#include "engine/Biquad.h"
#include "platform/Uuid.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <limits>

namespace kestrelamp {
namespace {

using nlohmann::json;

// Saved settings refer to built-ins by these identities.
TEST(EQPreset, BuiltInsInMenuOrderWithFixedIdentities) {
    const std::vector<EQPreset>& presets = EQPreset::allPresets();
    const std::vector<std::string> names = {"Flat",    "Bass Boost", "Vocal",
                                            "Podcast", "Gaming",     "Movie"};
    ASSERT_EQ(presets.size(), names.size());
    for (std::size_t i = 0; i < presets.size(); ++i) {
        EXPECT_EQ(uuidString(presets[i].id),
                  "00000000-0000-0000-0000-00000000000" + std::to_string(i + 1));
        EXPECT_EQ(presets[i].name, names[i]);
        EXPECT_EQ(presets[i].bands.size(), kEQBandCount) << names[i];
    }
}

TEST(EQPresetJson, WritesTheThreeKeysAndReadsThemBack) {
    std::vector<EQPreset> presets = EQPreset::allPresets();
    presets.push_back({*parseUuid("a1b2c3d4-0000-4000-8000-00000000abcd"), "Mine", {0.1f, -2.5f}});
    for (const EQPreset& preset : presets) {
        const auto decoded = eqPresetFromJson(toJson(preset));
        ASSERT_TRUE(decoded.hasValue()) << decoded.error().description;
        EXPECT_EQ(*decoded, preset);
    }
    // What files hold: the identifier in capitals.
    EXPECT_EQ(toJson(presets.back()).dump(),
              R"({"bands":[0.1,-2.5],"id":"A1B2C3D4-0000-4000-8000-00000000ABCD","name":"Mine"})");
}

TEST(EQPresetJson, EveryKeyIsRequiredAndTyped) {
    const json valid = toJson(EQPreset::podcast());
    for (const char* key : {"id", "name", "bands"}) {
        json missing = valid;
        missing.erase(key);
        const auto decoded = eqPresetFromJson(missing);
        ASSERT_FALSE(decoded.hasValue()) << key;
        EXPECT_NE(decoded.error().description.find(key), std::string::npos)
            << decoded.error().description;
    }
    for (const auto& [key, value] :
         std::vector<std::pair<const char*, json>>{{"id", "not-a-uuid"},
                                                   {"name", 3},
                                                   {"bands", "loud"},
                                                   {"bands", json::array({1, "2"})},
                                                   {"bands", nullptr}}) {
        json wrong = valid;
        wrong[key] = value;
        EXPECT_FALSE(eqPresetFromJson(wrong).hasValue()) << key << " = " << value.dump();
    }
    EXPECT_FALSE(eqPresetFromJson(json::array()).hasValue());
}

TEST(EQPresetJson, BandGainsStayWithinTwentyFourDecibels) {
    json stored = toJson(EQPreset::flat());
    stored["bands"] = json::array({1e39, -30, 12.5});
    const auto decoded = eqPresetFromJson(stored);
    ASSERT_TRUE(decoded.hasValue()) << decoded.error().description;
    EXPECT_EQ(decoded->bands, (std::vector<float>{24.0f, -24.0f, 12.5f}));

    EQPreset wild = EQPreset::flat();
    wild.bands = {std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()};
    EXPECT_EQ(toJson(wild)["bands"].dump(), "[24.0,0.0]");
}

} // namespace
} // namespace kestrelamp
