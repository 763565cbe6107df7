#include "model/AudioModel.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <limits>

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

// One or two keys changed from a minimal valid state: what is read, or nothing at all.
TEST(AppAudioStateJson, DevicesTheLegacyKeyAndWrongTypes) {
    using Devices = std::vector<std::string>;
    const struct {
        json changes;
        std::optional<Devices> devices; // nothing: refused
    } cases[] = {
        {{{"outputDeviceUIDs", {"a", "b"}}, {"outputDeviceUID", "legacy"}}, Devices{"a", "b"}},
        {{{"outputDeviceUIDs", nullptr}, {"outputDeviceUID", "legacy"}}, Devices{"legacy"}},
        {{{"outputDeviceUIDs", "not-an-array"}, {"outputDeviceUID", "legacy"}}, Devices{"legacy"}},
        {{{"outputDeviceUIDs", json::array({"a", 3})}}, Devices{}},
        {{{"outputDeviceUID", 7}}, std::nullopt},
        {{{"isPinned", "yes"}}, std::nullopt},
        {{{"boostMultiplier", 2.5}}, std::nullopt},
        {{{"eqPresetID", "{00000000-0000-0000-0000-000000000001}"}}, std::nullopt},
        {{{"recordingInputUID", 3}}, std::nullopt},
        {{{"recordingVolume", "loud"}}, std::nullopt},
        {{{"recordingMuted", "yes"}}, std::nullopt},
    };
    for (const auto& c : cases) {
        json object = minimalState();
        object.update(c.changes);
        const auto state = appAudioStateFromJson(object);
        ASSERT_EQ(state.hasValue(), c.devices.has_value()) << c.changes;
        if (state) {
            EXPECT_EQ(state->outputDeviceUIDs, *c.devices) << c.changes;
        }
    }
}

TEST(AppAudioStateJson, RequiredKeysAreNamedWhenMissing) {
    for (const char* key : {"id", "displayName", "volume", "isMuted"}) {
        json object = minimalState();
        object.erase(key);
        const auto state = appAudioStateFromJson(object);
        ASSERT_FALSE(state.hasValue()) << key;
        EXPECT_NE(state.error().description.find(key), std::string::npos)
            << state.error().description;
    }
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

TEST(AppAudioStateJson, TheRecordingChoiceIsOptionalAndAddsOnlyItsOwnKeys) {
    const std::pair<json, std::optional<hal::RecordingChoice>> read[] = {
        {json::object(), std::nullopt},
        {{{"recordingInputUID", "mic"}, {"recordingVolume", 1.5}, {"recordingMuted", true}},
         hal::RecordingChoice{"mic", 1.0f, true}},
        {{{"recordingVolume", 0.25}}, hal::RecordingChoice{"", 0.25f, false}},
        // No choice, as written.
        {{{"recordingVolume", 1}, {"recordingMuted", false}}, std::nullopt},
    };
    for (const auto& [changes, recording] : read) {
        json object = minimalState();
        object.update(changes);
        EXPECT_EQ(decodeOne(object).recording, recording) << changes;
    }

    AppAudioState state = decodeOne(minimalState());
    const json before = toJson(state);
    state.recording = hal::RecordingChoice{};
    EXPECT_EQ(toJson(state), before) << "a neutral choice is not written";
    state.recording = hal::RecordingChoice{"", 0.5f, false};
    json written = toJson(state);
    EXPECT_EQ(decodeOne(written).recording, state.recording);
    // What a reader that ignores the new keys sees is the state as it was.
    written.erase("recordingVolume");
    written.erase("recordingMuted");
    EXPECT_EQ(written, before);
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

} // namespace
} // namespace kestrelamp
