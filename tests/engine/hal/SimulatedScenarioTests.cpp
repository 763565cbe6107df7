#include "engine/hal/SimulatedScenario.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QStringDecoder>
#include <QTemporaryDir>

#include <fstream>

namespace kestrelamp::hal {
namespace {

using ::testing::HasSubstr;

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

} // namespace
} // namespace kestrelamp::hal
