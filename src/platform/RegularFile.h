#pragma once

// Reading a small file that someone else may have put in our way: a FIFO would block the
// reader, a device or a link to /dev/zero would never end, so only regular files are read, and
// only up to a cap.

#include "platform/Expected.h"

#include <cstddef>
#include <string>

namespace kestrelamp {

struct RegularFileError {
    enum class Kind { missing, notRegular, tooLarge, unreadable };

    Kind kind = Kind::unreadable;
    int errorNumber = 0; // for unreadable and missing

    std::string description() const;
};

// The whole file, if the path names a regular file (after links) of at most `maximumBytes`.
// Anything else is refused without reading from it and without waiting.
Expected<std::string, RegularFileError> readRegularFile(const std::string& path,
                                                        std::size_t maximumBytes);

} // namespace kestrelamp
