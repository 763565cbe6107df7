#pragma once

#include "app/UpdaterDelegate.h"
#include "platform/UpdateNotifier.h"
#include "platform/Updater.h"

#include <QObject>

#include <functional>
#include <memory>

namespace kestrelamp {

// Owns the update controller for the whole run: configures it once, starts it, and tells the
// settings window whether a check can be started.
class UpdaterManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)

public:
    // Makes the controller, not yet started, around the manager's delegate; may make none.
    using ControllerFactory =
        std::function<std::unique_ptr<UpdaterController>(const UpdaterDelegate& delegate)>;

    static constexpr double updateCheckInterval = 86400.0;

    // The real controller, reporting finished checks to the notifier, which must outlive the
    // manager.
    explicit UpdaterManager(UpdateNotifier& notifier, QObject* parent = nullptr);
    explicit UpdaterManager(const ControllerFactory& makeController, QObject* parent = nullptr);
    ~UpdaterManager() override;

    // With a feed program, checks download the feed in a process of it.
    static ControllerFactory standardControllerFactory(UpdateNotifier& notifier,
                                                       const QString& feedProgram = {});

    UpdaterController* controller() const { return controller_.get(); }
    const UpdaterDelegate& delegate() const { return delegate_; }
    bool canCheckForUpdates() const { return canCheckForUpdates_; }

    // Each does nothing without a controller.
    void checkForUpdatesInBackground();
    void checkForUpdates();
    // Reads true without a controller.
    bool automaticallyChecksForUpdates() const;
    void setAutomaticallyChecksForUpdates(bool automatic);

Q_SIGNALS:
    void canCheckForUpdatesChanged(bool canCheck);

private:
    void setCanCheckForUpdates(bool canCheck);

    // Declared first so that it outlives the controller that points at it.
    UpdaterDelegate delegate_;
    std::unique_ptr<UpdaterController> controller_;
    bool canCheckForUpdates_ = false;
};

} // namespace kestrelamp
