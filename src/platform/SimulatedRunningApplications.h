#pragma once

// Running applications held in memory, for tests and for trying the program: filled from a
// scenario and changed by tests while the program runs.

#include "platform/RunningApplications.h"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kestrelamp {

class SimulatedRunningApplications final : public RunningApplications {
public:
    SimulatedRunningApplications() = default;

    std::optional<RunningApplication>
    firstRunningApplication(const std::string& bundleID) const override;

    // One more running instance; lookups return the earliest one added.
    void add(const std::string& bundleID, const RunningApplication& application);
    // Every instance with that identifier quits.
    void remove(const std::string& bundleID);

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, RunningApplication>> instances_;
};

} // namespace kestrelamp
