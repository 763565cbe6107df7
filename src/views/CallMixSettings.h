#pragma once

#include "platform/UserDefaults.h"

#include <QGroupBox>
#include <QString>

#include <functional>
#include <utility>
#include <vector>

class QCheckBox;
class QComboBox;
class QSlider;

namespace kestrelamp {

// The input devices a microphone can be chosen from: UID and name.
using MicrophoneList = std::function<std::vector<std::pair<QString, QString>>()>;

// The call mix's settings, written to the user defaults at once: whether it is offered, the
// microphone mixed into it, that microphone's volume and mute.
class CallMixSettingsGroup : public QGroupBox {
    Q_OBJECT

public:
    CallMixSettingsGroup(UserDefaults& defaults, MicrophoneList microphones,
                         QWidget* parent = nullptr);

    QCheckBox* onToggle() const { return on_; }
    QComboBox* microphonePicker() const { return microphone_; }
    QSlider* volumeSlider() const { return volume_; }
    QCheckBox* muteToggle() const { return muted_; }

    // Reads the defaults again, and the microphones that are there now.
    void readDefaults();

private:
    UserDefaults& defaults_;
    MicrophoneList microphones_;
    QCheckBox* on_ = nullptr;
    QComboBox* microphone_ = nullptr;
    QSlider* volume_ = nullptr;
    QCheckBox* muted_ = nullptr;
};

} // namespace kestrelamp
