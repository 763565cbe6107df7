#pragma once

// The update framework as the program sees it: a controller that owns an updater, and the
// delegate that tells the updater where its feed is. AppcastUpdater and
// StandardUpdaterController are the real ones; SimulatedUpdater stands in for them in tests.

#include "platform/Expected.h"

#include <string>

namespace kestrelamp {

struct UpdaterStartError {
    enum class Kind { noFeedAddress, invalidFeedAddress, insecureFeedAddress };

    Kind kind = Kind::noFeedAddress;
    std::string address;

    std::string description() const;
};

class UpdaterFeedDelegate {
public:
    virtual ~UpdaterFeedDelegate() = default;
    virtual std::string feedURLString() const = 0;
};

class Updater {
public:
    virtual ~Updater() = default;

    // Reads the feed address and, while automatic checks are on, schedules them. Starting
    // again changes nothing.
    virtual Expected<void, UpdaterStartError> startUpdater() = 0;

    virtual bool automaticallyChecksForUpdates() const = 0;
    virtual void setAutomaticallyChecksForUpdates(bool automatic) = 0;
    // Seconds between automatic checks.
    virtual double updateCheckInterval() const = 0;
    virtual void setUpdateCheckInterval(double seconds) = 0;

    // Checks without the user having asked; only a newer version is worth telling them about.
    virtual void checkForUpdatesInBackground() = 0;
};

class UpdaterController {
public:
    virtual ~UpdaterController() = default;

    virtual Updater& updater() = 0;
    // The user asked: every outcome is reported, including "up to date" and failures.
    virtual void checkForUpdates() = 0;
};

} // namespace kestrelamp
