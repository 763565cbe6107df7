#pragma once

// Running applications held in memory, for tests and for trying the program: filled from a
// scenario and changed by tests while the program runs. An application not in the table can be
// named from the simulated service's clients, by the rules the Linux lookup follows.

#include "platform/AudioClientDirectory.h"
#include "platform/DesktopEntryIndex.h"
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

    // From now on an application the table does not hold runs while one of these clients
    // announces it, named by runningApplicationFor(). Made once, before the first lookup; the
    // directory must outlive this object.
    void nameFromClients(const AudioClientDirectory& clients, DesktopEntryIndex entries);

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, RunningApplication>> instances_;
    const AudioClientDirectory* clients_ = nullptr;
    DesktopEntryIndex entries_;
};

} // namespace kestrelamp
