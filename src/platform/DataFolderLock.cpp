#include "platform/DataFolderLock.h"

#include <QDir>

namespace kestrelamp {

DataFolderLock::DataFolderLock(const QString& folder)
    : lock_(folder + "/" + fileName) {
    QDir().mkpath(folder);
    // Only a dead holder makes a lock stale, however long a live one runs.
    lock_.setStaleLockTime(0);
    if (lock_.tryLock(0) || lock_.error() != QLockFile::LockFailedError) {
        return;
    }
    std::string holder = "another Kestrelamp";
    qint64 pid = 0;
    QString host;
    QString application;
    if (lock_.getLockInfo(&pid, &host, &application)) {
        holder += " (process " + std::to_string(pid) +
                  (host.isEmpty() ? std::string() : " on " + host.toStdString()) + ")";
    }
    refusal_ =
        folder.toStdString() + " is in use by " + holder + "; changes made here are not saved";
}

} // namespace kestrelamp
