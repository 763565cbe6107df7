#include "platform/StoredFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace kestrelamp {

QString kestrelampDataFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Kestrelamp";
}

StoredFile::StoredFile(QString path)
    : path_(std::move(path)) {}

Expected<std::optional<QByteArray>, std::string> StoredFile::read() const {
    QFile file(path_);
    if (!file.exists()) {
        return std::optional<QByteArray>{};
    }
    if (!file.open(QIODevice::ReadOnly)) {
        return unexpected(path_.toStdString() + ": " + file.errorString().toStdString());
    }
    return std::optional<QByteArray>(file.readAll());
}

bool StoredFile::holdsAlready(const QByteArray& bytes) const {
    const QFileInfo info(path_);
    return !unreadable_ && lastWritten_ == bytes && info.exists() &&
           info.lastModified() == lastWrittenAt_ && info.size() == bytes.size();
}

Expected<void, std::string> StoredFile::write(const QByteArray& bytes) {
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
    QDir().mkpath(QFileInfo(path_).absolutePath());
    QSaveFile file(path_);
    if (!file.open(QIODevice::WriteOnly)) {
        return unexpected(path_.toStdString() + ": " + file.errorString().toStdString());
    }
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        lastWritten_.reset();
        return unexpected(path_.toStdString() + ": " + file.errorString().toStdString());
    }
    lastWritten_ = bytes;
    lastWrittenAt_ = QFileInfo(path_).lastModified();
    return {};
}

void StoredFile::setUnreadableFileAside() {
    const QString stamp = QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss");
    QString aside = path_ + ".unreadable-" + stamp;
    for (int n = 2; QFile::exists(aside); ++n) {
        aside = path_ + ".unreadable-" + stamp + "-" + QString::number(n);
    }
    // A file that cannot be moved is kept; the write then fails rather than replace it.
    if (!QFile::exists(path_) || QFile::rename(path_, aside)) {
        unreadable_ = false;
        if (QFile::exists(aside)) {
            setAsidePath_ = aside;
        }
    }
}

} // namespace kestrelamp
