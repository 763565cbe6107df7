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

    // Writes are refused, with the lock's reason, while another instance holds the folder.
    void setWriteGuard(const DataFolderLock& lock) { file_.setWriteGuard(&lock); }

    void loadProfiles();
    // A failure is printed and announced through saveFailed(); the profiles in memory stay.
    void saveProfiles();
    // Replaces the first profile with P's id, in place, and saves; nothing when there is none.
    void updateProfile(const AudioProfile& profile);
    // Removes every profile with that id, clears the active one if it was, and always saves.
    void deleteProfile(const QUuid& id);

Q_SIGNALS:
    void profilesChanged();
    void activeProfileIDChanged();
    // The "Failed to save profiles: …" line, as printed.
    void saveFailed(const QString& line);

private:
    StoredFile file_;
    std::vector<AudioProfile> profiles_;
    std::optional<QUuid> activeProfileID_;
};

} // namespace kestrelamp
