#include "app/AppDelegate.h"
#include "engine/hal/SimulatedScenario.h"
#include "platform/SimulatedUpdater.h"
#include "views/AppListView.h"
#include "views/MainPopoverView.h"
#include "views/SettingsWindow.h"

#include "RouteWorld.h"
#include "TempHome.h"

#include <QApplication>
#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

namespace kestrelamp::test {
namespace {

constexpr Qt::KeyboardModifiers kShortcutModifiers =
    Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier;

// A text field that counts the key presses that reach it.
class KeyRecorder : public QLineEdit {
public:
    int presses = 0;

protected:
    // Modifier keys pressed on their own are not counted.
    void keyPressEvent(QKeyEvent* event) override {
        const int key = event->key();
        presses += key != Qt::Key_Shift && key != Qt::Key_Control && key != Qt::Key_Alt &&
                   key != Qt::Key_Meta;
        QLineEdit::keyPressEvent(event);
    }
};

class AppDelegateTest : public testing::Test {
protected:
    AppDelegateTest() {
        auto loaded = hal::loadScenario(test::standardScenario());
        EXPECT_TRUE(loaded);
        world = std::move(*loaded);
        AppDelegateOptions options;
        options.trayAvailable = false;
        options.backgroundCheckDelayMs = 0;
        options.updaterController = [this](const UpdaterDelegate&) {
            auto made = std::make_unique<SimulatedUpdaterController>();
            controller = made.get();
            return std::unique_ptr<UpdaterController>(std::move(made));
        };
        options.terminate = [this] { ++terminations; };
        delegate =
            std::make_unique<AppDelegate>(*world.hardware, *world.runningApplications, defaults,
                                          home.dataFolder(), permission, std::move(options));
    }
    ~AppDelegateTest() override {
        delegate.reset();
        SettingsWindowController::shared().reset();
    }

    void launch() {
        captureStdout([&] { delegate->applicationDidFinishLaunching(); });
    }
    AudioRouteManager& manager() { return delegate->routeManager(); }
    MainPopoverView* view() { return delegate->popover()->view(); }
    std::size_t taps() { return world.hardware->taps().size(); }

    // Two profiles: the first plays the Player on the headphones, the second on the TV.
    void saveTwoProfiles() {
        manager().setOutputDevices("org.example.Player", {"headphones"});
        manager().saveCurrentAsProfile("Headphones", "headphones");
        manager().setOutputDevices("org.example.Player", {"hdmi"});
        manager().saveCurrentAsProfile("TV", "tv");
        manager().setOutputDevices("org.example.Player", {});
        manager().profileManager().setActiveProfileID(std::nullopt);
    }
    std::vector<std::string> playerDevices() {
        return manager().state("org.example.Player")->outputDeviceUIDs;
    }

    test::TempHome home;
    hal::SimulatedWorld world;
    UserDefaults defaults;
    ControllableScreenCapturePermission permission{true};
    SimulatedUpdaterController* controller = nullptr;
    int terminations = 0;
    std::unique_ptr<AppDelegate> delegate;
};

// Without a tray the program opens as a window listing the players: the real server's case
// (ProgramWindowTests). Here what the window's controls do to the routes, and the update check.
TEST_F(AppDelegateTest, ClosingTheWindowHidesItAndRoutingGoesOnUntilQuit) {
    launch();
    PopoverWindow* window = delegate->popover();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->presentation(), PopoverWindow::Presentation::window);
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed());
    manager().setOutputDevices("org.example.Player", {"headphones"});
    const std::size_t routed = taps();
    ASSERT_GT(routed, 0u);

    // The title bar's close button: hidden, nothing ends, the route holds.
    EXPECT_FALSE(window->close());
    EXPECT_FALSE(delegate->isPopoverShown());
    EXPECT_EQ(terminations, 0);
    EXPECT_EQ(taps(), routed);

    // A second start or `ctl show` brings it back, also from minimized.
    delegate->showPopover();
    EXPECT_TRUE(delegate->isPopoverShown());
    window->showMinimized();
    ASSERT_TRUE(window->isMinimized());
    delegate->showPopover();
    EXPECT_FALSE(window->isMinimized());
    EXPECT_TRUE(delegate->isPopoverShown());

    // The background update check came once, after the start.
    const auto& calls = controller->simulatedUpdater.calls;
    ASSERT_TRUE(test::waitUntil(
        [&] { return std::count(calls.begin(), calls.end(), "checkForUpdatesInBackground") > 0; }));
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "checkForUpdatesInBackground"), 1);

    // Its quit button ends the program, routes first.
    QTest::mouseClick(view()->findChild<QWidget*>("quitButton"), Qt::LeftButton);
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(taps(), 0u);
}

TEST_F(AppDelegateTest, ProfileShortcutsApplyByPositionAndSwallowOnlyThen) {
    launch();
    saveTwoProfiles();
    KeyRecorder field;
    field.show();
    field.setFocus();

    QTest::keyClick(&field, Qt::Key_2, kShortcutModifiers);
    EXPECT_EQ(playerDevices(), std::vector<std::string>{"hdmi"});
    EXPECT_EQ(manager().profileManager().activeProfileID(),
              manager().profileManager().profiles()[1].id);
    EXPECT_EQ(field.presses, 0);

    QTest::keyClick(&field, Qt::Key_3, kShortcutModifiers);
    EXPECT_EQ(field.presses, 1);
    EXPECT_EQ(playerDevices(), std::vector<std::string>{"hdmi"});

    QTest::keyClick(&field, Qt::Key_1, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_EQ(field.presses, 2);
    EXPECT_EQ(playerDevices(), std::vector<std::string>{"hdmi"});

    // Meta held as well does not matter.
    QTest::keyClick(&field, Qt::Key_1, kShortcutModifiers | Qt::MetaModifier);
    EXPECT_EQ(field.presses, 2);
    EXPECT_EQ(playerDevices(), std::vector<std::string>{"headphones"});
}

TEST_F(AppDelegateTest, CtrlQQuitsAfterTheRoutesAreDown) {
    launch();
    manager().setOutputDevices("org.example.Player", {"headphones"});
    ASSERT_GT(taps(), 0u);
    KeyRecorder field;
    field.show();
    QTest::keyClick(&field, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(taps(), 0u);
    EXPECT_EQ(field.presses, 0);
    // Asked again (the quit button, a direct call), it ends only once.
    QTest::mouseClick(view()->findChild<QWidget*>("quitButton"), Qt::LeftButton);
    delegate->quit();
    EXPECT_EQ(terminations, 1);
}

} // namespace
} // namespace kestrelamp::test
