// The remote operations on a route manager in a simulated world, and the shape of ctl commands.

#include "app/ControlClient.h"
#include "app/RemoteControl.h"
#include "app/RemoteControlNames.h"
#include "app/StatusJson.h"

#include "RouteWorld.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

#include <optional>

namespace kestrelamp::test {
namespace {

using nlohmann::json;

constexpr const char* kPlayer = "org.example.Player";

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class RemoteControlOperations : public ::testing::Test {
protected:
    const AppAudioState& player() { return *world.manager().state(kPlayer); }

    RouteWorld world;
    RemoteControl control{world.manager()};
};

TEST(RemoteControlSaving, AChangeThatCouldNotBeSavedIsNotASuccess) {
    // Another instance holds the data folder, so every save of this one fails.
    RouteWorld world(standardScenario(), false);
    QDir().mkpath(world.home().dataFolder());
    QLockFile otherInstance(world.home().dataFolder() + "/" + DataFolderLock::fileName);
    ASSERT_TRUE(otherInstance.tryLock(0));
    captureStdout([&] { world.createManager(); });
    RemoteControl control(world.manager());

    std::optional<RemoteResult<void>> volume;
    std::optional<RemoteResult<std::string>> profile;
    const std::string printed = captureStdout([&] {
        volume = control.setVolume(kPlayer, "0.5");
        profile = control.saveProfile("Work", "");
    });
    for (const RemoteError& error : {volume->error(), profile->error()}) {
        EXPECT_EQ(error.kind, RemoteError::Kind::notSaved);
        EXPECT_EQ(error.message.rfind("Failed to save ", 0), 0u) << error.message;
        EXPECT_NE(error.message.find("is in use by another Kestrelamp"), std::string::npos);
        EXPECT_NE(printed.find(error.message.substr(0, error.message.find('\n'))),
                  std::string::npos)
            << "the same lines as printed";
    }
    EXPECT_NE(profile->error().message.find("Failed to save profiles: "), std::string::npos);
    EXPECT_EQ(world.manager().state(kPlayer)->volume, 0.5f) << "in effect, only not saved";
    EXPECT_FALSE(QFile::exists(world.statesPath()));

    // Refusals still answer as refusals, before anything would be saved.
    EXPECT_EQ(control.setVolume("org.example.Nobody", "0.5").error().kind,
              RemoteError::Kind::invalidArgument);
}

TEST_F(RemoteControlOperations, NumbersMustBeCompleteFiniteTextsInTheCLocale) {
    for (const char* good : {"0.5", "+0.5", "-3", "1e2", "4"}) {
        EXPECT_TRUE(RemoteControl::parseNumber(good, "Volume").hasValue()) << good;
    }
    // Words, nan and overflow are refused by the program tests too; these are the subtle ones.
    for (const char* bad : {"", " 1", "1 ", "0,5", "0x10", "-inf", "++1", "½"}) {
        const auto parsed = RemoteControl::parseNumber(bad, "Volume");
        ASSERT_FALSE(parsed.hasValue()) << bad;
        EXPECT_EQ(parsed.error().message.rfind("Volume '" + std::string(bad) + "'", 0), 0u)
            << parsed.error().message;
    }
}

TEST_F(RemoteControlOperations, IgnoringUnpinsAndHugeVolumesAreLimited) {
    ASSERT_TRUE(control.setPinned(kPlayer, "on").hasValue());
    ASSERT_TRUE(control.setIgnored(kPlayer, "on").hasValue());
    EXPECT_TRUE(player().isIgnored);
    EXPECT_FALSE(player().isPinned);
    // Far beyond the float range, still limited rather than undefined.
    ASSERT_TRUE(control.setVolume(kPlayer, "-1e300").hasValue());
    EXPECT_EQ(player().volume, 0.0f);
}

TEST_F(RemoteControlOperations, DevicesAreCheckedAndAnIgnoredAppIsRefusedNotSilentlySkipped) {
    ASSERT_TRUE(control.setOutputDevices(kPlayer, {"headphones", "hdmi", "headphones"}).hasValue());
    EXPECT_EQ(player().outputDeviceUIDs, (std::vector<std::string>{"headphones", "hdmi"}));

    // A chosen device that is no longer listed can still be dropped.
    AppAudioState withGone = player();
    withGone.outputDeviceUIDs.push_back("unplugged");
    world.manager().setAppState(withGone);
    EXPECT_TRUE(control.removeOutputDevice(kPlayer, "unplugged").hasValue());
    EXPECT_FALSE(control.addOutputDevice(kPlayer, "unplugged").hasValue());

    ASSERT_TRUE(control.setIgnored(kPlayer, "on").hasValue());
    const QByteArray saved = fileBytes(world.statesPath());
    const auto refused = control.addOutputDevice(kPlayer, "speakers");
    ASSERT_FALSE(refused.hasValue());
    EXPECT_EQ(refused.error().kind, RemoteError::Kind::refused);
    EXPECT_NE(refused.error().message.find(kPlayer), std::string::npos);
    EXPECT_FALSE(control.setOutputDevices(kPlayer, {}).hasValue());
    EXPECT_EQ(fileBytes(world.statesPath()), saved);
}

TEST_F(RemoteControlOperations, BandsOutsideTheEqualizerAreRefused) {
    ASSERT_TRUE(control.setOutputDevices(kPlayer, {"headphones"}).hasValue());
    ASSERT_TRUE(control.setEQBand(kPlayer, "9", "30").hasValue());
    EXPECT_EQ(world.manager().getEQBands(kPlayer)[9], 24.0f);
    for (const char* band : {"-1", "1.5"}) {
        EXPECT_FALSE(control.setEQBand(kPlayer, band, "3").hasValue()) << band;
    }
    EXPECT_EQ(world.manager().getEQBands(kPlayer)[0], 0.0f);
}

TEST_F(RemoteControlOperations, ProfilesResolveByIDThenExactNameThenNameInAnyCase) {
    const auto work = control.saveProfile("Work", "");
    const auto workShouting = control.saveProfile("WORK", "mic");
    const auto night = control.saveProfile("Night", "film");
    ASSERT_TRUE(work.hasValue() && workShouting.hasValue() && night.hasValue());
    EXPECT_EQ(world.manager().profileManager().profiles()[0].icon, "music.note");

    ASSERT_TRUE(control.applyProfile("WORK").hasValue());
    EXPECT_EQ(uuidString(*world.manager().profileManager().activeProfileID()), *workShouting);
    ASSERT_TRUE(control.applyProfile("night").hasValue());
    EXPECT_EQ(uuidString(*world.manager().profileManager().activeProfileID()), *night);
    const auto ambiguous = control.applyProfile("work");
    ASSERT_FALSE(ambiguous.hasValue());
    EXPECT_NE(ambiguous.error().message.find("ambiguous"), std::string::npos);
    ASSERT_TRUE(control.deleteProfile(*work).hasValue());
    ASSERT_TRUE(control.deleteProfile("work").hasValue());
    EXPECT_EQ(world.manager().profileManager().profiles().size(), 1u);

    EXPECT_FALSE(control.saveProfile("", "").hasValue());
    EXPECT_FALSE(control.saveProfile("Car", "rocket").hasValue());
    EXPECT_FALSE(control.deleteProfile("00000000-0000-0000-0000-0000000000AA").hasValue());
}

TEST_F(RemoteControlOperations, AChoiceWithRoutesThatAreNotActiveIsStoredAndSaysWhichAndWhy) {
    world.hardware().failOperation(hal::SimulatedOperation::createProcessTap, -1);
    const auto failed = control.setOutputDevices(kPlayer, {"headphones"});
    ASSERT_FALSE(failed.hasValue());
    EXPECT_EQ(failed.error().kind, RemoteError::Kind::routeNotActive);
    EXPECT_EQ(failed.error().message,
              "Route for org.example.Player|headphones: Failed to create audio tap: -1");
    EXPECT_EQ(player().outputDeviceUIDs, std::vector<std::string>{"headphones"});

    // The player just quit: its route waits for it.
    world.hardware().clearFailures();
    world.hardware().removeProcess(world.hardware().processID(kPlayer));
    world.hardware().removeProcess(world.hardware().processID("org.example.Player.helper"));
    const auto waiting = control.addOutputDevice(kPlayer, "hdmi");
    ASSERT_FALSE(waiting.hasValue());
    EXPECT_NE(waiting.error().message.find(
                  "Route for org.example.Player|hdmi: Audio process not found: org.example.Player"),
              std::string::npos)
        << waiting.error().message;
    EXPECT_TRUE(control.setOutputDevices(kPlayer, {}).hasValue()) << "System Default needs none";
}

TEST_F(RemoteControlOperations, ASettingOnTheDefaultThatCannotActSaysSoAndIsKept) {
    const std::string key = "Route for org.example.Player|" +
                            world.manager().defaultOutputDevice()->uid +
                            ": Failed to create audio tap: -1";
    world.hardware().failOperation(hal::SimulatedOperation::createProcessTap, -1);
    const std::vector<std::function<RemoteResult<void>()>> settings{
        [&] { return control.setVolume(kPlayer, "0.5"); },
        [&] { return control.setBoost(kPlayer, "2"); },
        [&] { return control.setEQPreset(kPlayer, "Bass Boost"); },
        [&] { return control.setEQBand(kPlayer, "0", "3"); },
        [&] { return control.setMute(kPlayer, "on"); },
    };
    for (std::size_t i = 0; i < settings.size(); ++i) {
        SCOPED_TRACE(i);
        const auto result = settings[i]();
        ASSERT_FALSE(result.hasValue());
        EXPECT_EQ(result.error().kind, RemoteError::Kind::routeNotActive);
        EXPECT_EQ(result.error().message.rfind(key, 0), 0u) << result.error().message;
    }
    EXPECT_TRUE(player().isMuted);
    EXPECT_EQ(world.manager().routeProblems(kPlayer).size(), 1u);

    world.hardware().clearFailures();
    EXPECT_TRUE(control.setMute(kPlayer, "off").hasValue());
    EXPECT_TRUE(world.manager().routeProblems(kPlayer).empty());
}

TEST_F(RemoteControlOperations, StatusNamesRoutesStatesEnginesAndAbsentValuesAsNull) {
    world.manager().setShowOnlyLive(true);
    ASSERT_TRUE(control.setOutputDevices(kPlayer, {"headphones"}).hasValue());
    world.hardware().failOperation(hal::SimulatedOperation::createIOProcID, -1);
    EXPECT_FALSE(control.addOutputDevice(kPlayer, "hdmi").hasValue());
    const json status = statusJson(world.manager());

    ASSERT_EQ(status["routes"].size(), 4u);
    std::map<std::string, bool> engines;
    std::map<std::string, std::string> states;
    for (const json& route : status["routes"]) {
        engines[route["key"]] = route["engine"];
        states[route["key"]] = route["state"];
        EXPECT_EQ(route["appID"], kPlayer);
    }
    EXPECT_TRUE(engines.at("org.example.Player|headphones"));
    EXPECT_TRUE(engines.at("org.example.Player.helper|headphones"));
    EXPECT_FALSE(engines.at("org.example.Player|hdmi"));
    EXPECT_EQ(states.at("org.example.Player|headphones"), "active");
    EXPECT_EQ(states.at("org.example.Player|hdmi").rfind("failed: Audio config failed", 0), 0u)
        << states.at("org.example.Player|hdmi");
    EXPECT_EQ(status["filteredApps"], json({"org.example.Other", kPlayer}));
    EXPECT_EQ(status["showOnlyLive"], true);
    for (const json& app : status["apps"]) {
        if (app["id"] == "org.example.Quiet") {
            EXPECT_EQ(app["live"], false);
            EXPECT_TRUE(app["level"].is_null());
        }
    }
}

TEST(ControlCommands, ShapesAreCheckedAndDefaultsFilledIn) {
    const auto route = parseControlCommand({"route", kPlayer});
    ASSERT_TRUE(route.hasValue());
    EXPECT_EQ(route->method, "SetOutputDevices");
    EXPECT_EQ(route->arguments.at(1).toStringList(), QStringList());
    const auto pin = parseControlCommand({"pin", kPlayer});
    ASSERT_TRUE(pin.hasValue());
    EXPECT_EQ(pin->arguments.at(1).toString(), "toggle");
    const auto save = parseControlCommand({"profile", "save", "Work"});
    ASSERT_TRUE(save.hasValue());
    EXPECT_EQ(save->arguments, (QVariantList{"Work", QString()}));
    const auto level = parseControlCommand({"simulated-level", "speakers"});
    ASSERT_TRUE(level.hasValue());
    EXPECT_EQ(level->objectPath, remote::kSimulationObjectPath);
    EXPECT_EQ(level->arguments.at(1).toUInt(), 4800u);

    // The instance runs in another folder: a relative file is the caller's.
    const auto screenshot = parseControlCommand({"screenshot", "shot.png"});
    ASSERT_TRUE(screenshot.hasValue());
    EXPECT_EQ(screenshot->arguments, QVariantList{QDir::current().absoluteFilePath("shot.png")});
    const auto apps = parseControlCommand({"list", "apps"});
    ASSERT_TRUE(apps.hasValue());
    EXPECT_EQ(apps->method, "Status");
    EXPECT_EQ(apps->output, ControlCommand::Output::appLines);

    for (const QStringList& bad :
         {QStringList{}, QStringList{"profile", "rename", "x"}, QStringList{"volume", kPlayer},
          QStringList{"list"}, QStringList{"list", "profiles"}, QStringList{"screenshot"},
          QStringList{"mute", kPlayer, "on", "now"}, QStringList{"status", "all"},
          QStringList{"simulated-level", "speakers", "-5"}}) {
        EXPECT_FALSE(parseControlCommand(bad).hasValue()) << bad.join(' ').toStdString();
    }
}

TEST(ControlCommands, TheManualPageDescribesEveryCommand) {
    QFile page(qEnvironmentVariable("KESTRELAMP_SOURCE_DIR") + "/packaging/kestrelamp.1");
    ASSERT_TRUE(page.open(QIODevice::ReadOnly)) << page.fileName().toStdString();
    const QString troff = QString::fromUtf8(page.readAll()).replace("\\-", "-");
    for (const QString& command : controlCommandNames()) {
        // Each under a tag line of its own: ".B status", ".BI route ...", ".BI "profile save" ...".
        const QRegularExpression tag("^\\.BI? \"?" + QRegularExpression::escape(command) + "\\b",
                                     QRegularExpression::MultilineOption);
        EXPECT_TRUE(tag.match(troff).hasMatch()) << command.toStdString();
    }
}

} // namespace
} // namespace kestrelamp::test
