#include "ViewTestSupport.h"

#include "views/SettingsWindow.h"
#include "views/toolkit/TextLabel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QListWidget>
#include <QPushButton>

namespace kestrelamp {
namespace {

using test::click;

class FakeUpdateSettings final : public UpdateSettingsModel {
public:
    bool canCheckForUpdates() const override { return canCheck; }
    bool automaticallyChecksForUpdates() const override { return automatic; }
    void setAutomaticallyChecksForUpdates(bool value) override { automatic = value; }
    void checkForUpdates() override { ++checks; }

    bool canCheck = false;
    bool automatic = true;
    int checks = 0;
};

class SettingsWindowTest : public testing::Test {
protected:
    void TearDown() override { SettingsWindowController::shared().reset(); }

    SettingsView* openWindow() {
        SettingsWindowController::shared().showSettings(&updater);
        return SettingsWindowController::shared().window();
    }
    static int settingsWindowCount() {
        int count = 0;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            count += qobject_cast<SettingsView*>(widget) ? 1 : 0;
        }
        return count;
    }
    test::TempHome home;
    UserDefaults defaults;
    FakeUpdateSettings updater;
};

TEST_F(SettingsWindowTest, OneWindowKeptAndReusedOnThePageLeftOpen) {
    SettingsView* window = openWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->selectedTab(), SettingsTab::general);

    window->resize(300, 200);
    EXPECT_GE(window->width(), 460);
    EXPECT_GE(window->height(), 320);

    window->sidebar()->setCurrentRow(2);
    EXPECT_EQ(window->selectedTab(), SettingsTab::about);
    window->close();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(openWindow(), window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->selectedTab(), SettingsTab::about);
    EXPECT_EQ(openWindow(), window);
    EXPECT_EQ(settingsWindowCount(), 1);
}

TEST_F(SettingsWindowTest, RefreshIntervalPickerMapsTheStoredSeconds) {
    SettingsView* window = openWindow();
    QComboBox* picker = window->generalPage()->refreshIntervalPicker();
    ASSERT_EQ(picker->count(), 4);
    EXPECT_FALSE(defaults.contains("refreshInterval"));
    EXPECT_EQ(picker->currentText(), "3 seconds");

    Q_EMIT picker->activated(3);
    EXPECT_TRUE(defaults.contains("refreshInterval"));
    EXPECT_EQ(defaults.doubleForKey("refreshInterval"), 10.0);
    EXPECT_EQ(picker->currentText(), "10 seconds");

    // Another writer's value shows at once; one that is no choice shows none.
    defaults.setDouble("refreshInterval", 1.0);
    EXPECT_EQ(picker->currentText(), "1 second");
    defaults.setDouble("refreshInterval", 2.5);
    EXPECT_EQ(picker->currentIndex(), -1);
    EXPECT_EQ(defaults.doubleForKey("refreshInterval"), 2.5);
}

} // namespace
} // namespace kestrelamp
