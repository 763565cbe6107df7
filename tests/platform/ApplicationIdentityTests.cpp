#include "platform/ApplicationIdentity.h"
#include "platform/ApplicationNames.h"
#include "platform/ProcessCommandLine.h"

#include "TempHome.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <csignal>
#include <cstdlib>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrelamp {
namespace {

const std::string kBinary = "application.process.binary";
const std::string kName = "application.name";

// The command lines the rules are asked for when the properties do not tell.
HostedProgramLookup commandLine(std::vector<std::string> arguments) {
    return [arguments](std::string_view host) { return programRunBy(host, arguments); };
}

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string word; stream >> word;) {
        result.push_back(word);
    }
    return result;
}

std::string keyOf(const ClientProperties& client, const ClientProperties& stream = {},
                  const HostedProgramLookup& lookup = {}) {
    return identifyApplication(client, stream, lookup).key;
}

TEST(ApplicationIdentity, KeysThatInvolveNoHostStayWhatTheyWere) {
    const ClientProperties client{{"pipewire.access.portal.app_id", "org.example.Sandboxed"},
                                  {"application.id", "client.id"},
                                  {kBinary, "player"},
                                  {kName, "Player"}};
    const ClientProperties stream{{"application.id", "stream.id"}};
    EXPECT_EQ(keyOf(client, stream), "org.example.Sandboxed");
    ClientProperties plain = client;
    plain.erase("pipewire.access.portal.app_id");
    EXPECT_EQ(keyOf(plain, stream), "client.id");
    plain.erase("application.id");
    EXPECT_EQ(keyOf(plain, stream), "stream.id");
    EXPECT_EQ(keyOf(plain), "player");
    plain.erase("application.process.binary");
    EXPECT_EQ(keyOf(plain), "Player");
    EXPECT_EQ(keyOf({}, {{kName, "Tone A"}}), "Tone A");
    EXPECT_EQ(keyOf({{"application.id", ""}}, {{kName, "N"}}), "N");
    EXPECT_EQ(keyOf({}, {}), "");
    // An engine's name does not matter where the binary is the program's own.
    EXPECT_EQ(keyOf({{kBinary, "slack"}, {kName, "Chromium"}}), "slack");
    EXPECT_EQ(keyOf({{kBinary, "aplay"}, {kName, "PipeWire ALSA [aplay]"}}), "aplay");
    // A program under a host that tells nothing else keeps the host's key, and one with an id
    // keeps the id: the command line is not even asked.
    const HostedProgramLookup unexpected = [](std::string_view) {
        ADD_FAILURE() << "command line read";
        return std::string();
    };
    EXPECT_EQ(keyOf({{kBinary, "python3"}, {kName, "python3"}}, {},
                    commandLine({"python3", "-c", "print(1)"})),
              "python3");
    EXPECT_EQ(keyOf({{kBinary, "java"}, {"application.id", "org.example.J"}}, {}, unexpected),
              "org.example.J");
}

// Wine games, Python and Electron programs as a whole are on the simulated service; here what
// tells a host's programs apart, and what does not.
TEST(ApplicationIdentity, UnderAHostTheProgramsOwnNameDecidesElseItsCommandLine) {
    const HostedProgramLookup unread = [](std::string_view) { return std::string(); };
    EXPECT_EQ(keyOf({{kBinary, "wine"}}, {{kName, "Hades"}}, unread), "Hades");
    const ApplicationIdentity signal =
        identifyApplication({{kBinary, "electron25"}, {kName, "Chromium"}}, {},
                            commandLine({"electron", "/usr/lib/signal/resources/app.asar"}));
    EXPECT_EQ(signal.key, "signal");
    EXPECT_EQ(signal.executable, "signal");
    EXPECT_EQ(signal.host, "electron25");
    // Only the host's own name decides nothing, nor does a wrapped one.
    EXPECT_EQ(keyOf({{kBinary, "java"}, {kName, "PipeWire ALSA [java]"}}, {},
                    commandLine({"java", "-Xmx2g", "-jar", "/opt/mc/Launcher.jar"})),
              "Launcher");

    for (const std::string& host : words("wine64 wine64-preloader python3.11 /usr/bin/python2.7 "
                                         "nodejs perl5.36 ruby3.1 mono-sgen dotnet electron25 "
                                         "qemu-system-aarch64 java dash fish")) {
        EXPECT_TRUE(isProgramHost(host)) << host;
    }
    for (const std::string& program : words("mpv chromium slack node-red pythonista "
                                            "bash-language-server gst-launch-1.0")) {
        EXPECT_FALSE(isProgramHost(program)) << program;
    }
    EXPECT_FALSE(isProgramHost(""));
    EXPECT_TRUE(namesOnlyTheHost("wine", "wine64-preloader"));
    EXPECT_FALSE(namesOnlyTheHost("python3", "mpv"));
    EXPECT_FALSE(isEngineName("Chromium", "chromium"));
}

TEST(ApplicationIdentity, TheProgramAHostRunsComesFromItsCommandLine) {
    // Host, the command line split at spaces, and the program it names.
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"python3", "python3 /usr/bin/foo.py", "foo"},
        {"python3", "python3 -W ignore -X dev tool.py --verbose", "tool"},
        {"python3", "python3 -Wignore -mhttp.server", "http.server"},
        {"python3", "python3 /usr/lib/python3/dist-packages/quodlibet/__main__.py", "quodlibet"},
        {"python3", "python3 -Bc pass", ""},
        {"python3", "python3 -", ""},
        {"java", "java -cp lib/* -Dx=1 com.example.Main", "com.example.Main"},
        {"java", "java --module-path mods -m app.player/app.Main", "app.player"},
        {"java", "java /home/me/Pong.java", "Pong"},
        {"node", "node --require ts-node/register player.ts", "player"},
        {"node", "node -e require('x')", ""},
        {"perl", "perl -Mfeature=say -w /usr/bin/jukebox.pl", "jukebox"},
        {"perl", "perl -e exit", ""},
        {"ruby", "ruby -r json -Ilib /srv/jukebox/bin/app.rb", "jukebox"},
        {"mono", "mono --debug /opt/KeePass/KeePass.exe", "KeePass.exe"},
        {"dotnet", "dotnet exec --depsfile a.json /opt/Tool/Tool.App.dll", "Tool.App"},
        {"dotnet", "dotnet run", ""},
        {"electron", "electron --enable-features=X /opt/app/resources/app.asar", "app"},
        {"electron", "electron --type=utility --utility-sub-type=audio.mojom.AudioService", ""},
        {"qemu-system-x86_64", "qemu-system-x86_64 -m 4G -name guest=win10,x=y", "win10"},
        {"qemu-system-x86_64", "qemu-system-x86_64 -m 4G", ""},
        {"bash", "bash -e -o pipefail /usr/local/bin/alarm.sh", "alarm"},
        {"wine64-preloader",
         "/usr/lib/wine/wine64-preloader /usr/lib/wine/wine64 C:\\Games\\VRChat.exe", "VRChat.exe"},
        {"wine", "C:\\windows\\system32\\steam.exe C:\\Games\\Doom\\DOOMx64.EXE -fast",
         "DOOMx64.EXE"},
        {"wine", "C:\\windows\\system32\\explorer.exe /desktop", "explorer.exe"},
        {"mpv", "mpv song.ogg", ""},
    };
    for (const auto& [host, arguments, program] : cases) {
        EXPECT_EQ(programRunBy(host, words(arguments)), program) << host << ": " << arguments;
    }
    // One argument, as a shell's -c or a line that was never split.
    EXPECT_EQ(programRunBy("sh", {"sh", "-ec", "paplay x.wav"}), "");
    EXPECT_EQ(programRunBy("electron", {"/usr/lib/electron/electron --type=renderer --lang=en"}),
              "");
    // A helper takes its program from a parent under the same host only.
    EXPECT_EQ(programOfHelper("electron", {"/usr/lib/electron/electron", "/opt/Notes/app.asar"}),
              "Notes");
    EXPECT_EQ(programOfHelper("python3", {"/usr/bin/python3.11", "worker-pool.py"}), "worker-pool");
    EXPECT_EQ(programOfHelper("python3", {"/usr/bin/gnome-shell", "notes.txt"}), "");
}

TEST(ApplicationNames, TheAnnouncedNameUnlessItIsOnlyTheEnginesOrTheHosts) {
    const auto nameOf = [](const ClientProperties& client, const HostedProgramLookup& lookup = {}) {
        return nameWithoutDesktopEntry(identifyApplication(client, {}, lookup));
    };
    EXPECT_EQ(nameOf({{kBinary, "signal-desktop"}, {kName, "Chromium"}}), "Signal Desktop");
    EXPECT_EQ(nameOf({{kBinary, "chromium"}, {kName, "Chromium"}}), "Chromium");
    EXPECT_EQ(nameOf({{kName, "Chromium"}}), "Chromium") << "nothing better to say";
    EXPECT_EQ(nameOf({{kBinary, "aplay"}, {kName, "PipeWire ALSA [aplay]"}}), "aplay");
    EXPECT_EQ(nameOf({{kBinary, "wine"}, {kName, "wine"}}, commandLine({"C:\\Games\\Hades.exe"})),
              "Hades.exe");
    EXPECT_EQ(nameOf({{kBinary, "python3"}, {kName, "python3"}}), "python3")
        << "a command line that tells nothing leaves the name as it is";
    EXPECT_FALSE(nameOf({{kBinary, "pacat"}}));
    // The stream names what the program plays as, the client only the process.
    const ClientProperties player{{kBinary, "pw-cat"}, {kName, "pw-cat"}};
    EXPECT_EQ(identifyApplication(player, {{kName, "Tone A"}}).applicationName, "Tone A");
    const ClientProperties python{{kBinary, "python3"}, {kName, "python3"}};
    EXPECT_EQ(keyOf(python, {{kName, "Radio"}}), "Radio");
    EXPECT_EQ(keyOf({{kBinary, "python3"}, {kName, "Radio"}}, {{kName, "PipeWire ALSA [python3]"}}),
              "Radio")
        << "under a host, the first name that tells";
}

DesktopEntry entry(const std::string& id, const std::string& name, const std::string& executable,
                   const std::string& windowClass = {}, bool noDisplay = false) {
    DesktopEntry entry;
    entry.id = id;
    entry.name = name;
    entry.executable = executable;
    entry.startupWMClass = windowClass;
    entry.noDisplay = noDisplay;
    return entry;
}

AudioClient client(const ClientProperties& properties, const HostedProgramLookup& lookup = {}) {
    AudioClient client;
    client.identity = identifyApplication(properties, {}, lookup);
    client.bundleID = client.identity.key;
    client.properties = properties;
    return client;
}

TEST(ApplicationNames, DesktopEntriesMatchByIdThenExecutableThenWindowClass) {
    const DesktopEntryIndex entries({
        entry("org.example.Player", "Player", "player-launcher"),
        entry("com.slack.Slack.handler", "Slack link handler", "slack", "", true),
        entry("com.slack.Slack", "Slack", "slack"),
        entry("com.discordapp.Discord", "Discord", "Discord"),
        entry("python3.11", "Python (v3.11)", "python3.11"),
        entry("vrchat", "VRChat", "wine", "vrchat.exe"),
        entry("radio", "Radio Tray", "radio-tray"),
    });
    const auto nameOf = [&](const AudioClient& c) {
        const DesktopEntry* found = desktopEntryFor(c, entries);
        return found ? found->name : std::string("(none)");
    };
    EXPECT_EQ(nameOf(client({{"application.id", "org.example.Player"}, {kBinary, "slack"}})),
              "Player");
    EXPECT_EQ(nameOf(client({{kBinary, "slack"}, {kName, "Chromium"}})), "Slack")
        << "by Exec, a displayed entry before a handler";
    EXPECT_EQ(nameOf(client({{kBinary, "discord"}})), "(none)")
        << "file ids and Exec are compared exactly";
    EXPECT_EQ(nameOf(client({{kBinary, "wine64-preloader"}, {kName, "VRChat.exe"}})), "VRChat");
    EXPECT_EQ(nameOf(client({{kBinary, "python3.11"}, {kName, "python3.11"}},
                            commandLine({"python3", "/usr/bin/radio-tray"}))),
              "Radio Tray");
    EXPECT_EQ(nameOf(client({{kBinary, "python3.11"}, {kName, "Podcasts"}})), "(none)")
        << "a host's own entry names none of its programs";
    EXPECT_EQ(nameOf(client({{kBinary, "python3.11"}, {kName, "python3.11"}},
                            commandLine({"python3", "-c", "pass"}))),
              "Python (v3.11)")
        << "one that is only the host is named as before";

    const RunningApplication slack = runningApplicationFor(
        client({{kBinary, "slack"}, {kName, "Chromium"}, {"application.icon-name", "slack-icon"}}),
        DesktopEntryIndex());
    EXPECT_EQ(slack.localizedName, "Slack");
    EXPECT_EQ(slack.icon, "slack-icon");
}

TEST(ApplicationNames, ExecLinesGiveTheProgramTheyRun) {
    EXPECT_EQ(execProgram("firefox-esr %u"), "firefox-esr");
    EXPECT_EQ(execProgram("  /usr/bin/slack --enable-crashpad %U"), "slack");
    EXPECT_EQ(execProgram("\"/opt/My App/my-app\" --x"), "my-app");
    EXPECT_EQ(execProgram("env BAMF_DESKTOP_FILE_HINT=x GDK_BACKEND=x11 /snap/bin/spotify %U"),
              "spotify");
    EXPECT_EQ(execProgram("/usr/bin/env -u X"), "X");
    EXPECT_EQ(execProgram(""), "");
    const auto parsed = parseDesktopEntry("[Desktop Entry]\nName=Notes\nExec=notes %F\n"
                                          "StartupWMClass=NotesApp\nNoDisplay=true\n",
                                          {});
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->executable, "notes");
    EXPECT_EQ(parsed->startupWMClass, "NotesApp");
    EXPECT_TRUE(parsed->noDisplay);
}

// A shell running a script, which starts a helper shell: both are read from /proc.
TEST(ProcessCommandLine, AHostProcessAndItsHelperNameTheScript) {
    QTemporaryDir dir;
    const QString script = dir.filePath("backup-job.sh");
    const QString pidFile = dir.filePath("helper.pid");
    ASSERT_TRUE(test::writeFile(
        script, "sh -c 'echo $$ > \"$1\"; while :; do sleep 1; done' helper \"$1\" &\nwait\n"));
    const pid_t shell = ::fork();
    if (shell == 0) {
        ::execl("/bin/sh", "sh", script.toLocal8Bit().constData(),
                pidFile.toLocal8Bit().constData(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(shell, 0);
    pid_t helper = 0;
    test::waitUntil([&] { return (helper = std::atoi(test::readFile(pidFile).c_str())) > 0; });
    EXPECT_GT(helper, 0);
    if (helper > 0) {
        EXPECT_EQ(parentProcessID(helper), shell);
        const auto helperLine = processCommandLine(helper);
        EXPECT_TRUE(helperLine.size() >= 2 && helperLine[1] == "-c");
        EXPECT_EQ(hostedProgramOfProcess(helper, "sh"), "backup-job");
    }
    EXPECT_EQ(processCommandLine(shell),
              (std::vector<std::string>{"sh", script.toStdString(), pidFile.toStdString()}));
    EXPECT_EQ(hostedProgramOfProcess(shell, "sh"), "backup-job");
    EXPECT_EQ(parentProcessID(::getpid()), ::getppid());

    if (helper > 0) {
        ::kill(helper, SIGKILL);
    }
    ::kill(shell, SIGKILL);
    ::waitpid(shell, nullptr, 0);
    EXPECT_TRUE(processCommandLine(shell).empty());
    EXPECT_FALSE(parentProcessID(shell));
    EXPECT_EQ(hostedProgramOfProcess(shell, "sh"), "");
}

} // namespace
} // namespace kestrelamp
