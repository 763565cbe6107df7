#include "platform/LinuxRunningApplications.h"

#include "platform/ApplicationNames.h"

#include <cerrno>
#include <csignal>

namespace kestrelamp {

namespace {

std::vector<std::filesystem::file_time_type>
modificationTimes(const std::vector<std::string>& directories) {
    std::vector<std::filesystem::file_time_type> times;
    for (const std::string& directory : directories) {
        std::error_code error;
        times.push_back(std::filesystem::last_write_time(directory, error));
    }
    return times;
}

} // namespace

bool processExists(std::int32_t pid) {
    if (pid <= 0) {
        return false;
    }
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

LinuxRunningApplications::LinuxRunningApplications(const AudioClientDirectory& clients,
                                                   std::vector<std::string> applicationDirs)
    : clients_(clients)
    , directories_(applicationDirs.empty() ? applicationDirectories()
                                           : std::move(applicationDirs)) {}

std::optional<RunningApplication>
LinuxRunningApplications::firstRunningApplication(const std::string& bundleID) const {
    for (const AudioClient& client : clients_.audioClients(bundleID)) {
        if (client.bundleID == bundleID && processExists(client.pid)) {
            return runningApplicationFor(client, desktopEntries());
        }
    }
    return std::nullopt;
}

const DesktopEntryIndex& LinuxRunningApplications::desktopEntries() const {
    auto times = modificationTimes(directories_);
    if (times != readAt_) {
        entries_ = DesktopEntryIndex::load(directories_);
        readAt_ = std::move(times);
    }
    return entries_;
}

} // namespace kestrelamp
