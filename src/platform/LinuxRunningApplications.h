#pragma once

#include "platform/AudioClientDirectory.h"
#include "platform/DesktopEntryIndex.h"
#include "platform/RunningApplications.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrelamp {

// Running applications as Linux knows them: an application runs while the process of one of its
// audio clients exists. Names and icons follow runningApplicationFor(). Every application is
// regular: there are no background-only ones to tell apart.
class LinuxRunningApplications final : public RunningApplications {
public:
    // The directories are searched for desktop entries; by default the XDG data directories.
    explicit LinuxRunningApplications(const AudioClientDirectory& clients,
                                      std::vector<std::string> applicationDirectories = {});

    std::optional<RunningApplication>
    firstRunningApplication(const std::string& bundleID) const override;

private:
    // Read again when a directory changed (an application installed or removed).
    const DesktopEntryIndex& desktopEntries() const;

    const AudioClientDirectory& clients_;
    std::vector<std::string> directories_;
    mutable DesktopEntryIndex entries_;
    mutable std::optional<std::vector<std::filesystem::file_time_type>> readAt_;
};

// Whether a process with this id exists (including one we may not signal).
bool processExists(std::int32_t pid);

} // namespace kestrelamp
