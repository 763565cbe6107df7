#include "platform/StoredFile.h"
#include "platform/UserDefaults.h"

#include "TempHome.h"

#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QSignalSpy>
#include <gtest/gtest.h>

namespace kestrelamp {
namespace {

TEST(UserDefaults, EveryWriteNotifiesEveryInstanceAndPersists) {
    test::TempHome home;
    UserDefaults writer;
    UserDefaults reader;
    QSignalSpy readerSpy(&reader, &UserDefaults::didChange);
    QSignalSpy writerSpy(&writer, &UserDefaults::didChange);
    EXPECT_EQ(reader.doubleForKey(UserDefaults::refreshIntervalKey), 0.0);

    writer.setDouble(UserDefaults::refreshIntervalKey, 1.5);
    writer.setBool(UserDefaults::showOnlyLiveKey, true);
    EXPECT_EQ(readerSpy.count(), 2);
    EXPECT_EQ(writerSpy.count(), 2);
    EXPECT_EQ(reader.doubleForKey(UserDefaults::refreshIntervalKey), 1.5);
    EXPECT_TRUE(reader.boolForKey(UserDefaults::showOnlyLiveKey));

    UserDefaults later;
    EXPECT_EQ(later.doubleForKey(UserDefaults::refreshIntervalKey), 1.5);
}

TEST(StoredFile, MissingFileIsNotAnErrorAndWritesReplaceIt) {
    test::TempHome home;
    StoredFile file(home.dataFolder() + "/states.json");
    ASSERT_TRUE(file.read().hasValue());
    EXPECT_FALSE(file.read()->has_value());
    ASSERT_TRUE(file.write("[1]").hasValue());
    ASSERT_TRUE(file.write("[2]").hasValue());
    EXPECT_EQ(file.read()->value(), "[2]");
    EXPECT_TRUE(file.setAsidePath().isEmpty());
}

TEST(StoredFile, UnreadableFileIsMovedAsideOnceBeforeTheNextWrite) {
    test::TempHome home;
    StoredFile file(home.dataFolder() + "/states.json");
    ASSERT_TRUE(file.write("not json").hasValue());
    file.markUnreadable();
    ASSERT_TRUE(file.write("[]").hasValue());
    ASSERT_FALSE(file.setAsidePath().isEmpty());
    QFile aside(file.setAsidePath());
    ASSERT_TRUE(aside.open(QIODevice::ReadOnly));
    EXPECT_EQ(aside.readAll(), "not json");

    ASSERT_TRUE(file.write("[1]").hasValue());
    EXPECT_EQ(QDir(home.dataFolder()).entryList({"states.json.unreadable-*"}).size(), 1);
}

} // namespace
} // namespace kestrelamp
