// A headless instance of the real program on a simulated audio service, on a private session
// bus, driven through `kestrelamp ctl` alone: its answers, the files it keeps and what the
// simulated devices play.

#include "ProgramHarness.h"

#include "TempHome.h"

#include <QImage>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/resource.h>

namespace kestrelamp::test {
namespace {

using nlohmann::json;

constexpr const char* kPlayer = "org.example.Player";

// Levels move with every render cycle; everything else must stay put.
json withoutLevels(json status) {
    for (json& app : status["apps"]) {
        app.erase("level");
    }
    return status;
}

class RemoteControlProgram : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(bus.address().isEmpty()) << "dbus-daemon did not start";
        program.writeScenario();
        ASSERT_TRUE(program.startInstance()) << program.instanceErrors().toStdString();
    }

    json status() {
        const RunResult result = program.ctl({"status"});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return json::parse(result.out, nullptr, false);
    }

    void ctlOK(const QStringList& arguments) {
        const RunResult result = program.ctl(arguments);
        EXPECT_EQ(result.exitCode, 0) << arguments.join(' ').toStdString() << ": " << result.err;
    }

    PrivateBus bus;
    ProgramHarness program{bus.address()};
};

TEST_F(RemoteControlProgram, BadArgumentsAreRefusedByNameAndChangeNothing) {
    ctlOK({"route", kPlayer, "headphones"});
    ctlOK({"profile", "save", "Work"});
    const QByteArray states = program.dataFile("appStates.json");
    const QByteArray profiles = program.dataFile("profiles.json");
    const json before = status();

    const std::vector<std::pair<QStringList, std::string>> refused = {
        {{"volume", "org.example.Nobody", "0.5"}, "org.example.Nobody"},
        {{"route", kPlayer, "speakers", "cupboard"}, "cupboard"},
        {{"add-device", kPlayer, "cupboard"}, "cupboard"},
        {{"default-output", "cupboard"}, "cupboard"},
        {{"volume", kPlayer, "loud"}, "loud"},
        {{"boost", kPlayer, "inf"}, "inf"},
        {{"boost", kPlayer, "2.5"}, "2.5"},
        {{"eq-band", kPlayer, "10", "3"}, "10"},
        {{"mute", kPlayer, "maybe"}, "maybe"},
        {{"eq", kPlayer, "Loudness"}, "Loudness"},
        {{"profile", "apply", "Holiday"}, "Holiday"},
        {{"record-from", kPlayer, "cupboard"}, "cupboard"},
    };
    for (const auto& [arguments, named] : refused) {
        const RunResult result = program.ctl(arguments);
        EXPECT_EQ(result.exitCode, 1) << arguments.join(' ').toStdString();
        EXPECT_NE(result.err.find(named), std::string::npos)
            << arguments.join(' ').toStdString() << ": " << result.err;
    }
    EXPECT_EQ(program.dataFile("appStates.json"), states);
    EXPECT_EQ(program.dataFile("profiles.json"), profiles);
    EXPECT_EQ(withoutLevels(status()), withoutLevels(before));

    for (const QStringList& arguments :
         {QStringList{"volume", kPlayer}, QStringList{"louder", kPlayer}, QStringList{"profile"},
          QStringList{}}) {
        EXPECT_EQ(program.ctl(arguments).exitCode, 2) << arguments.join(' ').toStdString();
    }
}

TEST(RemoteControlFullDisk, AProfileThatCouldNotBeSavedExitsOneAndKeepsTheFile) {
    PrivateBus bus;
    ASSERT_FALSE(bus.address().isEmpty()) << "dbus-daemon did not start";
    ProgramHarness program(bus.address());
    program.writeScenario();
    {
        // `ulimit -f 2`: the instance inherits the limit, as from a shell that set it.
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limited = saved;
        limited.rlim_cur = 2048;
        ::setrlimit(RLIMIT_FSIZE, &limited);
        const bool started = program.startInstance();
        ::setrlimit(RLIMIT_FSIZE, &saved);
        ASSERT_TRUE(started) << program.instanceErrors().toStdString();
    }
    QByteArray lastGood;
    RunResult result;
    for (int n = 0; n < 20; ++n) {
        result = program.ctl({"profile", "save", "Profile " + QString::number(n)});
        if (result.exitCode != 0) {
            break;
        }
        lastGood = program.dataFile("profiles.json");
    }
    ASSERT_EQ(result.exitCode, 1) << "profiles.json never reached the limit";
    EXPECT_EQ(result.err.rfind("kestrelamp ctl: Failed to save profiles: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find("File too large"), std::string::npos) << result.err;
    EXPECT_EQ(program.dataFile("profiles.json"), lastGood) << "the old file stays whole";
    EXPECT_EQ(program.ctl({"status"}).exitCode, 0) << "still running";
}

TEST(RemoteControlWindow, TheRunningWindowDrawsItselfAndASecondStartShowsIt) {
    PrivateBus bus;
    ASSERT_FALSE(bus.address().isEmpty());
    ProgramHarness program(bus.address());
    program.writeScenario();
    // The window of a program without tray, on the offscreen platform.
    ASSERT_TRUE(program.startInstance({"--simulate", program.scenarioPath()}))
        << program.instanceErrors().toStdString();
    ASSERT_EQ(program.ctl({"volume", kPlayer, "0.7"}).exitCode, 0);

    const QString path = program.dataFolder() + "/popover.png";
    const RunResult shot = program.ctl({"screenshot", path});
    ASSERT_EQ(shot.exitCode, 0) << shot.err;
    const QImage drawn(path);
    ASSERT_FALSE(drawn.isNull());
    EXPECT_GE(drawn.width(), 600);
    const RunResult unwritable = program.ctl({"screenshot", "/nonexistent/folder/popover.png"});
    EXPECT_EQ(unwritable.exitCode, 1);
    EXPECT_NE(unwritable.err.find("Cannot write"), std::string::npos) << unwritable.err;

    const RunResult second = program.run({"--simulate", program.scenarioPath()});
    EXPECT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(program.instance().state(), QProcess::Running);
    EXPECT_EQ(program.ctl({"quit"}).exitCode, 0);
    EXPECT_EQ(program.waitForInstanceExit(), 0) << program.instanceErrors().toStdString();
}

} // namespace
} // namespace kestrelamp::test
