#pragma once

#include <QLockFile>
#include <QString>

#include <optional>
#include <string>

namespace kestrelamp {

// One writer per data folder: two Kestrelamps of the same user (two sessions, where the
// single-instance check on the session bus does not reach) would otherwise each write their own
// view of the files over the other's. The lock is taken once, at start, and held for the run; a
// lock left by a process that is gone is taken over. The instance that finds the folder in use
// reads the files but writes none.
class DataFolderLock {
public:
    static constexpr const char* fileName = "Kestrelamp.lock";

    explicit DataFolderLock(const QString& folder);

    // Why this instance must not write: the folder and who holds it; nothing when it may. A
    // folder where no lock can be made at all (read-only, no locking) is not refused here: its
    // writes fail or succeed on their own.
    const std::optional<std::string>& refusal() const { return refusal_; }

private:
    QLockFile lock_;
    std::optional<std::string> refusal_;
};

} // namespace kestrelamp
