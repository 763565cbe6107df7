#include "platform/SimulatedRunningApplications.h"

#include "platform/ApplicationNames.h"

#include <algorithm>

namespace kestrelamp {

std::optional<RunningApplication>
SimulatedRunningApplications::firstRunningApplication(const std::string& bundleID) const {
    const AudioClientDirectory* clients = nullptr;
    {
        std::lock_guard lock(mutex_);
        const auto it =
            std::find_if(instances_.begin(), instances_.end(),
                         [&](const auto& instance) { return instance.first == bundleID; });
        if (it != instances_.end()) {
            return it->second;
        }
        clients = clients_;
    }
    if (clients == nullptr) {
        return std::nullopt;
    }
    for (const AudioClient& client : clients->audioClients(bundleID)) {
        if (client.bundleID == bundleID) {
            return runningApplicationFor(client, entries_);
        }
    }
    return std::nullopt;
}

void SimulatedRunningApplications::add(const std::string& bundleID,
                                       const RunningApplication& application) {
    std::lock_guard lock(mutex_);
    instances_.emplace_back(bundleID, application);
}

void SimulatedRunningApplications::remove(const std::string& bundleID) {
    std::lock_guard lock(mutex_);
    std::erase_if(instances_, [&](const auto& instance) { return instance.first == bundleID; });
}

void SimulatedRunningApplications::nameFromClients(const AudioClientDirectory& clients,
                                                   DesktopEntryIndex entries) {
    std::lock_guard lock(mutex_);
    clients_ = &clients;
    entries_ = std::move(entries);
}

} // namespace kestrelamp
