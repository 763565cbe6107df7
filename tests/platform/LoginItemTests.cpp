#include "platform/LoginItem.h"
#include "platform/UserDefaults.h"

#include "TempHome.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

namespace kestrelamp::test {
namespace {

TEST(LaunchAtLogin, FollowsTheToggleAndPrintsFailuresOnly) {
    test::TempHome home;
    const LoginItem item;
    EXPECT_EQ(captureStdout([&] { EXPECT_TRUE(setLaunchAtLogin(true, item)); }), "");
    EXPECT_TRUE(QFile::exists(item.filePath()));
    EXPECT_EQ(captureStdout([&] { EXPECT_TRUE(setLaunchAtLogin(false, item)); }), "");
    EXPECT_FALSE(QFile::exists(item.filePath()));
    EXPECT_TRUE(item.unregisterItem()) << "removing an absent entry is not an error";

    // The entry's path is taken by a folder: both directions fail, the setting stays.
    UserDefaults defaults;
    defaults.setBool(UserDefaults::launchAtLoginKey, true);
    ASSERT_TRUE(QDir().mkpath(item.filePath()));
    const std::string printed = captureStdout([&] { EXPECT_FALSE(setLaunchAtLogin(true, item)); });
    EXPECT_EQ(printed.rfind("Failed to set launch at login: Could not write " +
                                item.filePath().toStdString() + ": ",
                            0),
              0u)
        << printed;
    EXPECT_TRUE(printed.ends_with("\n") && printed.find('\n') == printed.size() - 1) << printed;
    EXPECT_TRUE(defaults.boolForKey(UserDefaults::launchAtLoginKey));
    EXPECT_EQ(captureStdout([&] { setLaunchAtLogin(false, item); }),
              "Failed to set launch at login: Could not remove " + item.filePath().toStdString() +
                  ": it is a folder\n");
}

} // namespace
} // namespace kestrelamp::test
