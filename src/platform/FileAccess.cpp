#include "platform/FileAccess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrelamp {
namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd)
        : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closing can report a write that failed late (NFS, quota), so it is checked.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 || errno == EINTR;
    }

private:
    int fd_;
};

std::string reason(int error) {
    return std::generic_category().message(error);
}

Unexpected<FileError> failure(const QString& path, std::string why) {
    return unexpected(FileError{path.toStdString(), std::move(why)});
}

Unexpected<FileError> failure(const QString& path, const char* step, int error) {
    return failure(path, std::string(step) + ": " + reason(error));
}

const char* fileKind(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "a folder";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "a device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "not a plain file";
}

// Regular files never block; the flag matters only for FIFOs and devices, which are refused.
Expected<void, FileError> readAll(int fd, const QString& path, std::int64_t maxBytes,
                                  QByteArray& bytes) {
    char chunk[65536];
    for (;;) {
        const ssize_t count = ::read(fd, chunk, sizeof chunk);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return failure(path, "could not read", errno);
        }
        if (count == 0) {
            return {};
        }
        if (bytes.size() + count > maxBytes) {
            break;
        }
        bytes.append(chunk, count);
    }
    return failure(path, "larger than " + std::to_string(maxBytes) + " bytes");
}

Expected<void, FileError> writeAll(int fd, const QString& path, const QByteArray& bytes) {
    const char* next = bytes.constData();
    std::size_t left = std::size_t(bytes.size());
    while (left > 0) {
        const ssize_t count = ::write(fd, next, left);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return failure(path, "could not write", errno);
        }
        if (count == 0) {
            return failure(path, "could not write", EIO);
        }
        next += count;
        left -= std::size_t(count);
    }
    return {};
}

// A symbolic link to a regular file is followed, as an editor would; anything else is replaced.
QString replacedPath(const QString& path) {
    const QFileInfo info(path);
    if (info.isSymLink()) {
        const QString target = info.canonicalFilePath();
        if (!target.isEmpty() && QFileInfo(target).isFile()) {
            return target;
        }
    }
    return info.absoluteFilePath();
}

QByteArray temporaryName(const QString& target) {
    static std::atomic<unsigned> counter{0};
    const QFileInfo info(target);
    return QFile::encodeName(info.absolutePath() + "/." + info.fileName() + ".tmp-" +
                             QString::number(::getpid()) + "-" + QString::number(++counter));
}

} // namespace

Expected<std::optional<QByteArray>, FileError> readRegularFile(const QString& path,
                                                               std::int64_t maxBytes) {
    const QByteArray name = QFile::encodeName(path);
    FileDescriptor file(::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!file.valid()) {
        if (errno == ENOENT) {
            return std::optional<QByteArray>{};
        }
        return failure(path, "could not open", errno);
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) {
        return failure(path, "could not examine", errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return failure(path, std::string("not a regular file (") + fileKind(status.st_mode) + ")");
    }
    if (status.st_size > maxBytes) {
        return failure(path, "larger than " + std::to_string(maxBytes) + " bytes");
    }
    QByteArray bytes;
    bytes.reserve(qsizetype(status.st_size));
    if (auto read = readAll(file.get(), path, maxBytes, bytes); !read) {
        return unexpected(read.error());
    }
    return std::optional<QByteArray>(std::move(bytes));
}

Expected<void, FileError> replaceFileAtomically(const QString& path, const QByteArray& bytes) {
    const QString target = replacedPath(path);
    const QString folder = QFileInfo(target).absolutePath();
    if (!QDir().mkpath(folder)) {
        return failure(path, "could not create the folder " + folder.toStdString());
    }
    const QByteArray targetName = QFile::encodeName(target);
    struct stat old {};
    const bool replacing = ::stat(targetName.constData(), &old) == 0 && S_ISREG(old.st_mode);

    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = temporaryName(target);
        fd =
            ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd < 0 && errno != EEXIST) {
            return failure(path, "could not create a temporary file", errno);
        }
    }
    if (fd < 0) {
        return failure(path, "could not create a temporary file", EEXIST);
    }
    FileDescriptor file(fd);
    const auto discard = [&](Unexpected<FileError> why) {
        ::unlink(temporary.constData());
        return why;
    };
    if (replacing && ::fchmod(file.get(), old.st_mode & 07777) != 0) {
        return discard(failure(path, "could not keep the file's permissions", errno));
    }
    if (auto written = writeAll(file.get(), path, bytes); !written) {
        return discard(unexpected(written.error()));
    }
    if (::fsync(file.get()) != 0) {
        return discard(failure(path, "could not sync", errno));
    }
    if (!file.close()) {
        return discard(failure(path, "could not close", errno));
    }
    if (::rename(temporary.constData(), targetName.constData()) != 0) {
        return discard(failure(path, "could not replace the file", errno));
    }
    // The rename itself reaches the disk only with its folder.
    FileDescriptor directory(
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory.valid() || (::fsync(directory.get()) != 0 && errno != EINVAL)) {
        return failure(path, "written, but its folder could not be synced", errno);
    }
    return {};
}

void ignoreFileSizeLimitSignal() {
    std::signal(SIGXFSZ, SIG_IGN);
}

} // namespace kestrelamp
