// The program as a user starts it, on the private PipeWire server and an X display that has no
// tray: the popover opens as a window listing the players, the profile shortcut routes one by its
// physical keys, and quitting leaves nothing of ours in the graph.

#include "profiles/AudioProfile.h"
#include "support/PipeWireSession.h"
#include "support/SessionTest.h"
#include "support/VirtualDisplay.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <csignal>

namespace kestrelamp::e2e {
namespace {

constexpr const char* kToneB = "org.example.ToneB";

class ProgramOnDisplay : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        display_ = std::make_unique<VirtualDisplay>(session_->path());
        ASSERT_TRUE(display_->start()) << display_->error();
    }

    void TearDown() override {
        program_.reset();
        display_.reset();
    }

    // Routes Tone A to the second sink when applied.
    static void saveProfileRoutingToneA() {
        AppAudioState state;
        state.id = kToneA;
        state.displayName = "Tone A";
        state.outputDeviceUIDs = {kSinkB};
        AudioProfile profile;
        profile.id = QUuid::createUuid();
        profile.name = "Second sink";
        profile.icon = "headphones";
        profile.routes = {state};
        const QString folder = qEnvironmentVariable("XDG_DATA_HOME") + "/Kestrelamp";
        QDir().mkpath(folder);
        QFile file(folder + "/profiles.json");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray::fromStdString(encodeAudioProfiles({profile})));
    }

    void startProgram() {
        program_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{KESTRELAMP_PROGRAM},
            session_->logPath("program-" + std::to_string(++starts_)),
            std::map<std::string, std::string>{
                {"DISPLAY", display_->name()},
                {"QT_QPA_PLATFORM", "xcb"},
                {"KESTRELAMP_TRACE_POPOVER", "1"},
                // No desktop session: no tray host on the bus, no updates from the network.
                {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + session_->path() + "/no-bus"},
                {"KESTRELAMP_APPCAST_URL", "http://127.0.0.1:9/appcast.xml"},
            });
        ASSERT_TRUE(program_->started());
    }

    bool logShows(const std::string& text, int timeoutMs = 15000) {
        return pollUntil([&] { return program_->log().find(text) != std::string::npos; },
                         timeoutMs);
    }

    CommandResult x11(std::vector<std::string> argv) {
        argv.insert(argv.begin() + 1, {"-display", display_->name()});
        return runCommand(argv, session_->logPath("x11-tool"));
    }
    CommandResult xdotool(const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{"env", "DISPLAY=" + display_->name(), "xdotool"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return runCommand(argv, session_->logPath("xdotool"));
    }

    // Waits until the window is mapped, then gives it the keyboard as a click would.
    bool focusWindow() {
        const std::vector<std::string> search{"search", "--onlyvisible", "--name", "^Kestrelamp$"};
        if (!pollUntil([&] { return xdotool(search).status == 0; }, 15000)) {
            return false;
        }
        std::vector<std::string> focus = search;
        focus.insert(focus.end(), {"windowfocus", "--sync"});
        return xdotool(focus).status == 0;
    }

    std::vector<std::string> ourObjects() const { return kestrelampObjects(session_->dump()); }

    std::unique_ptr<VirtualDisplay> display_;
    std::unique_ptr<ChildProcess> program_;
    int starts_ = 0;
};

TEST_F(ProgramOnDisplay, WindowListsThePlayersAndQuittingLeavesNothingBehind) {
    auto playerA = session_->startPlayer(kToneA, "Tone A", 440.0);
    auto playerB = session_->startPlayer(kToneB, "Tone B", 660.0);
    saveProfileRoutingToneA();
    startProgram();

    ASSERT_TRUE(logShows("No system tray is available: Kestrelamp opens as a window."))
        << program_->log();
    ASSERT_TRUE(pollUntil(
        [&] {
            const std::string log = program_->log();
            return log.find("[Popover] shown 320x") != std::string::npos &&
                   log.find("Tone A") != std::string::npos &&
                   log.find("Tone B") != std::string::npos;
        },
        20000))
        << program_->log();

    // The window the X server has mapped.
    ASSERT_TRUE(focusWindow());
    CommandResult window = x11({"xwininfo", "-name", "Kestrelamp"});
    ASSERT_EQ(window.status, 0) << window.output;
    EXPECT_NE(window.output.find("Map State: IsViewable"), std::string::npos) << window.output;
    EXPECT_NE(window.output.find("Width: 320"), std::string::npos) << window.output;
    // Nothing routed yet: the open window only meters the players, and capture nodes wait made
    // ahead for the profile.
    for (const std::string& object : ourObjects()) {
        EXPECT_TRUE(object.starts_with("link ") || object.find(".monitor.") != std::string::npos ||
                    object.ends_with("\"Kestrelamp tap\""))
            << object;
    }

    // Ctrl+Alt+Shift and the key labelled 1 apply the first profile: Tone A goes to sink B.
    ASSERT_TRUE(focusWindow());
    CommandResult key = xdotool({"key", "--clearmodifiers", "ctrl+alt+shift+1"});
    ASSERT_EQ(key.status, 0) << key.output;
    ASSERT_TRUE(pollUntil([&] { return !ourObjects().empty(); }, 15000)) << program_->log();

    ASSERT_TRUE(program_->signal(SIGTERM));
    ASSERT_TRUE(program_->waitForExit(15000)) << program_->log();
    EXPECT_EQ(program_->exitStatus(), 0) << program_->log();
    const std::vector<std::string> left = ourObjects();
    EXPECT_TRUE(left.empty()) << ::testing::PrintToString(left);
}

} // namespace
} // namespace kestrelamp::e2e
