#include "profiles/ProfileManager.h"

#include "platform/FailureReport.h"

#include <QDir>

#include <algorithm>

namespace kestrelamp {

ProfileManager::ProfileManager(const QString& folder, QObject* parent)
    : QObject(parent)
    , file_(folder + "/profiles.json") {
    QDir().mkpath(folder);
    loadProfiles();
}

void ProfileManager::setProfiles(std::vector<AudioProfile> profiles) {
    profiles_ = std::move(profiles);
    Q_EMIT profilesChanged();
}

void ProfileManager::setActiveProfileID(std::optional<QUuid> id) {
    activeProfileID_ = id;
    Q_EMIT activeProfileIDChanged();
}

const AudioProfile* ProfileManager::profile(const QUuid& id) const {
    const auto it = std::find_if(profiles_.begin(), profiles_.end(),
                                 [&](const AudioProfile& p) { return p.id == id; });
    return it == profiles_.end() ? nullptr : &*it;
}

void ProfileManager::loadProfiles() {
    const auto bytes = file_.read();
    if (!bytes) {
        reportFailure("Failed to load profiles: " + bytes.error());
        file_.markUnreadable();
        return;
    }
    if (!*bytes) {
        return;
    }
    auto decoded =
        decodeAudioProfiles(std::string_view((*bytes)->constData(), std::size_t((*bytes)->size())));
    if (!decoded) {
        reportFailure("Failed to load profiles: " + decoded.error().description);
        file_.markUnreadable();
        return;
    }
    setProfiles(std::move(*decoded));
}

void ProfileManager::saveProfiles() {
    const std::string bytes = encodeAudioProfiles(profiles_);
    if (auto written = file_.write(QByteArray::fromStdString(bytes)); !written) {
        const std::string line = "Failed to save profiles: " + written.error();
        reportFailure(line);
        Q_EMIT saveFailed(QString::fromStdString(line));
    }
}

void ProfileManager::updateProfile(const AudioProfile& updated) {
    const auto it = std::find_if(profiles_.begin(), profiles_.end(),
                                 [&](const AudioProfile& p) { return p.id == updated.id; });
    if (it == profiles_.end()) {
        return;
    }
    *it = updated;
    Q_EMIT profilesChanged();
    saveProfiles();
}

void ProfileManager::deleteProfile(const QUuid& id) {
    std::vector<AudioProfile> kept = profiles_;
    std::erase_if(kept, [&](const AudioProfile& p) { return p.id == id; });
    setProfiles(std::move(kept));
    if (activeProfileID_ && *activeProfileID_ == id) {
        setActiveProfileID(std::nullopt);
    }
    saveProfiles();
}

} // namespace kestrelamp
