#include "profiles/ProfileManager.h"

#include "TempHome.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kestrelamp {
namespace {

using nlohmann::json;

class ProfileManagerTest : public ::testing::Test {
protected:
    QString folder() const { return home.dataFolder(); }
    QString filePath() const { return folder() + "/profiles.json"; }

    void writeFile(const std::string& contents) {
        QDir().mkpath(folder());
        QFile file(filePath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray::fromStdString(contents));
    }

    json readFile() {
        QFile file(filePath());
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return json::parse(file.readAll().toStdString());
    }

    static AudioProfile makeProfile(const std::string& name) {
        AudioProfile profile;
        profile.id = QUuid::createUuid();
        profile.name = name;
        profile.icon = "music.note";
        return profile;
    }

    test::TempHome home;
};

TEST_F(ProfileManagerTest, NoFileMeansNoProfilesAndNothingWritten) {
    ProfileManager manager(folder());
    EXPECT_TRUE(manager.profiles().empty());
    EXPECT_FALSE(QFile::exists(filePath()));
    EXPECT_TRUE(QDir(folder()).exists());
}

TEST_F(ProfileManagerTest, RoundTripKeepsOrderAndOptionalDefaultOutput) {
    {
        ProfileManager manager(folder());
        AudioProfile withDefault = makeProfile("Music");
        withDefault.defaultOutputUID = "speakers";
        AppAudioState state;
        state.id = "org.example.Player";
        state.displayName = "Player";
        state.outputDeviceUIDs = {"speakers"};
        withDefault.routes = {state};
        manager.setProfiles({withDefault, makeProfile("Calls")});
        manager.saveProfiles();
    }
    const json written = readFile();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_FALSE(written[1].contains("defaultOutputUID"));

    ProfileManager reloaded(folder());
    ASSERT_EQ(reloaded.profiles().size(), 2u);
    EXPECT_EQ(reloaded.profiles()[0].name, "Music");
    EXPECT_EQ(reloaded.profiles()[0].routes.at(0).outputDeviceUIDs,
              std::vector<std::string>{"speakers"});
    EXPECT_FALSE(reloaded.profiles()[1].defaultOutputUID.has_value());
}

// The call mix and the recording marker are optional keys: profiles written before them read
// without, and one written now keeps every field (the system default input by name), beside what
// older releases read.
TEST_F(ProfileManagerTest, TheCallMixIsKeptAndOlderProfilesHaveNone) {
    {
        ProfileManager manager(folder());
        AudioProfile calls = makeProfile("Calls");
        hal::CallMixSettings callMix;
        callMix.on = true;
        callMix.microphoneUID = std::string();
        callMix.microphoneVolume = 0.5f;
        calls.callMix = callMix;
        calls.carriesRecordings = true;
        AudioProfile mic = makeProfile("Mic");
        callMix.microphoneUID = "usb-mic";
        callMix.microphoneMuted = true;
        mic.callMix = callMix;
        manager.setProfiles({calls, mic, makeProfile("Music")});
        manager.saveProfiles();
    }
    const json written = readFile();
    EXPECT_EQ(written[0]["callMix"]["microphone"], "default");
    EXPECT_FALSE(written[2].contains("callMix"));
    EXPECT_EQ(written[0]["recordingChoices"], true);
    EXPECT_FALSE(written[2].contains("recordingChoices"));
    ProfileManager reloaded(folder());
    ASSERT_EQ(reloaded.profiles().size(), 3u);
    const auto& first = reloaded.profiles()[0].callMix;
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->on);
    EXPECT_EQ(first->microphoneUID, std::string());
    EXPECT_EQ(first->microphoneVolume, 0.5f);
    EXPECT_EQ(reloaded.profiles()[1].callMix->microphoneUID, "usb-mic");
    EXPECT_TRUE(reloaded.profiles()[1].callMix->microphoneMuted);
    EXPECT_FALSE(reloaded.profiles()[2].callMix);
    EXPECT_TRUE(reloaded.profiles()[0].carriesRecordings);
    EXPECT_FALSE(reloaded.profiles()[2].carriesRecordings);

    // A call mix that is not what it should be is an unreadable file, as any other field.
    writeFile(
        R"([{"id":"00000000-0000-0000-0000-0000000000AA","name":"A","icon":"mic","routes":[],"callMix":{"on":"yes"}}])");
    EXPECT_TRUE(ProfileManager(folder()).profiles().empty());
}

TEST_F(ProfileManagerTest, NullDefaultOutputReadsAsAbsent) {
    writeFile(
        R"([{"id":"00000000-0000-0000-0000-0000000000AA","name":"A","icon":"mic","routes":[],"defaultOutputUID":null}])");
    ProfileManager manager(folder());
    ASSERT_EQ(manager.profiles().size(), 1u);
    EXPECT_FALSE(manager.profiles()[0].defaultOutputUID.has_value());
}

TEST_F(ProfileManagerTest, UnreadableFileLoadsNothingAndIsSetAsideBeforeTheNextSave) {
    const std::string broken =
        R"([{"id":"00000000-0000-0000-0000-0000000000AA","name":"No icon","routes":[]}])";
    writeFile(broken);
    testing::internal::CaptureStdout();
    ProfileManager manager(folder());
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(output.rfind("Failed to load profiles: ", 0), 0u) << output;
    EXPECT_NE(output.find("icon"), std::string::npos);
    EXPECT_TRUE(manager.profiles().empty());

    manager.setProfiles({makeProfile("New")});
    manager.saveProfiles();
    EXPECT_EQ(readFile().size(), 1u);
    const QStringList aside = QDir(folder()).entryList({"profiles.json.unreadable-*"}, QDir::Files);
    ASSERT_EQ(aside.size(), 1);
    QFile kept(folder() + "/" + aside[0]);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll().toStdString(), broken);
}

TEST_F(ProfileManagerTest, UpdateReplacesInPlaceAndIgnoresUnknownIds) {
    ProfileManager manager(folder());
    AudioProfile first = makeProfile("First");
    AudioProfile second = makeProfile("Second");
    manager.setProfiles({first, second});

    AudioProfile stranger = makeProfile("Stranger");
    manager.updateProfile(stranger);
    EXPECT_FALSE(QFile::exists(filePath()));

    first.name = "Renamed";
    manager.updateProfile(first);
    ASSERT_EQ(manager.profiles().size(), 2u);
    EXPECT_EQ(manager.profiles()[0].name, "Renamed");
    EXPECT_EQ(readFile()[0]["name"], "Renamed");
}

TEST_F(ProfileManagerTest, DeleteClearsOnlyTheActiveProfileAndAlwaysSaves) {
    ProfileManager manager(folder());
    AudioProfile a = makeProfile("A");
    AudioProfile b = makeProfile("B");
    manager.setProfiles({a, b});
    manager.setActiveProfileID(a.id);
    QSignalSpy activeChanged(&manager, &ProfileManager::activeProfileIDChanged);

    manager.deleteProfile(b.id);
    EXPECT_EQ(manager.activeProfileID(), a.id);
    EXPECT_EQ(activeChanged.count(), 0);

    manager.deleteProfile(a.id);
    EXPECT_FALSE(manager.activeProfileID().has_value());
    EXPECT_EQ(activeChanged.count(), 1);
    EXPECT_TRUE(readFile().empty());
}

} // namespace
} // namespace kestrelamp
