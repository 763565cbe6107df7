#include "app/UpdaterManager.h"
#include "platform/AppcastUpdater.h"
#include "platform/SimulatedUpdater.h"

#include "LocalHttpServer.h"
#include "TempHome.h"

#include <gtest/gtest.h>

namespace kestrelamp {
namespace {

// The manager's own controller, pointed at a local feed through the environment.
class RealUpdaterOnLocalFeed : public testing::Test {
protected:
    void startWithFeed(const QString& address) {
        qputenv(AppcastUpdater::feedAddressVariable, address.toUtf8());
        output = test::captureStdout([&] { manager = std::make_unique<UpdaterManager>(notifier); });
        qunsetenv(AppcastUpdater::feedAddressVariable);
    }

    test::TempHome home;
    test::LocalHttpServer server;
    RecordingUpdateNotifier notifier;
    std::unique_ptr<UpdaterManager> manager;
    std::string output;
};

TEST_F(RealUpdaterOnLocalFeed, AnUnusableFeedAddressFailsTheStart) {
    startWithFeed("ftp://updates.kestrelamp.org/appcast.xml");
    EXPECT_EQ(output, "[UpdaterManager] Failed to start updater: The update feed address "
                      "\"ftp://updates.kestrelamp.org/appcast.xml\" is not a valid web address.\n");
    EXPECT_FALSE(manager->canCheckForUpdates());
    // The toggle still shows and keeps its setting.
    EXPECT_TRUE(manager->automaticallyChecksForUpdates());
    manager->setAutomaticallyChecksForUpdates(false);
    EXPECT_FALSE(manager->automaticallyChecksForUpdates());
    manager->checkForUpdates();
    ASSERT_EQ(notifier.reports.size(), 1u);
    EXPECT_EQ(notifier.reports[0].result.error.kind, UpdateCheckError::Kind::notStarted);
}

} // namespace
} // namespace kestrelamp
