#include "platform/DesktopEntry.h"
#include "platform/DesktopEntryIndex.h"
#include "platform/LinuxRunningApplications.h"

#include "TempHome.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrelamp {
namespace {

TEST(DesktopEntry, ReadsNameAndIconOfTheMainGroupWithLocalizedNames) {
    const char* text = "# comment\n"
                       "[Desktop Action new]\n"
                       "Name=Not this one\n"
                       "[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name = Tone\\sPlayer \n"
                       "Name[de]=Tonspieler\n"
                       "Name[de_CH]=Tonspieler (CH)\n"
                       "Name=Second name ignored\n"
                       "Icon=tone-player\n"
                       "[Other Group]\n"
                       "Icon=not-this\n";
    auto entry = parseDesktopEntry(text, {});
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->name, "Tone Player");
    EXPECT_EQ(entry->icon, "tone-player");
    EXPECT_EQ(parseDesktopEntry(text, localeVariants("de_AT.UTF-8"))->name, "Tonspieler");
    EXPECT_EQ(parseDesktopEntry(text, localeVariants("de_CH.UTF-8"))->name, "Tonspieler (CH)");

    EXPECT_FALSE(parseDesktopEntry("[Desktop Entry]\nName=X\nHidden=true\n", {}));
    EXPECT_FALSE(parseDesktopEntry("[Desktop Entry]\nIcon=x\n", {}));
    EXPECT_FALSE(parseDesktopEntry("Name=outside any group\n", {}));
    const auto noIcon = parseDesktopEntry("[Desktop Entry]\r\nName=Windows lines\r\nIcon=\r\n", {});
    ASSERT_TRUE(noIcon);
    EXPECT_EQ(noIcon->name, "Windows lines");
    EXPECT_FALSE(noIcon->icon);
    // Bytes that are not UTF-8 are made valid, in localized names and icons too.
    const auto latin1 = parseDesktopEntry(
        "[Desktop Entry]\nName=Caf\xE9 Radio\nName[de]=Caf\xC3\xA9\xFF\nIcon=caf\xE9\n", {"de"});
    ASSERT_TRUE(latin1);
    EXPECT_EQ(latin1->name, "Caf\u00E9\uFFFD");
    EXPECT_EQ(latin1->icon, "caf\uFFFD");
}

class DesktopFiles : public ::testing::Test {
protected:
    // The path of the entry with that id in the folder, whose contents are written when given.
    std::string entry(const QString& dir, const QString& id, const std::string& contents = {}) {
        const QString path = dir + "/" + id + ".desktop";
        QDir().mkpath(dir);
        EXPECT_TRUE(contents.empty() || test::writeFile(path, contents));
        return path.toStdString();
    }
    std::vector<std::string> dirs() const { return {home().toStdString(), system().toStdString()}; }
    QString home() const { return root_.path() + "/home"; }
    QString system() const { return root_.path() + "/system"; }

    QTemporaryDir root_;
};

// A FIFO would block the start, /dev/zero would be read until memory runs out: such entries are
// passed over like unreadable ones, and so is one too large to be real.
TEST_F(DesktopFiles, OnlyRegularFilesOfSaneSizeAreRead) {
    ASSERT_EQ(::mkfifo(entry(home(), "org.example.Fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", entry(home(), "org.example.Zero").c_str()), 0);
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(entry(home(), "org.example.Folder"))));
    const std::string large(maximumDesktopEntryBytes, 'x');
    entry(home(), "org.example.Large", "[Desktop Entry]\nName=Large\n#" + large + "\n");
    entry(home(), "org.example.Fits", "[Desktop Entry]\nName=Fits\n#" + large.substr(64) + "\n");
    const char* const unread[] = {"org.example.Fifo", "org.example.Zero", "org.example.Folder",
                                  "org.example.Large"};
    for (const char* id : unread) {
        entry(system(), id, "[Desktop Entry]\nName=Further on\n");
    }
    // Only names ending in ".desktop" are entries, an editor's backup being none.
    EXPECT_TRUE(
        test::writeFile(home() + "/org.example.Backup.desktop~", "[Desktop Entry]\nName=B\n"));
    EXPECT_TRUE(test::writeFile(home() + "/org.example.Notes", "[Desktop Entry]\nName=Notes\n"));
    entry(home(), "org.example.Shouting", "[Desktop Entry]\nName=Shouting\n");
    QFile::rename(home() + "/org.example.Shouting.desktop",
                  home() + "/org.example.Shouting.DESKTOP");
    const DesktopEntryIndex index = DesktopEntryIndex::load(dirs());
    for (const char* id : unread) {
        ASSERT_NE(index.withID(id), nullptr) << id;
        EXPECT_EQ(index.withID(id)->name, "Further on") << id;
    }
    EXPECT_EQ(index.withID("org.example.Fits")->name, "Fits");
    EXPECT_EQ(index.withID("org.example.Backup"), nullptr);
    EXPECT_EQ(index.withID("org.example.Backup.desktop~"), nullptr);
    EXPECT_EQ(index.withID("org.example.Notes"), nullptr);
    ASSERT_NE(index.withID("org.example.Shouting"), nullptr);
    EXPECT_EQ(index.withID("org.example.Shouting")->name, "Shouting");
}

// A client announcing these properties, keyed as given.
AudioClient announcing(const std::string& bundleID, int pid, const ClientProperties& properties) {
    AudioClient client{bundleID, pid, properties, identifyApplication(properties, {})};
    client.identity.key = bundleID;
    return client;
}

class FixedClients : public AudioClientDirectory {
public:
    std::vector<AudioClient> clients;
    std::vector<AudioClient> audioClients(const std::string&) const override { return clients; }
};

// The id of a process that has ended.
int endedProcess() {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    return child;
}

TEST_F(DesktopFiles, RunningApplicationsTakeTheDesktopEntryElseWhatTheClientAnnounced) {
    FixedClients clients;
    const int self = int(::getpid());
    clients.clients = {
        announcing("org.example.Gone", endedProcess(), {{"application.name", "Gone"}}),
        announcing("org.example.Player", self,
                   {{"application.name", "pw-play"}, {"media.icon-name", "m"}}),
        announcing(
            "org.example.Bare", self,
            {{"application.name", "Bare"}, {"window.icon-name", "w"}, {"media.icon-name", "m"}}),
        announcing("org.example.Iconic", self,
                   {{"application.icon-name", "a"}, {"media.icon-name", "m"}}),
    };
    entry(system(), "org.example.Player", "[Desktop Entry]\nName=Player\nIcon=player-icon\n");
    entry(system(), "org.example.Iconic", "[Desktop Entry]\nName=Iconic\n");
    LinuxRunningApplications running(clients, dirs());

    const auto player = running.firstRunningApplication("org.example.Player");
    ASSERT_TRUE(player);
    EXPECT_EQ(player->localizedName, "Player");
    EXPECT_EQ(player->icon, "player-icon");

    const auto bare = running.firstRunningApplication("org.example.Bare");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->localizedName, "Bare");
    EXPECT_EQ(bare->icon, "m") << "media.icon-name comes before window.icon-name";

    const auto iconic = running.firstRunningApplication("org.example.Iconic");
    ASSERT_TRUE(iconic);
    EXPECT_EQ(iconic->icon, "a") << "an entry without an icon falls back to the client's";

    EXPECT_FALSE(running.firstRunningApplication("org.example.Gone"));
    EXPECT_FALSE(running.firstRunningApplication("org.example.Unknown"));
}

TEST_F(DesktopFiles, TheIndexReadsEveryEntryOnceWithTheFirstDirectoryWinning) {
    entry(home(), "org.example.Player", "[Desktop Entry]\nName=My Player\nExec=player %U\n");
    entry(system(), "org.example.Player", "[Desktop Entry]\nName=System Player\n");
    entry(home(), "org.example.Broken", "[Desktop Entry]\nType=Application\n");
    entry(system(), "org.example.Broken", "[Desktop Entry]\nName=Fixed\n");
    const DesktopEntryIndex index = DesktopEntryIndex::load(dirs());
    ASSERT_EQ(index.entries().size(), 2u);
    EXPECT_EQ(index.withID("org.example.Player")->name, "My Player");
    EXPECT_EQ(index.forExecutable("player")->id, "org.example.Player");
    EXPECT_EQ(index.withID("org.example.Broken")->name, "Fixed");
}

TEST_F(DesktopFiles, AnEntryInstalledWhileTheProgramRunsNamesItsApplication) {
    FixedClients clients;
    const ClientProperties slack{{"application.process.binary", "slack"},
                                 {"application.name", "Chromium"}};
    clients.clients = {announcing("slack", int(::getpid()), slack)};
    entry(system(), "vim", "[Desktop Entry]\nName=Vim\n");
    LinuxRunningApplications running(clients, dirs());
    EXPECT_EQ(running.firstRunningApplication("slack")->localizedName, "Slack");

    entry(system(), "com.slack.Slack",
          "[Desktop Entry]\nName=Slack Desktop\nExec=/usr/bin/slack %U\nIcon=com.slack.Slack\n");
    // Both writes may fall within one tick of the file system's clock.
    const std::filesystem::path folder = system().toStdString();
    std::filesystem::last_write_time(folder, std::filesystem::last_write_time(folder) +
                                                 std::chrono::seconds(1));
    const auto installed = running.firstRunningApplication("slack");
    ASSERT_TRUE(installed);
    EXPECT_EQ(installed->localizedName, "Slack Desktop");
    EXPECT_EQ(installed->icon, "com.slack.Slack");
}

} // namespace
} // namespace kestrelamp
