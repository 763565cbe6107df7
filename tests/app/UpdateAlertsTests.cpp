#include "app/UpdateAlerts.h"
#include "app/UpdaterManager.h"
#include "platform/AppcastUpdater.h"
#include "platform/StandardUpdaterController.h"

#include "LocalHttpServer.h"
#include "TempHome.h"

#include <QApplication>
#include <QMessageBox>
#include <QTextDocumentFragment>

#include <gtest/gtest.h>

namespace kestrelamp {
namespace {

QByteArray feedOffering(const std::string& version, const std::string& link) {
    return test::appcastFeed(
        test::appcastItem(QByteArray::fromStdString(version), QByteArray::fromStdString(link)));
}

using test::captureStdout;

// The real updater on a feed served from this machine, reporting to the alerts.
class UpdateAlertsOnLocalFeed : public testing::Test {
protected:
    UpdateAlertsOnLocalFeed() {
        qputenv(AppcastUpdater::feedAddressVariable, server.url().toUtf8());
        manager = std::make_unique<UpdaterManager>(alerts);
    }
    ~UpdateAlertsOnLocalFeed() override {
        manager.reset();
        qunsetenv(AppcastUpdater::feedAddressVariable);
    }

    test::TempHome home;
    test::LocalHttpServer server;
    UpdateAlerts alerts;
    std::unique_ptr<UpdaterManager> manager;
};

TEST_F(UpdateAlertsOnLocalFeed, BackgroundCheckSpeaksOnlyOfANewerVersion) {
    server.setBody(feedOffering(KESTRELAMP_VERSION, "https://kestrelamp.org/releases/same"));
    std::string printed = captureStdout([&] {
        manager->checkForUpdatesInBackground();
        auto* controller = dynamic_cast<StandardUpdaterController*>(manager->controller());
        ASSERT_NE(controller, nullptr);
        ASSERT_TRUE(test::waitUntil([&] {
            return server.requestCount() == 1 && !controller->appcastUpdater().sessionInProgress();
        }));
    });
    EXPECT_EQ(printed, "");
    EXPECT_FALSE(alerts.lastNotification());
    EXPECT_EQ(alerts.dialog(), nullptr);

    // Without a tray the news goes to the standard output, still without a dialog.
    server.setBody(feedOffering("9.1.0", "https://kestrelamp.org/releases/9.1.0"));
    printed = captureStdout([&] {
        manager->checkForUpdatesInBackground();
        ASSERT_TRUE(test::waitUntil([&] { return alerts.lastNotification().has_value(); }));
    });
    EXPECT_EQ(alerts.lastNotification()->title, "A new version of Kestrelamp is available");
    EXPECT_EQ(printed, "A new version of Kestrelamp is available: " +
                           alerts.lastNotification()->text + "\n");
    EXPECT_EQ(alerts.dialog(), nullptr);
}

// The feed is not ours: whatever markup it holds is shown as text, in the dialog's rich text and
// in the notification, whose servers read markup too.
TEST(UpdateAlerts, FeedTextIsEscapedWhereMarkupIsRead) {
    const auto hostile = UpdateCheckResult::updateAvailable(
        "1.0", {"9.2", "<img src=\"https://evil.example/x\"><b>9.2</b>",
                "https://kestrelamp.org/r?a=1&b=<i>"});
    for (const QString& shown :
         {UpdateAlerts::dialogText(hostile), UpdateAlerts::notificationText(hostile)}) {
        EXPECT_FALSE(shown.contains("<img")) << shown.toStdString();
        EXPECT_FALSE(shown.contains("<b>")) << shown.toStdString();
        EXPECT_FALSE(shown.contains("<i>")) << shown.toStdString();
        EXPECT_TRUE(shown.contains("&lt;b&gt;9.2&lt;/b&gt;")) << shown.toStdString();
        EXPECT_TRUE(shown.contains("a=1&amp;b=&lt;i&gt;")) << shown.toStdString();
    }
    EXPECT_EQ(QTextDocumentFragment::fromHtml(UpdateAlerts::notificationText(hostile))
                  .toPlainText()
                  .toStdString(),
              hostile.message().text);
}

TEST(UpdateAlerts, ReleasePagesOpenOnlyAsWebAddresses) {
    EXPECT_FALSE(UpdateAlerts::openReleasePage("file:///etc/passwd"));
    EXPECT_FALSE(UpdateAlerts::openReleasePage("javascript:alert(1)"));
    EXPECT_FALSE(UpdateAlerts::openReleasePage(""));
}

} // namespace
} // namespace kestrelamp
