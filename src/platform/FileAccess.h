#pragma once

// Reading and replacing the program's own files with every step checked: a file is either
// replaced whole or left byte for byte as it was, and each failure says which step failed and
// why.

#include "platform/Expected.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <string>

namespace kestrelamp {

struct FileError {
    std::string path;
    // Which step failed and why: "could not write: No space left on device".
    std::string reason;

    std::string description() const { return path + ": " + reason; }
};

// Settings files are a few KiB; this is far above any real use and keeps a hostile file from
// being read without end.
inline constexpr std::int64_t kSettingsFileMaxBytes = 16 * 1024 * 1024;

// Nothing when no file exists. Anything but a regular file (FIFO, device, folder) is refused
// without blocking; so is a file larger than maxBytes.
Expected<std::optional<QByteArray>, FileError> readRegularFile(const QString& path,
                                                               std::int64_t maxBytes);

// Writes a temporary file beside the target (every write checked, then synced), renames it over
// the target and syncs the folder. A symbolic link is followed: its target is replaced. On any
// failure before the rename the target is untouched and the temporary file removed.
Expected<void, FileError> replaceFileAtomically(const QString& path, const QByteArray& bytes);

// A file-size limit (ulimit -f) should make a write fail with EFBIG, not end the program.
void ignoreFileSizeLimitSignal();

} // namespace kestrelamp
