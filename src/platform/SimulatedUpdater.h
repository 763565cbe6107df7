#pragma once

// An updater and controller that only record what they are asked, for tests of the code that
// drives them. Every call is appended to `calls` in order, with its argument.

#include "platform/Updater.h"

#include <optional>
#include <string>
#include <vector>

namespace kestrelamp {

class SimulatedUpdater final : public Updater {
public:
    // What the next startUpdater() returns; success when unset.
    std::optional<UpdaterStartError> startError;
    bool automatic = false;
    double interval = 0.0;
    std::vector<std::string> calls;

    Expected<void, UpdaterStartError> startUpdater() override;
    bool automaticallyChecksForUpdates() const override { return automatic; }
    void setAutomaticallyChecksForUpdates(bool value) override;
    double updateCheckInterval() const override { return interval; }
    void setUpdateCheckInterval(double seconds) override;
    void checkForUpdatesInBackground() override { calls.push_back("checkForUpdatesInBackground"); }
};

class SimulatedUpdaterController final : public UpdaterController {
public:
    SimulatedUpdater simulatedUpdater;
    int userChecks = 0;

    Updater& updater() override { return simulatedUpdater; }
    void checkForUpdates() override { ++userChecks; }
};

} // namespace kestrelamp
