#include "app/UpdateAlerts.h"

#include <QTextDocumentFragment>

#include <gtest/gtest.h>

namespace kestrelamp {
namespace {

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
