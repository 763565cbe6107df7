#pragma once

#include "engine/hal/AudioHardware.h"
#include "platform/UserDefaults.h"

#include <QObject>

#include <optional>
#include <string>

namespace kestrelamp {

// The call mix as the user set it: kept in the user defaults, handed to the audio service at start
// and on every change (also one made by another instance of the program), and turned off with
// stop().
class CallMixControl : public QObject {
    Q_OBJECT

public:
    // What the microphone setting stores for the system's default input.
    static constexpr const char* kSystemDefaultMicrophone = "default";

    CallMixControl(hal::AudioHardware& hardware, UserDefaults& userDefaults,
                   QObject* parent = nullptr);

    const hal::CallMixSettings& settings() const { return settings_; }
    // The service's answer to the last hand-over: noErr while it has the call mix as set.
    hal::OSStatus status() const { return status_; }

    void setOn(bool on);
    // Nothing: none; "": the system default input; else an input device's UID.
    void setMicrophone(const std::optional<std::string>& uid);
    // Clamped to 0 … 1.
    void setMicrophoneVolume(float volume);
    void setMicrophoneMuted(bool muted);
    // All of it at once, as a profile brings it back.
    void setSettings(const hal::CallMixSettings& settings);
    // As the program ends: the call mix goes, the stored setting stays.
    void stop();

    static hal::CallMixSettings read(const UserDefaults& userDefaults);

Q_SIGNALS:
    void changed();

private:
    void store(const hal::CallMixSettings& settings);
    void apply();

    hal::AudioHardware& hardware_;
    UserDefaults& userDefaults_;
    hal::CallMixSettings settings_;
    hal::OSStatus status_ = hal::noErr;
    bool stopped_ = false;
    bool storing_ = false;
};

} // namespace kestrelamp
