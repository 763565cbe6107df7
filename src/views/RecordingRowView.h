#pragma once

#include "model/RecordingControl.h"

#include <QWidget>

class QComboBox;

namespace kestrelamp {

class AppIconView;
class InlineVUMeter;
class VolumeSlider;

namespace toolkit {
class BorderlessButton;
class TextLabel;
} // namespace toolkit

// One application that records: icon, name, what it records from in words, level meter and
// mute button; then the input chooser and the volume of what it records. Every change goes
// through the recording control.
class RecordingRowView : public QWidget {
    Q_OBJECT

public:
    RecordingRowView(const RecordingApp& app, RecordingControl& control, QWidget* parent = nullptr);

    const RecordingApp& app() const { return app_; }
    // A new record for the same application, and the inputs as they are now.
    void setApp(const RecordingApp& app);
    void showInputs();
    void setLevel(float level);
    float level() const;

    QComboBox* inputChooser() const { return chooser_; }
    QList<QWidget*> focusOrder() const;

    // "System Default", then each input by name; a chosen input that is not listed stays, marked.
    static std::vector<std::pair<QString, QString>>
    inputChoices(const std::vector<AudioDeviceInfo>& inputs, const std::string& chosenUID);

private:
    void showChoice();

    RecordingApp app_;
    RecordingControl& control_;
    AppIconView* icon_ = nullptr;
    toolkit::TextLabel* name_ = nullptr;
    toolkit::TextLabel* state_ = nullptr;
    InlineVUMeter* meter_ = nullptr;
    toolkit::BorderlessButton* muteButton_ = nullptr;
    QComboBox* chooser_ = nullptr;
    VolumeSlider* volume_ = nullptr;
};

} // namespace kestrelamp
