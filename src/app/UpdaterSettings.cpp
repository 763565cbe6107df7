#include "app/UpdaterSettings.h"

namespace kestrelamp {

UpdaterSettings::UpdaterSettings(UpdaterManager& manager, QObject* parent)
    : UpdateSettingsModel(parent)
    , manager_(manager) {
    connect(&manager_, &UpdaterManager::canCheckForUpdatesChanged, this,
            &UpdateSettingsModel::canCheckForUpdatesChanged);
}

} // namespace kestrelamp
