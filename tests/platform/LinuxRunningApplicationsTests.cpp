#include "platform/DesktopEntry.h"
#include "platform/LinuxRunningApplications.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>
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
}

TEST(DesktopEntry, LocaleVariantsGoFromMostToLeastSpecific) {
    EXPECT_EQ(localeVariants("sr_RS.UTF-8@latin"),
              (std::vector<std::string>{"sr_RS@latin", "sr_RS", "sr@latin", "sr"}));
    EXPECT_TRUE(localeVariants("C.UTF-8").empty());
}

class DesktopFiles : public ::testing::Test {
protected:
    void write(const QString& dir, const QString& id, const QString& contents) {
        QDir().mkpath(dir);
        QFile file(dir + "/" + id + ".desktop");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(contents.toUtf8());
    }
    std::vector<std::string> dirs() const {
        return {(root_.path() + "/home").toStdString(), (root_.path() + "/system").toStdString()};
    }
    QString home() const { return root_.path() + "/home"; }
    QString system() const { return root_.path() + "/system"; }

    QTemporaryDir root_;
};

TEST_F(DesktopFiles, TheFirstDirectoryWithAReadableEntryWinsAndPathsAreRefused) {
    write(system(), "org.example.Player", "[Desktop Entry]\nName=System Player\n");
    EXPECT_EQ(findDesktopEntry("org.example.Player", dirs())->name, "System Player");
    write(home(), "org.example.Player", "[Desktop Entry]\nName=My Player\n");
    EXPECT_EQ(findDesktopEntry("org.example.Player", dirs())->name, "My Player");
    // A broken entry in the first directory does not hide a good one further on.
    write(home(), "org.example.Broken", "[Desktop Entry]\nType=Application\n");
    write(system(), "org.example.Broken", "[Desktop Entry]\nName=Fixed\n");
    EXPECT_EQ(findDesktopEntry("org.example.Broken", dirs())->name, "Fixed");

    write(root_.path(), "escape", "[Desktop Entry]\nName=Outside\n");
    EXPECT_FALSE(findDesktopEntry("../escape", dirs()));
    EXPECT_FALSE(findDesktopEntry("org.example.Missing", dirs()));
}

class FixedClients : public AudioClientDirectory {
public:
    std::vector<AudioClient> clients;
    std::vector<AudioClient> audioClients() const override { return clients; }
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
        {"org.example.Gone", endedProcess(), {{"application.name", "Gone"}}},
        {"org.example.Player", self, {{"application.name", "pw-play"}, {"media.icon-name", "m"}}},
        {"org.example.Bare",
         self,
         {{"application.name", "Bare"}, {"window.icon-name", "w"}, {"media.icon-name", "m"}}},
        {"org.example.Iconic", self, {{"application.icon-name", "a"}, {"media.icon-name", "m"}}},
    };
    write(system(), "org.example.Player", "[Desktop Entry]\nName=Player\nIcon=player-icon\n");
    write(system(), "org.example.Iconic", "[Desktop Entry]\nName=Iconic\n");
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

} // namespace
} // namespace kestrelamp
