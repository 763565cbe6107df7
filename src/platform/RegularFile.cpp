#include "platform/RegularFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrelamp {
namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd)
        : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }

private:
    int fd_;
};

} // namespace

std::string RegularFileError::description() const {
    switch (kind) {
    case Kind::missing:
        return "the file does not exist";
    case Kind::notRegular:
        return "it is not a regular file";
    case Kind::tooLarge:
        return "the file is too large";
    case Kind::unreadable:
        return std::string("the file could not be read: ") + std::strerror(errorNumber);
    }
    return {};
}

Expected<std::string, RegularFileError> readRegularFile(const std::string& path,
                                                        std::size_t maximumBytes) {
    using Kind = RegularFileError::Kind;
    // Non-blocking, so that opening a FIFO without a writer does not wait for one.
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.get() < 0) {
        const int error = errno;
        return unexpected(
            RegularFileError{error == ENOENT ? Kind::missing : Kind::unreadable, error});
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) {
        return unexpected(RegularFileError{Kind::unreadable, errno});
    }
    if (!S_ISREG(status.st_mode)) {
        return unexpected(RegularFileError{Kind::notRegular, 0});
    }
    if (status.st_size < 0 || static_cast<std::size_t>(status.st_size) > maximumBytes) {
        return unexpected(RegularFileError{Kind::tooLarge, 0});
    }
    // The size may change while we read: never read more than one byte past the cap.
    std::string contents;
    contents.reserve(static_cast<std::size_t>(status.st_size));
    char chunk[16384];
    while (contents.size() <= maximumBytes) {
        const std::size_t wanted = std::min(sizeof chunk, maximumBytes + 1 - contents.size());
        const ssize_t got = ::read(file.get(), chunk, wanted);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return unexpected(RegularFileError{Kind::unreadable, errno});
        }
        if (got == 0) {
            break;
        }
        contents.append(chunk, static_cast<std::size_t>(got));
    }
    if (contents.size() > maximumBytes) {
        return unexpected(RegularFileError{Kind::tooLarge, 0});
    }
    return contents;
}

} // namespace kestrelamp
