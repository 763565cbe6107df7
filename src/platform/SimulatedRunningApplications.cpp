#include "platform/SimulatedRunningApplications.h"

#include <algorithm>

namespace kestrelamp {

std::optional<RunningApplication>
SimulatedRunningApplications::firstRunningApplication(const std::string& bundleID) const {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(instances_.begin(), instances_.end(),
                                 [&](const auto& instance) { return instance.first == bundleID; });
    if (it == instances_.end()) {
        return std::nullopt;
    }
    return it->second;
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

} // namespace kestrelamp
