#include "platform/LoginItem.h"
#include "platform/UserDefaults.h"

#include "TempHome.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

namespace kestrelamp {
namespace {

QString autostartFolder(const test::TempHome& home) {
    return home.path() + "/.config/autostart";
}

QMap<QString, QString> readEntry(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(lines.value(0), "[Desktop Entry]");
    QMap<QString, QString> keys;
    for (const QString& line : lines.mid(1)) {
        const qsizetype equals = line.indexOf('=');
        keys.insert(line.left(equals), line.mid(equals + 1));
    }
    return keys;
}

using test::captureStdout;

TEST(LoginItem, RegisteringWritesAnAutostartEntryForThisProgram) {
    test::TempHome home;
    const LoginItem item;
    EXPECT_EQ(item.filePath(), autostartFolder(home) + "/com.kestrelamp.Kestrelamp.desktop");
    ASSERT_TRUE(item.registerItem());

    const auto keys = readEntry(item.filePath());
    EXPECT_EQ(keys.value("Exec"), QCoreApplication::applicationFilePath());
    EXPECT_EQ(keys.value("X-GNOME-Autostart-enabled"), "true");

    const QString validator = QStandardPaths::findExecutable("desktop-file-validate");
    if (!validator.isEmpty()) {
        QProcess validate;
        validate.start(validator, {item.filePath()});
        ASSERT_TRUE(validate.waitForFinished());
        EXPECT_EQ(validate.exitCode(), 0) << validate.readAllStandardOutput().toStdString();
    }

    // Again: the same single file, no temporary left beside it.
    ASSERT_TRUE(item.registerItem());
    EXPECT_EQ(QDir(autostartFolder(home)).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

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
} // namespace kestrelamp
