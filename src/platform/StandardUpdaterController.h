#pragma once

#include "platform/AppcastUpdater.h"

namespace kestrelamp {

// Owns the real updater; the notifier plays the part of the user interface, showing what each
// check found.
class StandardUpdaterController final : public UpdaterController {
public:
    // The current version defaults to the program's own. Each check downloads the feed by running
    // the feed program (kestrelamp-fetch-feed); without one every check fails.
    StandardUpdaterController(bool startingUpdater, const UpdaterFeedDelegate* updaterDelegate,
                              UpdateNotifier& userDriver, std::string currentVersion = {},
                              const QString& feedProgram = {});

    Updater& updater() override { return updater_; }
    AppcastUpdater& appcastUpdater() { return updater_; }
    void checkForUpdates() override { updater_.checkForUpdates(); }

private:
    AppcastUpdater updater_;
};

} // namespace kestrelamp
