#pragma once

#include "platform/AudioClientDirectory.h"
#include "platform/DesktopEntry.h"
#include "platform/RunningApplications.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kestrelamp {

// Running applications as Linux knows them: an application runs while the process of one of its
// audio clients exists. Its name and icon come from its desktop entry, else from what the client
// announced. Every application is regular: there are no background-only ones to tell apart.
class LinuxRunningApplications final : public RunningApplications {
public:
    // The directories are searched for desktop entries; by default the XDG data directories.
    explicit LinuxRunningApplications(const AudioClientDirectory& clients,
                                      std::vector<std::string> applicationDirectories = {});

    std::optional<RunningApplication>
    firstRunningApplication(const std::string& bundleID) const override;

private:
    const std::optional<DesktopEntry>& desktopEntry(const std::string& bundleID) const;

    const AudioClientDirectory& clients_;
    std::vector<std::string> directories_;
    // Every refresh asks for every application; the files are read once per application.
    mutable std::map<std::string, std::optional<DesktopEntry>> entries_;
};

// Whether a process with this id exists (including one we may not signal).
bool processExists(std::int32_t pid);

} // namespace kestrelamp
