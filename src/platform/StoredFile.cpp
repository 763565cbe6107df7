#include "platform/StoredFile.h"

#include "platform/FileAccess.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstdio>
#include <sys/stat.h>

namespace kestrelamp {

QString kestrelampDataFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Kestrelamp";
}

StoredFile::StoredFile(QString path)
    : path_(std::move(path)) {}

Expected<std::optional<QByteArray>, std::string> StoredFile::read() const {
    auto bytes = readRegularFile(path_, kSettingsFileMaxBytes);
    if (!bytes) {
        return unexpected(bytes.error().description());
    }
    return std::move(*bytes);
}

bool StoredFile::holdsAlready(const QByteArray& bytes) const {
    const QFileInfo info(path_);
    return !unreadable_ && lastWritten_ == bytes && info.exists() &&
           info.lastModified() == lastWrittenAt_ && info.size() == bytes.size();
}

Expected<void, std::string> StoredFile::write(const QByteArray& bytes) {
    if (writeGuard_ && writeGuard_->refusal()) {
        return unexpected(*writeGuard_->refusal());
    }
    if (holdsAlready(bytes)) {
        return {};
    }
    if (unreadable_) {
        setUnreadableFileAside();
        if (unreadable_) {
            return unexpected(path_.toStdString() +
                              ": the unreadable file could not be moved aside");
        }
    }
    if (auto written = replaceFileAtomically(path_, bytes); !written) {
        lastWritten_.reset();
        return unexpected(written.error().description());
    }
    lastWritten_ = bytes;
    lastWrittenAt_ = QFileInfo(path_).lastModified();
    return {};
}

namespace {

// Without following links: a link, a FIFO or a folder in the file's place is moved as it is.
bool somethingAt(const QString& path) {
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0;
}

} // namespace

void StoredFile::setUnreadableFileAside() {
    const QString stamp = QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss");
    QString aside = path_ + ".unreadable-" + stamp;
    for (int n = 2; somethingAt(aside); ++n) {
        aside = path_ + ".unreadable-" + stamp + "-" + QString::number(n);
    }
    // A file that cannot be moved is kept; the write then fails rather than replace it.
    if (!somethingAt(path_)) {
        unreadable_ = false;
    } else if (std::rename(QFile::encodeName(path_).constData(),
                           QFile::encodeName(aside).constData()) == 0) {
        unreadable_ = false;
        setAsidePath_ = aside;
    }
}

} // namespace kestrelamp
