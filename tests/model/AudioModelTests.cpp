#include "model/AudioModel.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <limits>
#include <map>

namespace kestrelamp {
namespace {

using nlohmann::json;

AppAudioState decodeOne(const json& object) {
    auto state = appAudioStateFromJson(object);
    EXPECT_TRUE(state.hasValue()) << (state ? "" : state.error().description);
    return state ? *state : AppAudioState{};
}

json minimalState() {
    return {{"id", "org.example.Player"},
            {"displayName", "Player"},
            {"volume", 0.5},
            {"isMuted", false}};
}

TEST(AppAudioStateJson, OptionalKeysDefaultWhenMissingOrNull) {
    json nulls = minimalState();
    for (const char* key :
         {"isPinned", "isIgnored", "boostMultiplier", "eqPresetID", "outputDeviceUIDs"}) {
        nulls[key] = nullptr;
    }
    for (const json& object : {minimalState(), nulls}) {
        const AppAudioState state = decodeOne(object);
        EXPECT_FALSE(state.isPinned);
        EXPECT_EQ(state.boostMultiplier, 1);
        EXPECT_FALSE(state.eqPresetID.has_value());
        EXPECT_TRUE(state.outputDeviceUIDs.empty());
    }
}

TEST(AppAudioStateJson, LegacySingleDeviceRule) {
    json both = minimalState();
    both["outputDeviceUIDs"] = {"a", "b"};
    both["outputDeviceUID"] = "legacy";
    EXPECT_EQ(decodeOne(both).outputDeviceUIDs, (std::vector<std::string>{"a", "b"}));

    json nullList = minimalState();
    nullList["outputDeviceUIDs"] = nullptr;
    nullList["outputDeviceUID"] = "legacy";
    EXPECT_EQ(decodeOne(nullList).outputDeviceUIDs, std::vector<std::string>{"legacy"});

    json stringList = minimalState();
    stringList["outputDeviceUIDs"] = "not-an-array";
    stringList["outputDeviceUID"] = "legacy";
    EXPECT_EQ(decodeOne(stringList).outputDeviceUIDs, std::vector<std::string>{"legacy"});

    json mixedList = minimalState();
    mixedList["outputDeviceUIDs"] = json::array({"a", 3});
    EXPECT_TRUE(decodeOne(mixedList).outputDeviceUIDs.empty());

    json numberLegacy = minimalState();
    numberLegacy["outputDeviceUID"] = 7;
    EXPECT_FALSE(appAudioStateFromJson(numberLegacy).hasValue());
}

TEST(AppAudioStateJson, RequiredKeysAndTypesAreStrict) {
    for (const char* key : {"id", "displayName", "volume", "isMuted"}) {
        json object = minimalState();
        object.erase(key);
        const auto state = appAudioStateFromJson(object);
        ASSERT_FALSE(state.hasValue()) << key;
        EXPECT_NE(state.error().description.find(key), std::string::npos)
            << state.error().description;
    }
    json wrongType = minimalState();
    wrongType["isPinned"] = "yes";
    EXPECT_FALSE(appAudioStateFromJson(wrongType).hasValue());
    json fractionalBoost = minimalState();
    fractionalBoost["boostMultiplier"] = 2.5;
    EXPECT_FALSE(appAudioStateFromJson(fractionalBoost).hasValue());
    json badUuid = minimalState();
    badUuid["eqPresetID"] = "{00000000-0000-0000-0000-000000000001}";
    EXPECT_FALSE(appAudioStateFromJson(badUuid).hasValue());
}

TEST(AppAudioStateJson, RoundTripWritesCurrentKeysOnly) {
    AppAudioState state;
    state.id = "org.example.Player";
    state.displayName = "Player";
    state.volume = 0.8f;
    state.outputDeviceUIDs = {"speakers", "headphones"};
    state.eqPresetID = parseUuid("00000000-0000-0000-0000-00000000000a");
    state.boostMultiplier = 3;

    const json written = toJson(state);
    EXPECT_FALSE(written.contains("outputDeviceUID"));
    EXPECT_EQ(written["eqPresetID"], "00000000-0000-0000-0000-00000000000A");
    EXPECT_EQ(written["volume"].dump(), "0.8");

    const AppAudioState read = decodeOne(written);
    EXPECT_EQ(read.outputDeviceUIDs, state.outputDeviceUIDs);
    EXPECT_EQ(read.eqPresetID, state.eqPresetID);
    EXPECT_EQ(read.boostMultiplier, 3);
}

TEST(AppAudioStateJson, StoredNumbersAreBroughtIntoRangeAndOversizedIntegersRefused) {
    const std::pair<json, float> volumes[] = {
        {1e39, 1.0f}, {1.5, 1.0f}, {-3, 0.0f}, {-1e300, 0.0f}, {0.25, 0.25f}};
    for (const auto& [stored, read] : volumes) {
        json object = minimalState();
        object["volume"] = stored;
        EXPECT_EQ(decodeOne(object).volume, read) << stored;
    }
    const std::pair<json, std::int64_t> boosts[] = {
        {10, 4}, {0, 1}, {-5, 1}, {3.0, 3}, {std::numeric_limits<std::int64_t>::max(), 4}};
    for (const auto& [stored, read] : boosts) {
        json object = minimalState();
        object["boostMultiplier"] = stored;
        EXPECT_EQ(decodeOne(object).boostMultiplier, read) << stored;
    }
    // 2^64 - 1 once read as -1 (silence); beyond 64 bits nothing is read at all.
    for (const char* oversized :
         {"18446744073709551615", "18446744073709551616", "-9223372036854775809", "1e19"}) {
        const std::string document = R"([{"id":"x","displayName":"X","volume":1,"isMuted":false,)"
                                     R"("boostMultiplier":)" +
                                     std::string(oversized) + "}]";
        const auto decoded = decodeAppAudioStates(document);
        ASSERT_FALSE(decoded.hasValue()) << oversized;
        EXPECT_NE(decoded.error().description.find("boostMultiplier"), std::string::npos);
    }
}

TEST(AppAudioStateJson, NothingNonFiniteOrOutOfRangeIsWritten) {
    AppAudioState state;
    state.id = "x";
    for (const float volume :
         {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
          std::numeric_limits<float>::quiet_NaN(), 1e30f}) {
        state.volume = volume;
        state.boostMultiplier = -1;
        const std::string written = encodeAppAudioStates({state});
        EXPECT_EQ(written.find("null"), std::string::npos) << written;
        const auto read = decodeAppAudioStates(written);
        ASSERT_TRUE(read.hasValue()) << written;
        EXPECT_GE(read->front().volume, 0.0f);
        EXPECT_LE(read->front().volume, 1.0f);
        EXPECT_EQ(read->front().boostMultiplier, 1);
    }
}

TEST(AppAudioStateFile, OneBadElementFailsTheWholeDocument) {
    const std::string good = json::array({minimalState(), minimalState()}).dump();
    ASSERT_TRUE(decodeAppAudioStates(good).hasValue());

    json bad = minimalState();
    bad.erase("volume");
    const auto failed = decodeAppAudioStates(json::array({minimalState(), bad}).dump());
    ASSERT_FALSE(failed.hasValue());
    EXPECT_NE(failed.error().description.find("element 1"), std::string::npos);

    EXPECT_FALSE(decodeAppAudioStates("{\"id\": 1}").hasValue());
    EXPECT_FALSE(decodeAppAudioStates("[{").hasValue());
    EXPECT_TRUE(decodeAppAudioStates("[]").hasValue());
}

class NoRunningApplications : public RunningApplications {
public:
    std::optional<RunningApplication>
    firstRunningApplication(const std::string& bundleID) const override {
        const auto it = apps.find(bundleID);
        return it == apps.end() ? std::nullopt : std::optional(it->second);
    }
    std::map<std::string, RunningApplication> apps;
};

} // namespace
} // namespace kestrelamp
