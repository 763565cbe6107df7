#include "model/AudioModel.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <unordered_set>

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
    const AppAudioState missing = decodeOne(minimalState());
    EXPECT_FALSE(missing.isPinned);
    EXPECT_FALSE(missing.isIgnored);
    EXPECT_EQ(missing.boostMultiplier, 1);
    EXPECT_FALSE(missing.eqPresetID.has_value());
    EXPECT_TRUE(missing.outputDeviceUIDs.empty());

    json nulls = minimalState();
    for (const char* key :
         {"isPinned", "isIgnored", "boostMultiplier", "eqPresetID", "outputDeviceUIDs"}) {
        nulls[key] = nullptr;
    }
    const AppAudioState fromNulls = decodeOne(nulls);
    EXPECT_FALSE(fromNulls.isPinned);
    EXPECT_EQ(fromNulls.boostMultiplier, 1);
    EXPECT_FALSE(fromNulls.eqPresetID.has_value());
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

TEST(AppAudioStateJson, NothingIsClampedOnReading) {
    json object = minimalState();
    object["volume"] = 1.5;
    object["boostMultiplier"] = 10;
    const AppAudioState state = decodeOne(object);
    EXPECT_FLOAT_EQ(state.volume, 1.5f);
    EXPECT_EQ(state.boostMultiplier, 10);
}

TEST(AppAudioStateJson, RoundTripWritesCurrentKeysOnly) {
    AppAudioState state;
    state.id = "org.example.Player";
    state.displayName = "Player";
    state.volume = 0.8f;
    state.outputDeviceUIDs = {"speakers", "headphones"};
    state.eqPresetID = parseUuid("00000000-0000-0000-0000-00000000000a");
    state.isPinned = true;
    state.boostMultiplier = 3;

    const json written = toJson(state);
    EXPECT_FALSE(written.contains("outputDeviceUID"));
    EXPECT_EQ(written["eqPresetID"], "00000000-0000-0000-0000-00000000000A");
    EXPECT_EQ(written["volume"].dump(), "0.8");

    const AppAudioState read = decodeOne(written);
    EXPECT_EQ(read.outputDeviceUIDs, state.outputDeviceUIDs);
    EXPECT_EQ(read.eqPresetID, state.eqPresetID);
    EXPECT_FLOAT_EQ(read.volume, 0.8f);
    EXPECT_TRUE(read.isPinned);
    EXPECT_EQ(read.boostMultiplier, 3);

    AppAudioState noPreset = state;
    noPreset.eqPresetID.reset();
    EXPECT_FALSE(toJson(noPreset).contains("eqPresetID"));
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

TEST(AppAudioStateIdentity, EqualityAndHashUseIdAlone) {
    AppAudioState a;
    a.id = "org.example.Player";
    a.volume = 0.2f;
    AppAudioState b = a;
    b.volume = 0.9f;
    b.isMuted = true;
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<AppAudioState>{}(a), std::hash<AppAudioState>{}(b));
    EXPECT_EQ(std::unordered_set<AppAudioState>({a, b}).size(), 1u);
}

TEST(AudioDeviceInfoIdentity, EqualityCoversEveryField) {
    AudioDeviceInfo base{7,      "uid", "Name", "Maker", true, false, AudioDeviceTransportType::usb,
                         48000.0};
    EXPECT_EQ(base, base);
    AudioDeviceInfo rate = base;
    rate.sampleRate = 44100.0;
    AudioDeviceInfo input = base;
    input.hasInput = true;
    AudioDeviceInfo maker = base;
    maker.manufacturer = "Other";
    EXPECT_NE(base, rate);
    EXPECT_NE(base, input);
    EXPECT_NE(base, maker);
}

TEST(TransportType, RawCodesConvertBothWays) {
    EXPECT_EQ(transportTypeFromRawValue(0x626C746E), AudioDeviceTransportType::builtIn);
    EXPECT_EQ(transportTypeFromRawValue(hal::fourCharCode("usb ")), AudioDeviceTransportType::usb);
    EXPECT_EQ(transportTypeFromRawValue(0), AudioDeviceTransportType::unknown);
    EXPECT_FALSE(transportTypeFromRawValue(hal::fourCharCode("eavb")).has_value());
    EXPECT_EQ(rawValue(AudioDeviceTransportType::thunderbolt), 0x7468756Eu);
    EXPECT_STREQ(transportTypeName(AudioDeviceTransportType::virtualDevice), "virtual");
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
    const AudioApp absent = AudioApp::make("org.example.Player", 10, 20, running);
    EXPECT_EQ(absent.displayName, "Player");
    EXPECT_FALSE(absent.icon.has_value());
    EXPECT_EQ(AudioApp::make("nodots", 1, 2, running).displayName, "nodots");

    running.apps["org.example.Player"] =
        RunningApplication{"Music Player", "multimedia-player", ActivationPolicy::regular};
    running.apps["org.example.Nameless"] =
        RunningApplication{std::nullopt, std::nullopt, ActivationPolicy::regular};
    const AudioApp present = AudioApp::make("org.example.Player", 10, 20, running);
    EXPECT_EQ(present.displayName, "Music Player");
    EXPECT_EQ(present.icon, "multimedia-player");
    EXPECT_EQ(present.processID, 10);
    EXPECT_EQ(present.audioObjectID, 20u);
    EXPECT_EQ(AudioApp::make("org.example.Nameless", 1, 2, running).displayName, "Nameless");
}

TEST(Identifiers, LastComponentAndUuidForms) {
    EXPECT_EQ(lastIdentifierComponent("org.example.Player"), "Player");
    EXPECT_EQ(lastIdentifierComponent("org.example.Player."), "Player");
    EXPECT_FALSE(lastIdentifierComponent("").has_value());
    EXPECT_FALSE(lastIdentifierComponent("...").has_value());

    const auto lower = parseUuid("0a1b2c3d-0000-4000-8000-00000000abcd");
    ASSERT_TRUE(lower.has_value());
    EXPECT_EQ(uuidString(*lower), "0A1B2C3D-0000-4000-8000-00000000ABCD");
    EXPECT_TRUE(parseUuid("00000000-0000-0000-0000-000000000000").has_value());
    EXPECT_FALSE(parseUuid("0a1b2c3d00004000800000000000abcd").has_value());
    EXPECT_FALSE(parseUuid("0a1b2c3d-0000-4000-8000-00000000abcg").has_value());
}

} // namespace
} // namespace kestrelamp
