#include "platform/UserDefaults.h"

#include "TempHome.h"

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

} // namespace
} // namespace kestrelamp
