#pragma once

#include "platform/DataFolderLock.h"
#include "platform/Expected.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>
#include <string>

namespace kestrelamp {

// $XDG_DATA_HOME/Kestrelamp (by default ~/.local/share/Kestrelamp), where the program keeps its
// files.
QString kestrelampDataFolder();

// One of the program's files: read whole (only a regular file of sane size), written atomically.
// A file its owner could not understand is moved aside before the next write replaces it, so no
// parse error ever destroys what the user had.
class StoredFile {
public:
    explicit StoredFile(QString path);

    const QString& path() const { return path_; }

    // Nothing when no file exists; an error naming the reason when it cannot be read.
    Expected<std::optional<QByteArray>, std::string> read() const;

    // The owner could not decode what read() returned.
    void markUnreadable() { unreadable_ = true; }

    // Writes are refused, with the lock's reason, while another instance holds the folder.
    void setWriteGuard(const DataFolderLock* lock) { writeGuard_ = lock; }

    // Atomic: the old file stays byte for byte in place when any step of writing fails. Bytes that
    // this object wrote last, to a file nobody changed since, are not written again.
    Expected<void, std::string> write(const QByteArray& bytes);

    // Where the last unreadable file was moved; empty when none was.
    const QString& setAsidePath() const { return setAsidePath_; }

private:
    void setUnreadableFileAside();

    bool holdsAlready(const QByteArray& bytes) const;

    QString path_;
    bool unreadable_ = false;
    std::optional<QByteArray> lastWritten_;
    QDateTime lastWrittenAt_;
    QString setAsidePath_;
    const DataFolderLock* writeGuard_ = nullptr;
};

} // namespace kestrelamp
