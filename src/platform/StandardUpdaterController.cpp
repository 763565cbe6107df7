#include "platform/StandardUpdaterController.h"

#include "platform/BundleInfo.h"
#include "platform/FeedDownloadProcess.h"

#include <cstdio>

namespace kestrelamp {

StandardUpdaterController::StandardUpdaterController(bool startingUpdater,
                                                     const UpdaterFeedDelegate* updaterDelegate,
                                                     UpdateNotifier& userDriver,
                                                     std::string currentVersion,
                                                     const QString& feedProgram)
    : updater_(updaterDelegate, userDriver,
               currentVersion.empty() ? BundleInfo().shortVersionString().toStdString()
                                      : std::move(currentVersion)) {
    if (!feedProgram.isEmpty()) {
        updater_.setFeedFetcher(FeedDownloadProcess::fetcher(feedProgram));
    }
    if (startingUpdater) {
        if (const auto started = updater_.startUpdater(); !started) {
            std::printf("Failed to start updater: %s\n", started.error().description().c_str());
            std::fflush(stdout);
        }
    }
}

} // namespace kestrelamp
