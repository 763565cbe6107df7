#pragma once

// Faults that real disks produce, made on purpose: a file-size limit that makes writes fail part
// way, and permissions that hold even for root. Each runs in a forked child so that the limit or
// the lost privileges never reach the test process.

#include <QString>

#include <sys/resource.h>

#include <csignal>

#include <functional>
#include <string>

namespace kestrelamp::test {

// Runs body in a forked child and returns the text it returned; a child that ends otherwise (a
// crash, a signal) gives "child failed: …".
std::string inChild(const std::function<std::string()>& body);

// Writes past this many bytes of a file fail with EFBIG (SIGXFSZ ignored), for as long as the
// object lives. In the test process itself, keep what it writes meanwhile below the limit.
class FileSizeLimit {
public:
    explicit FileSizeLimit(long bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    void (*savedHandler_)(int) = nullptr;
};

// In a child: runs as an unprivileged user, so that a read-only folder is read-only. The folders
// above path's own folder are opened to others for reading first (inside the temporary folder
// only); path's folder keeps the mode the caller gave it.
void dropPrivilegesToReach(const QString& path);

} // namespace kestrelamp::test
