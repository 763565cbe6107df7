#include "model/AudioModel.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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

TEST(AudioAppMake, NameAndIconComeFromTheRunningApplication) {
    NoRunningApplications running;
    EXPECT_EQ(AudioApp::make("org.example.Player", 10, 20, running).displayName, "Player");
    EXPECT_EQ(AudioApp::make("nodots", 1, 2, running).displayName, "nodots");

    running.apps["org.example.Player"] =
        RunningApplication{"Music Player", "multimedia-player", ActivationPolicy::regular};
    running.apps["org.example.Nameless"] =
        RunningApplication{std::nullopt, std::nullopt, ActivationPolicy::regular};
    const AudioApp present = AudioApp::make("org.example.Player", 10, 20, running);
    EXPECT_EQ(present.displayName, "Music Player");
    EXPECT_EQ(present.icon, "multimedia-player");
    EXPECT_EQ(AudioApp::make("org.example.Nameless", 1, 2, running).displayName, "Nameless");
}

} // namespace
} // namespace kestrelamp
