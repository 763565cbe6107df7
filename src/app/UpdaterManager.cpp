#include "app/UpdaterManager.h"

#include "platform/StandardUpdaterController.h"

#include <cstdio>

namespace kestrelamp {

UpdaterManager::UpdaterManager(UpdateNotifier& notifier, QObject* parent)
    : UpdaterManager(standardControllerFactory(notifier), parent) {}

UpdaterManager::UpdaterManager(const ControllerFactory& makeController, QObject* parent)
    : QObject(parent) {
    controller_ = makeController ? makeController(delegate_) : nullptr;
    if (!controller_) {
        return;
    }
    Updater& updater = controller_->updater();
    updater.setAutomaticallyChecksForUpdates(true);
    updater.setUpdateCheckInterval(updateCheckInterval);
    if (const auto started = updater.startUpdater(); started) {
        setCanCheckForUpdates(true);
    } else {
        std::printf("[UpdaterManager] Failed to start updater: %s\n",
                    started.error().description().c_str());
        std::fflush(stdout);
    }
}

UpdaterManager::~UpdaterManager() = default;

UpdaterManager::ControllerFactory
UpdaterManager::standardControllerFactory(UpdateNotifier& notifier, const QString& feedProgram) {
    return [&notifier,
            feedProgram](const UpdaterDelegate& delegate) -> std::unique_ptr<UpdaterController> {
        return std::make_unique<StandardUpdaterController>(false, &delegate, notifier,
                                                           std::string(), feedProgram);
    };
}

void UpdaterManager::checkForUpdatesInBackground() {
    if (controller_) {
        controller_->updater().checkForUpdatesInBackground();
    }
}

void UpdaterManager::checkForUpdates() {
    if (controller_) {
        controller_->checkForUpdates();
    }
}

bool UpdaterManager::automaticallyChecksForUpdates() const {
    return controller_ ? controller_->updater().automaticallyChecksForUpdates() : true;
}

void UpdaterManager::setAutomaticallyChecksForUpdates(bool automatic) {
    if (controller_) {
        controller_->updater().setAutomaticallyChecksForUpdates(automatic);
    }
}

void UpdaterManager::setCanCheckForUpdates(bool canCheck) {
    canCheckForUpdates_ = canCheck;
    Q_EMIT canCheckForUpdatesChanged(canCheck);
}

} // namespace kestrelamp
