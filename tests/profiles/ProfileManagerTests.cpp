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
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
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

// The default output, the call mix and the recording marker are optional keys: profiles written
// before them read without, and one written now keeps every field (the system default input by
// name).
TEST_F(ProfileManagerTest, RoundTripKeepsOrderRoutesAndTheOptionalKeys) {
    {
        ProfileManager manager(folder());
        AudioProfile calls = makeProfile("Calls");
        calls.defaultOutputUID = "speakers";
        AppAudioState state;
        state.id = "org.example.Player";
        state.outputDeviceUIDs = {"speakers"};
        calls.routes = {state};
        calls.callMix = hal::CallMixSettings{true, std::string(), 0.5f, false};
        calls.carriesRecordings = true;
        AudioProfile mic = makeProfile("Mic");
        mic.callMix = hal::CallMixSettings{true, "usb-mic", 1.0f, true};
        manager.setProfiles({calls, mic, makeProfile("Music")});
        manager.saveProfiles();
    }
    const json written = readFile();
    EXPECT_EQ(written[0]["callMix"]["microphone"], "default");
    for (const char* key : {"defaultOutputUID", "callMix", "recordingChoices"}) {
        EXPECT_FALSE(written[2].contains(key)) << key;
    }

    ProfileManager reloaded(folder());
    ASSERT_EQ(reloaded.profiles().size(), 3u);
    const AudioProfile& calls = reloaded.profiles()[0];
    EXPECT_EQ(calls.name, "Calls");
    EXPECT_EQ(calls.routes.at(0).outputDeviceUIDs, std::vector<std::string>{"speakers"});
    EXPECT_EQ(calls.defaultOutputUID, "speakers");
    EXPECT_EQ(calls.callMix, (hal::CallMixSettings{true, std::string(), 0.5f, false}));
    EXPECT_TRUE(calls.carriesRecordings);
    EXPECT_EQ(reloaded.profiles()[1].callMix, (hal::CallMixSettings{true, "usb-mic", 1.0f, true}));
    const AudioProfile& music = reloaded.profiles()[2];
    EXPECT_FALSE(music.defaultOutputUID || music.callMix || music.carriesRecordings);

    writeFile(R"([{"id":"00000000-0000-0000-0000-0000000000AA","name":"A","icon":"mic",)"
              R"("routes":[],"defaultOutputUID":null}])");
    ProfileManager nulls(folder());
    ASSERT_EQ(nulls.profiles().size(), 1u);
    EXPECT_FALSE(nulls.profiles()[0].defaultOutputUID.has_value());
}

// Any field that is not what it should be, the call mix's too, makes the whole file unreadable.
TEST_F(ProfileManagerTest, UnreadableFileLoadsNothingAndIsSetAsideBeforeTheNextSave) {
    const std::pair<std::string, const char*> cases[] = {
        {R"([{"id":"00000000-0000-0000-0000-0000000000AA","name":"No icon","routes":[]}])",
         "key \"icon\" is missing"},
        {R"([{"id":"00000000-0000-0000-0000-0000000000AA","name":"A","icon":"mic","routes":[],)"
         R"("callMix":{"on":"yes"}}])",
         "key \"on\" is not"},
    };
    for (const auto& [broken, named] : cases) {
        SCOPED_TRACE(broken);
        for (const QString& aside : QDir(folder()).entryList({"profiles.json.*"})) {
            QFile::remove(folder() + "/" + aside);
        }
        writeFile(broken);
        const std::string output = test::captureStdout([&] {
            ProfileManager manager(folder());
            EXPECT_TRUE(manager.profiles().empty());
            manager.setProfiles({makeProfile("New")});
            manager.saveProfiles();
        });
        EXPECT_EQ(output.rfind("Failed to load profiles: ", 0), 0u) << output;
        EXPECT_NE(output.find(named), std::string::npos) << output;
        EXPECT_EQ(readFile().size(), 1u);
        const QStringList aside = QDir(folder()).entryList({"profiles.json.unreadable-*"});
        ASSERT_EQ(aside.size(), 1);
        QFile kept(folder() + "/" + aside[0]);
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll().toStdString(), broken);
    }
}

TEST_F(ProfileManagerTest, UpdateReplacesInPlaceAndIgnoresUnknownIds) {
    ProfileManager manager(folder());
    AudioProfile first = makeProfile("First");
    manager.setProfiles({first, makeProfile("Second")});

    manager.updateProfile(makeProfile("Stranger"));
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
