#include "views/RecordingRowView.h"

#include "views/AppRowView.h"
#include "views/VUMeterView.h"
#include "views/VolumeSlider.h"
#include "views/toolkit/BorderlessButton.h"
#include "views/toolkit/Fonts.h"
#include "views/toolkit/SymbolImage.h"
#include "views/toolkit/TextLabel.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include <algorithm>

namespace kestrelamp {

using namespace toolkit;

RecordingRowView::RecordingRowView(const RecordingApp& app, RecordingControl& control,
                                   QWidget* parent)
    : QWidget(parent)
    , app_(app)
    , control_(control) {
    setObjectName(QStringLiteral("recordingRow:%1").arg(QString::fromStdString(app_.id)));
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(8, 4, 8, 4);
    root->setSpacing(3);

    auto* top = new QHBoxLayout;
    top->setSpacing(8);
    icon_ = new AppIconView(this);
    icon_->setIcon(app_.icon);
    top->addWidget(icon_);
    auto* title = new QVBoxLayout;
    title->setSpacing(0);
    name_ = new TextLabel(QString::fromStdString(app_.displayName),
                          systemFont(12, FontWeight::medium), ColorSpec::primary(), this);
    name_->setObjectName(QStringLiteral("recordingName"));
    title->addWidget(name_);
    state_ = new TextLabel(QString(), systemFont(9), ColorSpec::secondary(), this);
    state_->setObjectName(QStringLiteral("recordingState"));
    title->addWidget(state_);
    top->addLayout(title, 1);
    meter_ = new InlineVUMeter(this);
    meter_->setObjectName(QStringLiteral("recordingMeter"));
    top->addWidget(meter_);
    muteButton_ = new BorderlessButton(this);
    muteButton_->setObjectName(QStringLiteral("recordingMuteButton"));
    muteButton_->setSymbol(QStringLiteral("mic.fill"), 11, ColorSpec::secondary());
    top->addWidget(muteButton_);
    root->addLayout(top);

    auto* bottom = new QHBoxLayout;
    bottom->setSpacing(6);
    chooser_ = new QComboBox(this);
    chooser_->setObjectName(QStringLiteral("recordingInput"));
    chooser_->setAccessibleName(QStringLiteral("Records from"));
    chooser_->setFont(systemFont(10));
    chooser_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    chooser_->setMinimumContentsLength(8);
    bottom->addWidget(chooser_, 1);
    bottom->addWidget(new SymbolImage(QStringLiteral("mic.fill"), 8, ColorSpec::secondary(), this));
    volume_ = new VolumeSlider(this);
    volume_->setObjectName(QStringLiteral("recordingVolume"));
    volume_->setAccessibleName(QStringLiteral("Recording volume"));
    bottom->addWidget(volume_, 1);
    root->addLayout(bottom);

    connect(muteButton_, &QAbstractButton::clicked, this,
            [this] { control_.setMuted(app_.id, !app_.choice.muted); });
    connect(chooser_, &QComboBox::activated, this, [this](int index) {
        control_.setInput(app_.id, chooser_->itemData(index).toString().toStdString());
    });
    connect(volume_, &VolumeSlider::valueEdited, this,
            [this](float value) { control_.setVolume(app_.id, value); });
    connect(volume_, &VolumeSlider::dragFinished, &control_, &RecordingControl::flushPendingSave);
    showInputs();
}

std::vector<std::pair<QString, QString>>
RecordingRowView::inputChoices(const std::vector<AudioDeviceInfo>& inputs,
                               const std::string& chosenUID) {
    std::vector<std::pair<QString, QString>> choices{{QStringLiteral("System Default"), {}}};
    for (const AudioDeviceInfo& input : inputs) {
        choices.emplace_back(QString::fromStdString(input.name), QString::fromStdString(input.uid));
    }
    const bool listed = std::any_of(inputs.begin(), inputs.end(),
                                    [&](const AudioDeviceInfo& d) { return d.uid == chosenUID; });
    if (!chosenUID.empty() && !listed) {
        choices.emplace_back(QString::fromStdString(chosenUID) + QStringLiteral(" (not connected)"),
                             QString::fromStdString(chosenUID));
    }
    return choices;
}

void RecordingRowView::setApp(const RecordingApp& app) {
    const bool iconChanged = app.icon != app_.icon;
    app_ = app;
    name_->setText(QString::fromStdString(app_.displayName));
    if (iconChanged) {
        icon_->setIcon(app_.icon);
    }
    showInputs();
}

void RecordingRowView::showInputs() {
    chooser_->clear();
    for (const auto& [title, uid] : inputChoices(control_.inputs(), app_.choice.inputUID)) {
        chooser_->addItem(title, uid);
    }
    showChoice();
}

void RecordingRowView::showChoice() {
    chooser_->setCurrentIndex(chooser_->findData(QString::fromStdString(app_.choice.inputUID)));
    const QString state = QString::fromStdString(control_.stateText(app_));
    state_->setText(state);
    chooser_->setToolTip(state);
    const bool muted = app_.choice.muted;
    muteButton_->setSymbolName(muted ? QStringLiteral("mic.slash.fill")
                                     : QStringLiteral("mic.fill"));
    muteButton_->setSymbolColor(muted ? ColorSpec::fixed(named::red) : ColorSpec::secondary());
    muteButton_->setToolTip(muted ? QStringLiteral("Unmute recording")
                                  : QStringLiteral("Mute recording"));
    muteButton_->setAccessibleName(muteButton_->toolTip());
    volume_->setValue(app_.choice.volume);
}

void RecordingRowView::setLevel(float level) {
    meter_->setLevel(level);
}

float RecordingRowView::level() const {
    return meter_->level();
}

QList<QWidget*> RecordingRowView::focusOrder() const {
    return {muteButton_, chooser_, volume_};
}

} // namespace kestrelamp
