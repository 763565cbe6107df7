#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QSettings;

namespace kestrelamp {

// The program's user defaults, kept with QSettings in $XDG_CONFIG_HOME/Kestrelamp/Kestrelamp.conf.
// Every write, through any instance in the process, is followed by didChange() on every instance.
class UserDefaults : public QObject {
    Q_OBJECT

public:
    static constexpr const char* showOnlyLiveKey = "showOnlyLive";
    static constexpr const char* refreshIntervalKey = "refreshInterval";
    static constexpr const char* launchAtLoginKey = "launchAtLogin";
    // Kept by the updater: whether checks repeat on their own, and when the last one ended
    // (seconds since the epoch).
    static constexpr const char* automaticallyChecksForUpdatesKey = "automaticallyChecksForUpdates";
    static constexpr const char* lastUpdateCheckTimeKey = "lastUpdateCheckTime";
    // The call mix: whether it is on, the microphone mixed in ("" or unset: none, "default": the
    // system's default input, else an input device's UID), its volume (unset: 1) and mute.
    static constexpr const char* callMixOnKey = "callMixOn";
    static constexpr const char* callMixMicrophoneKey = "callMixMicrophone";
    static constexpr const char* callMixMicrophoneVolumeKey = "callMixMicrophoneVolume";
    static constexpr const char* callMixMicrophoneMutedKey = "callMixMicrophoneMuted";

    explicit UserDefaults(QObject* parent = nullptr);
    // For tests and tools that keep their defaults elsewhere.
    explicit UserDefaults(const QString& filePath, QObject* parent = nullptr);
    ~UserDefaults() override;

    // Unset keys read as false and 0.0.
    bool boolForKey(const QString& key) const;
    double doubleForKey(const QString& key) const;
    // Unset keys read as "".
    QString stringForKey(const QString& key) const;
    bool contains(const QString& key) const;

    void setBool(const QString& key, bool value);
    void setDouble(const QString& key, double value);
    void setString(const QString& key, const QString& value);
    void remove(const QString& key);

    QString filePath() const;
    static QString defaultFilePath();

Q_SIGNALS:
    void didChange();

private:
    void written();

    std::unique_ptr<QSettings> settings_;
};

} // namespace kestrelamp
