#include "ChildProcess.h"

#include <QDeadlineTimer>
#include <QThread>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kestrelamp::e2e {

ChildProcess::ChildProcess(std::vector<std::string> argv, std::string logPath,
                           std::map<std::string, std::string> environment, ProcessGroup group)
    : ownGroup_(group == ProcessGroup::own)
    , logPath_(std::move(logPath)) {
    // The test's environment, with the extra variables in place of any of the same name.
    std::vector<std::string> envStrings;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        if (!environment.contains(text.substr(0, text.find('=')))) {
            envStrings.push_back(text);
        }
    }
    for (const auto& [key, value] : environment) {
        envStrings.push_back(key + "=" + value);
    }
    std::vector<char*> envp;
    for (std::string& text : envStrings) {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (std::string& arg : argv) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (ownGroup_) {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data()) == 0) {
        pid_ = pid;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
    stop();
}

bool ChildProcess::reap(bool block) {
    if (pid_ <= 0 || reaped_) {
        return true;
    }
    int status = 0;
    const pid_t result = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (result == pid_) {
        reaped_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        return true;
    }
    return result < 0;
}

bool ChildProcess::isRunning() {
    return pid_ > 0 && !reap(false);
}

bool ChildProcess::signal(int signalNumber) {
    if (!isRunning()) {
        return false;
    }
    return ::kill(target(), signalNumber) == 0;
}

bool ChildProcess::waitForExit(int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (isRunning()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(10);
    }
    return true;
}

int ChildProcess::stop(int graceMs) {
    if (isRunning()) {
        ::kill(target(), SIGTERM);
        if (!waitForExit(graceMs)) {
            ::kill(target(), SIGKILL);
            reap(true);
        }
    }
    // The group's id stays taken while any member lives, so this reaches only what is left of it.
    if (ownGroup_ && pid_ > 0) {
        ::kill(-pid_, SIGKILL);
        ownGroup_ = false;
    }
    return status_;
}

std::string ChildProcess::log() const {
    std::ifstream file(logPath_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

CommandResult runCommand(const std::vector<std::string>& argv, const std::string& logPath,
                         int timeoutMs) {
    std::remove(logPath.c_str());
    ChildProcess process(argv, logPath);
    CommandResult result;
    if (!process.started()) {
        return result;
    }
    if (!process.waitForExit(timeoutMs)) {
        process.stop(100);
        result.status = -1;
    } else {
        result.status = process.exitStatus();
    }
    result.output = process.log();
    return result;
}

} // namespace kestrelamp::e2e
