#pragma once

#include "platform/StoredFile.h"
#include "profiles/AudioProfile.h"

#include <QObject>
#include <QString>

#include <optional>
#include <vector>

namespace kestrelamp {

// The saved profiles, in insertion order, and which one is active. The list lives in
// profiles.json; the active profile is not persisted and starts absent at every launch.
class ProfileManager : public QObject {
    Q_OBJECT

public:
    // Keeps profiles.json in the given folder (created if missing) and loads it.
    explicit ProfileManager(const QString& folder, QObject* parent = nullptr);

    const std::vector<AudioProfile>& profiles() const { return profiles_; }
    const std::optional<QUuid>& activeProfileID() const { return activeProfileID_; }
    QString storagePath() const { return file_.path(); }

    void setProfiles(std::vector<AudioProfile> profiles);
    void setActiveProfileID(std::optional<QUuid> id);

    const AudioProfile* profile(const QUuid& id) const;

    void loadProfiles();
    void saveProfiles();
    // Replaces the first profile with P's id, in place, and saves; nothing when there is none.
    void updateProfile(const AudioProfile& profile);
    // Removes every profile with that id, clears the active one if it was, and always saves.
    void deleteProfile(const QUuid& id);

Q_SIGNALS:
    void profilesChanged();
    void activeProfileIDChanged();

private:
    StoredFile file_;
    std::vector<AudioProfile> profiles_;
    std::optional<QUuid> activeProfileID_;
};

} // namespace kestrelamp
