#include "ViewTestSupport.h"

#include "views/SettingsWindow.h"
#include "views/toolkit/TextLabel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>

namespace kestrelamp {
namespace {

using test::child;
using test::click;

std::string captureStdout(const std::function<void()>& body) {
    testing::internal::CaptureStdout();
    body();
    return testing::internal::GetCapturedStdout();
}

class FakeUpdateSettings final : public UpdateSettingsModel {
public:
    bool canCheckForUpdates() const override { return canCheck; }
    bool automaticallyChecksForUpdates() const override { return automatic; }
    void setAutomaticallyChecksForUpdates(bool value) override { automatic = value; }
    void checkForUpdates() override { ++checks; }
    void allowChecks() {
        canCheck = true;
        Q_EMIT canCheckForUpdatesChanged(true);
    }

    bool canCheck = false;
    bool automatic = true;
    int checks = 0;
};

// Records the addresses the desktop was asked to open.
class UrlRecorder : public QObject {
    Q_OBJECT

public Q_SLOTS:
    void open(const QUrl& url) { urls << url; }

public:
    QList<QUrl> urls;
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
    static QString autostartFile() {
        return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
               "/autostart/com.kestrelamp.Kestrelamp.desktop";
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

TEST_F(SettingsWindowTest, EscapeAndCtrlWCloseItAndThePageListShowsItsFocus) {
    SettingsView* window = openWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QListWidget* pages = window->sidebar();
    pages->clearFocus();
    const QRect current = pages->visualItemRect(pages->currentItem());
    // The middle of the entry's left edge: a ring there stands out from the selection.
    const auto edge = [&] {
        const QImage image = pages->grab(current).toImage();
        return image.pixelColor(int(image.devicePixelRatio()), image.height() / 2);
    };
    const QColor ring = pages->palette().color(QPalette::HighlightedText);
    EXPECT_NE(edge(), ring);
    pages->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(pages->hasFocus());
    EXPECT_EQ(edge(), ring);

    for (const auto& [key, modifiers] :
         {std::pair{Qt::Key_Escape, Qt::NoModifier}, std::pair{Qt::Key_W, Qt::ControlModifier}}) {
        SettingsView* shown = openWindow();
        ASSERT_EQ(shown, window);
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
        QTest::keyClick(window->focusWidget() ? window->focusWidget() : window, key, modifiers);
        EXPECT_FALSE(window->isVisible()) << key;
    }
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

TEST_F(SettingsWindowTest, ShowOnlyLiveIsTheStoredDefault) {
    SettingsView* window = openWindow();
    QCheckBox* live = window->generalPage()->showOnlyLiveToggle();
    EXPECT_FALSE(live->isChecked());
    click(live);
    EXPECT_TRUE(defaults.boolForKey("showOnlyLive"));
    defaults.setBool("showOnlyLive", false);
    EXPECT_FALSE(live->isChecked());
}

TEST_F(SettingsWindowTest, LaunchAtLoginWritesAndRemovesTheAutostartEntry) {
    SettingsView* window = openWindow();
    QCheckBox* launch = window->generalPage()->launchAtLoginToggle();
    EXPECT_FALSE(launch->isChecked());

    EXPECT_EQ(captureStdout([&] { click(launch); }), "");
    EXPECT_TRUE(defaults.boolForKey("launchAtLogin"));
    QFile entry(autostartFile());
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly)) << autostartFile().toStdString();
    const QByteArray contents = entry.readAll();
    EXPECT_TRUE(contents.contains("Exec=" + QCoreApplication::applicationFilePath().toUtf8()))
        << contents.toStdString();
    entry.close();

    EXPECT_EQ(captureStdout([&] { click(launch); }), "");
    EXPECT_FALSE(defaults.boolForKey("launchAtLogin"));
    EXPECT_FALSE(QFile::exists(autostartFile()));
}

TEST_F(SettingsWindowTest, FailedRegistrationIsPrintedAndTheToggleStaysOn) {
    // A file where the autostart folder should be.
    const QString folder = QFileInfo(autostartFile()).path();
    QDir().mkpath(QFileInfo(folder).path());
    QFile blocker(folder);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    SettingsView* window = openWindow();
    QCheckBox* launch = window->generalPage()->launchAtLoginToggle();
    const std::string printed = captureStdout([&] { click(launch); });
    EXPECT_EQ(printed.rfind("Failed to set launch at login: ", 0), 0u) << printed;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1);
    EXPECT_TRUE(launch->isChecked());
    EXPECT_TRUE(defaults.boolForKey("launchAtLogin"));
    // Shown again, it still reads the stored choice.
    window->close();
    openWindow();
    EXPECT_TRUE(launch->isChecked());
}

TEST_F(SettingsWindowTest, UpdatePageFollowsTheUpdater) {
    SettingsView* window = openWindow();
    UpdateSettingsPage* page = window->updatePage();
    EXPECT_FALSE(page->checkButton()->isEnabled());
    updater.allowChecks();
    EXPECT_TRUE(page->checkButton()->isEnabled());
    click(page->checkButton());
    EXPECT_EQ(updater.checks, 1);

    EXPECT_TRUE(page->automaticChecksToggle()->isChecked());
    click(page->automaticChecksToggle());
    EXPECT_FALSE(updater.automatic);
    EXPECT_FALSE(page->automaticChecksToggle()->isChecked());

    EXPECT_EQ(page->versionLabel()->text(), QStringLiteral(KESTRELAMP_VERSION) + " (1)");
}

TEST_F(SettingsWindowTest, WithoutAnUpdaterChecksAreOnAndCannotStart) {
    UpdateSettingsPage page(nullptr, BundleInfo(QVariantMap{}));
    EXPECT_TRUE(page.automaticChecksToggle()->isChecked());
    EXPECT_FALSE(page.checkButton()->isEnabled());
    click(page.automaticChecksToggle());
    EXPECT_TRUE(page.automaticChecksToggle()->isChecked());
    EXPECT_EQ(page.versionLabel()->text(), "1.0 (1)");
}

TEST_F(SettingsWindowTest, AboutPageShowsTheVersionAndOpensMail) {
    SettingsView* window = openWindow();
    AboutSettingsPage* about = window->aboutPage();
    EXPECT_EQ(child<toolkit::TextLabel>(*about, QStringLiteral("aboutVersion"))->text(),
              QStringLiteral("Version ") + KESTRELAMP_VERSION);
    EXPECT_FALSE(child<QLabel>(*about, QStringLiteral("aboutIcon"))->pixmap().isNull());

    UrlRecorder recorder;
    QDesktopServices::setUrlHandler("mailto", &recorder, "open");
    click(child(*about, QStringLiteral("contactButton")));
    QDesktopServices::unsetUrlHandler("mailto");
    ASSERT_EQ(recorder.urls.size(), 1);
    EXPECT_EQ(recorder.urls[0].toString(), "mailto:hello@kestrelamp.org");
}

} // namespace
} // namespace kestrelamp

#include "SettingsWindowTests.moc"
