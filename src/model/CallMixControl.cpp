#include "model/CallMixControl.h"

#include <algorithm>
#include <cmath>

namespace kestrelamp {

CallMixControl::CallMixControl(hal::AudioHardware& hardware, UserDefaults& userDefaults,
                               QObject* parent)
    : QObject(parent)
    , hardware_(hardware)
    , userDefaults_(userDefaults)
    , settings_(read(userDefaults)) {
    // Another instance (the settings of a second window, a test's tool) wrote the defaults.
    connect(&userDefaults_, &UserDefaults::didChange, this, [this] {
        if (storing_) {
            return;
        }
        const auto stored = read(userDefaults_);
        if (stored != settings_) {
            settings_ = stored;
            apply();
        }
    });
    if (settings_.on) {
        apply();
    }
}

hal::CallMixSettings CallMixControl::read(const UserDefaults& userDefaults) {
    hal::CallMixSettings settings;
    settings.on = userDefaults.boolForKey(UserDefaults::callMixOnKey);
    const QString microphone = userDefaults.stringForKey(UserDefaults::callMixMicrophoneKey);
    if (microphone == QLatin1String(kSystemDefaultMicrophone)) {
        settings.microphoneUID = std::string();
    } else if (!microphone.isEmpty()) {
        settings.microphoneUID = microphone.toStdString();
    }
    if (userDefaults.contains(UserDefaults::callMixMicrophoneVolumeKey)) {
        const double volume = userDefaults.doubleForKey(UserDefaults::callMixMicrophoneVolumeKey);
        settings.microphoneVolume =
            std::isfinite(volume) ? std::clamp(float(volume), 0.0f, 1.0f) : 1.0f;
    }
    settings.microphoneMuted = userDefaults.boolForKey(UserDefaults::callMixMicrophoneMutedKey);
    return settings;
}

void CallMixControl::setOn(bool on) {
    auto settings = settings_;
    settings.on = on;
    setSettings(settings);
}

void CallMixControl::setMicrophone(const std::optional<std::string>& uid) {
    auto settings = settings_;
    settings.microphoneUID = uid;
    setSettings(settings);
}

void CallMixControl::setMicrophoneVolume(float volume) {
    auto settings = settings_;
    settings.microphoneVolume = std::isfinite(volume) ? std::clamp(volume, 0.0f, 1.0f) : 1.0f;
    setSettings(settings);
}

void CallMixControl::setMicrophoneMuted(bool muted) {
    auto settings = settings_;
    settings.microphoneMuted = muted;
    setSettings(settings);
}

void CallMixControl::setSettings(const hal::CallMixSettings& settings) {
    if (settings == settings_) {
        return;
    }
    settings_ = settings;
    store(settings);
    apply();
}

void CallMixControl::store(const hal::CallMixSettings& settings) {
    // Each write is heard at once: the half-written settings are not read back.
    storing_ = true;
    userDefaults_.setBool(UserDefaults::callMixOnKey, settings.on);
    const std::string microphone = !settings.microphoneUID ? std::string()
                                   : settings.microphoneUID->empty()
                                       ? std::string(kSystemDefaultMicrophone)
                                       : *settings.microphoneUID;
    userDefaults_.setString(UserDefaults::callMixMicrophoneKey, QString::fromStdString(microphone));
    userDefaults_.setDouble(UserDefaults::callMixMicrophoneVolumeKey, settings.microphoneVolume);
    userDefaults_.setBool(UserDefaults::callMixMicrophoneMutedKey, settings.microphoneMuted);
    storing_ = false;
}

void CallMixControl::apply() {
    if (stopped_) {
        return;
    }
    status_ = hardware_.setCallMix(settings_);
    Q_EMIT changed();
}

void CallMixControl::stop() {
    if (stopped_) {
        return;
    }
    stopped_ = true;
    if (settings_.on) {
        hardware_.setCallMix({});
    }
}

} // namespace kestrelamp
