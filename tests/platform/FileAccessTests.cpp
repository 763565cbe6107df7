// Stored files under the faults a real disk and a hostile home produce: a write that fails part
// way leaves the old bytes, and anything but a regular file is refused without blocking.

#include "platform/FileAccess.h"
#include "platform/StoredFile.h"

#include "FileFaults.h"
#include "TempHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace kestrelamp {
namespace {

QByteArray contentOf(const QString& path) {
    return QByteArray::fromStdString(test::readFile(path));
}

// Nothing but the named files: no temporary file is left behind.
QStringList entriesOf(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                  QDir::NoDotAndDotDot);
}

class StoredFileFaults : public ::testing::Test {
protected:
    QString folder() const { return home.dataFolder(); }
    QString path() const { return folder() + "/states.json"; }

    void SetUp() override {
        old = QByteArray(3000, 'o');
        ASSERT_TRUE(test::writeFile(path(), old.toStdString()));
    }

    test::TempHome home;
    QByteArray old;
};

TEST_F(StoredFileFaults, AWriteCutShortByTheFileSizeLimitKeepsTheOldBytesAndSaysWhy) {
    // Larger than the limit, which is larger than the old file: the first write() goes through
    // in part, the next fails with EFBIG, as on a full disk.
    const QByteArray longer(8192, 'n');
    const std::string report = test::inChild([&] {
        const test::FileSizeLimit limit(4096);
        StoredFile file(path());
        const auto written = file.write(longer);
        return written ? std::string("written") : written.error();
    });
    EXPECT_NE(report.find("states.json: could not write: File too large"), std::string::npos)
        << report;
    EXPECT_EQ(contentOf(path()), old);
    EXPECT_EQ(entriesOf(folder()), QStringList{"states.json"});

    // The same write with room to spare replaces the file whole.
    StoredFile file(path());
    ASSERT_TRUE(file.write(longer).hasValue());
    EXPECT_EQ(contentOf(path()), longer);
}

TEST_F(StoredFileFaults, AReadOnlyFolderRefusesTheWriteAndKeepsTheOldBytes) {
    ::chmod(QFile::encodeName(folder()).constData(), 0555);
    const std::string report = test::inChild([&] {
        test::dropPrivilegesToReach(path());
        StoredFile file(path());
        const auto written = file.write("[]");
        return written ? std::string("written") : written.error();
    });
    ::chmod(QFile::encodeName(folder()).constData(), 0755);
    EXPECT_NE(report.find("states.json: could not create a temporary file: Permission denied"),
              std::string::npos)
        << report;
    EXPECT_EQ(contentOf(path()), old);
    EXPECT_EQ(entriesOf(folder()), QStringList{"states.json"});
}

TEST_F(StoredFileFaults, ReplacingKeepsPermissionsAndFollowsALinkToItsFile) {
    ::chmod(QFile::encodeName(path()).constData(), 0600);
    const QString link = folder() + "/linked.json";
    ASSERT_TRUE(QFile::link(path(), link));

    StoredFile file(link);
    ASSERT_TRUE(file.write("[1]").hasValue());
    EXPECT_TRUE(QFileInfo(link).isSymLink()) << "the link stays a link";
    EXPECT_EQ(contentOf(path()), "[1]");
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(path()).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
}

TEST(StoredFileHostile, AnythingButARegularFileIsRefusedAtOnceAndSetAsideAsItIs) {
    test::TempHome home;
    const QString folder = home.dataFolder();
    QDir().mkpath(folder);
    ASSERT_EQ(::mkfifo(QFile::encodeName(folder + "/fifo.json").constData(), 0600), 0);
    ASSERT_TRUE(QFile::link("/dev/zero", folder + "/zero.json"));
    QDir().mkpath(folder + "/folder.json");

    const std::pair<const char*, const char*> cases[] = {
        {"fifo.json", "a FIFO"}, {"zero.json", "a device"}, {"folder.json", "a folder"}};
    for (const auto& [name, kind] : cases) {
        SCOPED_TRACE(name);
        StoredFile file(folder + "/" + name);
        const auto read = file.read();
        ASSERT_FALSE(read.hasValue());
        EXPECT_EQ(read.error(),
                  (folder + "/" + name).toStdString() + ": not a regular file (" + kind + ")");

        file.markUnreadable();
        ASSERT_TRUE(file.write("[]").hasValue());
        EXPECT_EQ(file.read()->value(), "[]");
        const QFileInfo aside(file.setAsidePath());
        ASSERT_FALSE(file.setAsidePath().isEmpty());
        EXPECT_TRUE(aside.isSymLink() || !aside.isFile()) << "moved as it was";
    }
    EXPECT_EQ(QFileInfo(folder + "/zero.json").symLinkTarget(), "")
        << "the link itself was moved aside, not followed";
}

TEST(StoredFileHostile, AFileLargerThanTheCapIsRefused) {
    test::TempHome home;
    const QString path = home.dataFolder() + "/big.json";
    ASSERT_TRUE(test::writeFile(path, std::string(2048, ' ')));
    const auto refused = readRegularFile(path, 1024);
    ASSERT_FALSE(refused.hasValue());
    EXPECT_EQ(refused.error().reason, "larger than 1024 bytes");
    ASSERT_TRUE(readRegularFile(path, 2048).hasValue());
    EXPECT_FALSE(readRegularFile(home.dataFolder() + "/missing.json", 1024)->has_value());
}

} // namespace
} // namespace kestrelamp
