#pragma once

#include <map>
#include <string>
#include <vector>

namespace kestrelamp::e2e {

// Whether the process's own children (a browser's, a shell pipeline's) end with it.
enum class ProcessGroup { shared, own };

// A process started by a test, ended by its pid when the object goes (SIGTERM, then SIGKILL).
// Its standard output and error go to a log file. With a process group of its own, signals go
// to the whole group, and what is left of it once the process ended is killed.
class ChildProcess {
public:
    // Extra environment variables are added to the test's own environment.
    ChildProcess(std::vector<std::string> argv, std::string logPath,
                 std::map<std::string, std::string> environment = {},
                 ProcessGroup group = ProcessGroup::shared);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    int pid() const { return pid_; }
    bool isRunning();
    // Sends the signal; false if the process has already been reaped.
    bool signal(int signalNumber);
    // SIGTERM, then SIGKILL after graceMs; returns the exit status (or -signal).
    int stop(int graceMs = 3000);
    // Waits for the process to end by itself; nothing if it is still running after timeoutMs.
    bool waitForExit(int timeoutMs);
    int exitStatus() const { return status_; }

    std::string log() const;
    const std::string& logPath() const { return logPath_; }

private:
    bool reap(bool block);
    int target() const { return ownGroup_ ? -pid_ : pid_; }

    int pid_ = -1;
    bool ownGroup_ = false;
    int status_ = 0;
    bool reaped_ = false;
    std::string logPath_;
};

// Runs a command to its end (limited to timeoutMs) and returns its exit status and output.
struct CommandResult {
    int status = -1;
    std::string output;
};
CommandResult runCommand(const std::vector<std::string>& argv, const std::string& logPath,
                         int timeoutMs = 10000);

} // namespace kestrelamp::e2e
