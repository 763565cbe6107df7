#include "FileFaults.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <cstdio>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrelamp::test {

std::string inChild(const std::function<std::string()>& body) {
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) {
        return "child failed: no pipe";
    }
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeEnds[0]);
        const std::string report = body();
        const ssize_t written = ::write(pipeEnds[1], report.data(), report.size());
        ::_exit(written == ssize_t(report.size()) ? 0 : 3);
    }
    ::close(pipeEnds[1]);
    std::string report;
    char chunk[4096];
    for (ssize_t count; (count = ::read(pipeEnds[0], chunk, sizeof chunk)) != 0;) {
        if (count < 0) {
            break;
        }
        report.append(chunk, std::size_t(count));
    }
    ::close(pipeEnds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return "child failed: status " + std::to_string(status);
    }
    return report;
}

FileSizeLimit::FileSizeLimit(long bytes) {
    savedHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limit = saved_;
    limit.rlim_cur = rlim_t(bytes);
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, savedHandler_);
}

void dropPrivilegesToReach(const QString& path) {
    if (::geteuid() != 0) {
        return;
    }
    QDir dir(QFileInfo(path).absolutePath());
    while (dir.cdUp() && !dir.isRoot()) {
        if (dir.path().startsWith(QDir::tempPath() + "/")) {
            ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
        }
    }
    const uid_t nobody = 65534;
    if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) {
        ::_exit(4);
    }
}

} // namespace kestrelamp::test
