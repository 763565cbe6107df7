#pragma once

#include "app/UpdaterManager.h"
#include "views/SettingsWindow.h"

namespace kestrelamp {

// The updater manager as the settings window's Update page sees it.
class UpdaterSettings final : public UpdateSettingsModel {
    Q_OBJECT

public:
    explicit UpdaterSettings(UpdaterManager& manager, QObject* parent = nullptr);

    bool canCheckForUpdates() const override { return manager_.canCheckForUpdates(); }
    bool automaticallyChecksForUpdates() const override {
        return manager_.automaticallyChecksForUpdates();
    }
    void setAutomaticallyChecksForUpdates(bool automatic) override {
        manager_.setAutomaticallyChecksForUpdates(automatic);
    }
    void checkForUpdates() override { manager_.checkForUpdates(); }

private:
    UpdaterManager& manager_;
};

} // namespace kestrelamp
