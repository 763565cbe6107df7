#include "app/UpdaterManager.h"
#include "platform/AppcastUpdater.h"
#include "platform/SimulatedUpdater.h"

#include "LocalHttpServer.h"
#include "TempHome.h"

#include <gtest/gtest.h>

namespace kestrelamp {
namespace {

std::string captureStdout(const std::function<void()>& body) {
    testing::internal::CaptureStdout();
    body();
    return testing::internal::GetCapturedStdout();
}

// Hands the manager a simulated controller and keeps a pointer to it for the test.
struct SimulatedControllerFactory {
    UpdaterManager::ControllerFactory factory(std::optional<UpdaterStartError> startError = {}) {
        return [this, startError](const UpdaterDelegate&) -> std::unique_ptr<UpdaterController> {
            auto made = std::make_unique<SimulatedUpdaterController>();
            made->simulatedUpdater.startError = startError;
            controller = made.get();
            return made;
        };
    }
    SimulatedUpdaterController* controller = nullptr;
};

TEST(UpdaterManager, ConfiguresTheControllerThenStartsIt) {
    SimulatedControllerFactory made;
    std::unique_ptr<UpdaterManager> manager;
    EXPECT_EQ(captureStdout([&] { manager = std::make_unique<UpdaterManager>(made.factory()); }),
              "");
    ASSERT_NE(made.controller, nullptr);
    EXPECT_EQ(manager->controller(), made.controller);
    EXPECT_EQ(made.controller->simulatedUpdater.calls,
              (std::vector<std::string>{"setAutomaticallyChecksForUpdates true",
                                        "setUpdateCheckInterval 86400", "startUpdater"}));
    EXPECT_TRUE(manager->property("canCheckForUpdates").toBool());
}

TEST(UpdaterManager, ForwardsChecksAndTheAutomaticFlag) {
    SimulatedControllerFactory made;
    UpdaterManager manager(made.factory());
    SimulatedUpdaterController& controller = *made.controller;
    controller.simulatedUpdater.calls.clear();

    manager.checkForUpdatesInBackground();
    manager.checkForUpdates();
    manager.setAutomaticallyChecksForUpdates(false);
    EXPECT_EQ(controller.userChecks, 1);
    EXPECT_EQ(controller.simulatedUpdater.calls,
              (std::vector<std::string>{"checkForUpdatesInBackground",
                                        "setAutomaticallyChecksForUpdates false"}));
    EXPECT_FALSE(manager.automaticallyChecksForUpdates());
}

TEST(UpdaterManager, WithoutAControllerEverythingIsANoOp) {
    std::unique_ptr<UpdaterManager> manager;
    EXPECT_EQ(captureStdout([&] {
                  manager = std::make_unique<UpdaterManager>(
                      [](const UpdaterDelegate&) { return std::unique_ptr<UpdaterController>(); });
              }),
              "");
    EXPECT_EQ(manager->controller(), nullptr);
    EXPECT_FALSE(manager->canCheckForUpdates());
    manager->setAutomaticallyChecksForUpdates(false);
    EXPECT_TRUE(manager->automaticallyChecksForUpdates());
    manager->checkForUpdates();
    manager->checkForUpdatesInBackground();
}

// The manager's own controller, pointed at a local feed through the environment.
class RealUpdaterOnLocalFeed : public testing::Test {
protected:
    void startWithFeed(const QString& address) {
        qputenv(AppcastUpdater::feedAddressVariable, address.toUtf8());
        output = captureStdout([&] { manager = std::make_unique<UpdaterManager>(notifier); });
        qunsetenv(AppcastUpdater::feedAddressVariable);
    }

    test::TempHome home;
    test::LocalHttpServer server;
    RecordingUpdateNotifier notifier;
    std::unique_ptr<UpdaterManager> manager;
    std::string output;
};

TEST_F(RealUpdaterOnLocalFeed, AutomaticChecksAreOnAtEveryStart) {
    startWithFeed(server.url());
    manager->setAutomaticallyChecksForUpdates(false);
    manager.reset();
    startWithFeed(server.url());
    EXPECT_TRUE(manager->automaticallyChecksForUpdates());
}

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
