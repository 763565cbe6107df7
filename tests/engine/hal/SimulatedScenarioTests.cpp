#include "engine/hal/SimulatedScenario.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QStringDecoder>
#include <QTemporaryDir>

#include <fstream>

namespace kestrelamp::hal {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<AudioObjectID> systemList(AudioHardware& hardware,
                                      AudioObjectPropertySelector selector) {
    std::vector<AudioObjectID> ids(64);
    EXPECT_EQ(hardware.getPropertyObjectIDs(kAudioObjectSystemObject, globalAddress(selector), ids),
              noErr);
    return ids;
}

std::string stringOf(AudioHardware& hardware, AudioObjectID object,
                     AudioObjectPropertySelector selector, OSStatus expected = noErr) {
    std::string value;
    EXPECT_EQ(hardware.getPropertyString(object, globalAddress(selector), value), expected)
        << fourCharCodeString(selector) << " of " << object;
    return value;
}

TEST(SimulatedScenario, BuildsTheWorldInFileOrder) {
    auto world = loadScenario(R"({
        "processes": [
            { "bundleID": "org.example.Player", "pid": 4242, "running": true },
            { "bundleID": "org.example.Player.helper", "pid": 4243, "running": false },
            { "pid": -3, "futureKey": [1, 2] }
        ],
        "runningApps": [
            { "bundleID": "org.example.Player", "name": "Player", "icon": "multimedia-player",
              "activationPolicy": "regular" },
            { "bundleID": "org.example.Player", "name": "Second instance" },
            { "bundleID": "org.example.Agent", "icon": null, "activationPolicy": "prohibited" }
        ],
        "devices": [
            { "uid": "speakers", "name": "Speakers", "manufacturer": "Acme", "outputStreams": 1,
              "inputStreams": 0, "transport": "bltn", "sampleRate": 48000 },
            { "uid": "usb-mic", "outputStreams": 0, "inputStreams": 1, "transport": 1970496032 }
        ],
        "defaultOutput": "speakers",
        "failures": [
            { "object": "device:speakers", "selector": "lnam", "scope": "glob",
              "status": 2003332927 },
            { "object": "process:org.example.Player.helper", "selector": "ppid", "status": -1 },
            { "object": "system", "selector": "prs#", "scope": "outp", "status": "what" },
            { "object": 6, "selector": 1937009955, "scope": "inpt", "status": 1 }
        ]
    })");
    ASSERT_TRUE(world) << world.error().description;
    SimulatedAudioHardware& hw = *world->hardware;

    EXPECT_THAT(systemList(hw, kAudioHardwarePropertyProcessObjectList), ElementsAre(2, 3, 4));
    EXPECT_THAT(systemList(hw, kAudioHardwarePropertyDevices), ElementsAre(5, 6));
    EXPECT_EQ(hw.defaultOutputDevice(), 5u);

    EXPECT_EQ(stringOf(hw, 2, kAudioProcessPropertyBundleID), "org.example.Player");
    EXPECT_EQ(stringOf(hw, 4, kAudioProcessPropertyBundleID), "");
    std::int32_t pid = 0;
    EXPECT_EQ(hw.getPropertyInt32(4, globalAddress(kAudioProcessPropertyPID), pid), noErr);
    EXPECT_EQ(pid, -3);
    EXPECT_EQ(hw.getPropertyInt32(3, globalAddress(kAudioProcessPropertyPID), pid), -1);
    std::uint32_t running = 7;
    EXPECT_EQ(hw.getPropertyUInt32(3, globalAddress(kAudioProcessPropertyIsRunning), running),
              noErr);
    EXPECT_EQ(running, 0u);

    stringOf(hw, 5, kAudioObjectPropertyName, 2003332927);
    EXPECT_EQ(stringOf(hw, 5, kAudioObjectPropertyManufacturer), "Acme");
    EXPECT_EQ(stringOf(hw, 6, kAudioObjectPropertyName), "usb-mic");
    std::uint32_t transport = 0;
    EXPECT_EQ(hw.getPropertyUInt32(6, globalAddress(kAudioDevicePropertyTransportType), transport),
              noErr);
    EXPECT_EQ(transport, fourCharCode("usb "));
    double rate = 0;
    EXPECT_EQ(hw.getPropertyFloat64(5, globalAddress(kAudioDevicePropertyNominalSampleRate), rate),
              noErr);
    EXPECT_EQ(rate, 48000.0);
    EXPECT_EQ(hw.getPropertyFloat64(6, globalAddress(kAudioDevicePropertyNominalSampleRate), rate),
              kAudioHardwareUnknownPropertyError);

    std::uint32_t size = 0;
    const AudioObjectPropertyAddress inputStreams{kAudioDevicePropertyStreams,
                                                  kAudioObjectPropertyScopeInput, 0};
    EXPECT_EQ(hw.getPropertyDataSize(6, inputStreams, size), 1);
    const AudioObjectPropertyAddress processesInOutput{kAudioHardwarePropertyProcessObjectList,
                                                       kAudioObjectPropertyScopeOutput, 0};
    EXPECT_EQ(hw.getPropertyDataSize(kAudioObjectSystemObject, processesInOutput, size),
              OSStatus(fourCharCode("what")));

    const RunningApplications& apps = *world->runningApplications;
    const auto player = apps.firstRunningApplication("org.example.Player");
    ASSERT_TRUE(player);
    EXPECT_EQ(player->localizedName, "Player");
    EXPECT_EQ(player->icon, "multimedia-player");
    const auto agent = apps.firstRunningApplication("org.example.Agent");
    ASSERT_TRUE(agent);
    EXPECT_EQ(agent->localizedName, std::nullopt);
    EXPECT_EQ(agent->icon, std::nullopt);
    EXPECT_EQ(agent->activationPolicy, ActivationPolicy::prohibited);
    EXPECT_FALSE(apps.firstRunningApplication("org.example.Player.helper"));
    EXPECT_EQ(apps.mainBundleIdentifier(), "com.kestrelamp.Kestrelamp");
}

TEST(SimulatedScenario, AnEmptyDocumentIsAnEmptyWorld) {
    auto world = loadScenario("{}");
    ASSERT_TRUE(world) << world.error().description;
    EXPECT_TRUE(systemList(*world->hardware, kAudioHardwarePropertyDevices).empty());
    EXPECT_EQ(world->hardware->defaultOutputDevice(), kAudioObjectUnknown);
}

TEST(SimulatedScenario, SignalsAndDevicesTakeTheirDefaults) {
    auto scenario = parseScenario(R"({
        "processes": [ { "signal": { "type": "sine" } }, {},
                       { "signal": { "type": "noise", "amplitude": 0.1, "channels": 1 } } ],
        "devices": [ { "uid": "", "channels": 6 } ]
    })");
    ASSERT_TRUE(scenario) << scenario.error().description;
    EXPECT_EQ(scenario->processes[0].signal, SimulatedSignal::sine(440, 0.5f, 2));
    EXPECT_TRUE(scenario->processes[1].running);
    EXPECT_EQ(scenario->processes[1].signal, SimulatedSignal::silence());
    EXPECT_EQ(scenario->processes[2].signal, SimulatedSignal::noise(0.1f, 1));
    EXPECT_EQ(scenario->devices[0].outputStreams, 1u);
    EXPECT_EQ(scenario->devices[0].outputChannels, 6u);
}

struct BadScenario {
    const char* json;
    const char* expected;
};

class SimulatedScenarioErrors : public ::testing::TestWithParam<BadScenario> {};

TEST_P(SimulatedScenarioErrors, NameTheKeyAndTheProblem) {
    const auto world = loadScenario(GetParam().json);
    ASSERT_FALSE(world);
    EXPECT_EQ(world.error().description, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, SimulatedScenarioErrors,
    ::testing::Values(
        BadScenario{"[]", "the scenario is not a JSON object"},
        BadScenario{R"({"processes": {}})", "processes: expected an array"},
        BadScenario{R"({"processes": [3]})", "processes[0]: expected an object"},
        BadScenario{R"({"processes": [{}, {"pid": "42"}]})",
                    "processes[1].pid: expected an integer"},
        BadScenario{R"({"processes": [{"pid": 4294967296}]})",
                    "processes[0].pid: must be from -2147483648 to 2147483647"},
        BadScenario{R"({"processes": [{"signal": {"type": "square"}}]})",
                    R"(processes[0].signal.type: expected "sine", "noise" or "silence")"},
        BadScenario{R"({"processes": [{"signal": {"type": "sine", "frequency": -1}}]})",
                    "processes[0].signal.frequency: must be above 0"},
        BadScenario{R"({"runningApps": [{"name": "Player"}]})",
                    "runningApps[0].bundleID: is missing"},
        BadScenario{R"({"devices": [{"name": "Speakers"}]})", "devices[0].uid: is missing"},
        BadScenario{R"({"devices": [{"uid": "a", "transport": "usb"}]})",
                    "devices[0].transport: expected a four-character code or an integer"},
        BadScenario{R"({"devices": [{"uid": "a"}], "defaultOutput": "b"})",
                    R"(defaultOutput: no device has the UID "b")"},
        BadScenario{R"({"devices": [{"uid": "a", "outputStreams": 0}], "defaultOutput": "a"})",
                    R"(defaultOutput: the device "a" has no output stream)"},
        BadScenario{R"({"failures": [{"object": "device:x", "selector": "lnam", "status": 1}]})",
                    R"(failures[0].object: no device has the UID "x")"},
        BadScenario{R"({"failures": [{"object": "tap:x", "selector": "tuid", "status": 1}]})",
                    R"(failures[0].object: expected "system", "process:BUNDLEID" or "device:UID")"},
        BadScenario{R"({"failures": [{"object": "system", "selector": "dev#", "status": 0}]})",
                    "failures[0].status: must not be 0, which means success"}));

TEST(SimulatedScenario, InvalidJSONSaysWhereItBroke) {
    const auto world = loadScenario(R"({"devices": [ { "uid": "a" }, ]})");
    ASSERT_FALSE(world);
    EXPECT_THAT(world.error().description, HasSubstr("not valid JSON: "));
    EXPECT_THAT(world.error().description, HasSubstr("line 1, column"));
    EXPECT_THAT(world.error().description, ::testing::Not(HasSubstr("json.exception")));

    const auto overflow = loadScenario(R"({"devices": [{"uid": "a", "sampleRate": 1e999}]})");
    ASSERT_FALSE(overflow);
    EXPECT_EQ(overflow.error().description, "not valid JSON: number overflow parsing '1e999'");

    // The parser quotes what it read last; text that is not UTF-8 must not reach the message.
    const auto latin1 = loadScenario("{\"devices\": [{\"uid\": \"caf\xe9\"}]}");
    ASSERT_FALSE(latin1);
    EXPECT_THAT(latin1.error().description, HasSubstr("UTF-8"));
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString decoded = utf8(QByteArrayView(latin1.error().description.data(),
                                                qsizetype(latin1.error().description.size())));
    EXPECT_FALSE(utf8.hasError()) << latin1.error().description;
    EXPECT_TRUE(decoded.contains(QChar::ReplacementCharacter));
}

TEST(SimulatedScenario, FileErrorsNameTheFileAndTheReason) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string folder = dir.path().toStdString();

    auto missing = loadScenarioFile(folder + "/absent.json");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().description,
              folder + "/absent.json: cannot be read: No such file or directory");

    auto isFolder = loadScenarioFile(folder);
    ASSERT_FALSE(isFolder);
    EXPECT_EQ(isFolder.error().description, folder + ": cannot be read: it is a folder");

    const std::string broken = folder + "/broken.json";
    std::ofstream(broken) << R"({"devices": [{"uid": 4}]})";
    auto wrongType = loadScenarioFile(broken);
    ASSERT_FALSE(wrongType);
    EXPECT_EQ(wrongType.error().description, broken + ": devices[0].uid: expected a string");

    const std::string good = folder + "/good.json";
    std::ofstream(good) << R"({"devices": [{"uid": "speakers"}], "defaultOutput": "speakers"})";
    auto world = loadScenarioFile(good);
    ASSERT_TRUE(world) << world.error().description;
    EXPECT_EQ(world->hardware->deviceID("speakers"), 2u);
}

TEST(SimulatedRunningApplicationsTest, FirstInstanceWinsUntilItsIdentifierQuits) {
    SimulatedRunningApplications apps;
    apps.add("org.example.Player", {"First", "first-icon", ActivationPolicy::accessory});
    apps.add("org.example.Player", {"Second", std::nullopt, ActivationPolicy::regular});
    apps.add("org.example.Other", {"Other", std::nullopt, ActivationPolicy::regular});
    EXPECT_EQ(apps.firstRunningApplication("org.example.Player")->localizedName, "First");
    EXPECT_EQ(apps.firstRunningApplication("org.example.Player")->activationPolicy,
              ActivationPolicy::accessory);
    EXPECT_FALSE(apps.firstRunningApplication("org.example.player"));

    apps.remove("org.example.Player");
    EXPECT_FALSE(apps.firstRunningApplication("org.example.Player"));
    EXPECT_TRUE(apps.firstRunningApplication("org.example.Other"));
}

} // namespace
} // namespace kestrelamp::hal
