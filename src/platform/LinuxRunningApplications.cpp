#include "platform/LinuxRunningApplications.h"

#include "platform/DesktopEntry.h"

#include <cerrno>
#include <csignal>

namespace kestrelamp {

namespace {

std::optional<std::string> firstProperty(const AudioClient& client,
                                         std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        if (const auto it = client.properties.find(key);
            it != client.properties.end() && !it->second.empty()) {
            return it->second;
        }
    }
    return std::nullopt;
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
        if (client.bundleID != bundleID || !processExists(client.pid)) {
            continue;
        }
        RunningApplication application;
        const std::optional<DesktopEntry>& entry = desktopEntry(bundleID);
        application.localizedName =
            entry ? std::optional(entry->name) : firstProperty(client, {"application.name"});
        application.icon = entry && entry->icon
                               ? entry->icon
                               : firstProperty(client, {"application.icon-name", "media.icon-name",
                                                        "window.icon-name"});
        application.activationPolicy = ActivationPolicy::regular;
        return application;
    }
    return std::nullopt;
}

const std::optional<DesktopEntry>&
LinuxRunningApplications::desktopEntry(const std::string& bundleID) const {
    auto it = entries_.find(bundleID);
    if (it == entries_.end()) {
        it = entries_.emplace(bundleID, findDesktopEntry(bundleID, directories_)).first;
    }
    return it->second;
}

} // namespace kestrelamp
