#include "views/CallMixSettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace kestrelamp {

namespace {

// What "callMixMicrophone" stores for no microphone and for the system's default input.
const QString kNoMicrophone;
const QString kSystemDefault = QStringLiteral("default");

} // namespace

CallMixSettingsGroup::CallMixSettingsGroup(UserDefaults& defaults, MicrophoneList microphones,
                                           QWidget* parent)
    : QGroupBox(QStringLiteral("Calls"), parent)
    , defaults_(defaults)
    , microphones_(std::move(microphones)) {
    setObjectName(QStringLiteral("callMixGroup"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(10, 10, 10, 10);
    column->setSpacing(8);
    on_ = new QCheckBox(QStringLiteral("Offer \"Kestrelamp Call Mix\" as a microphone"), this);
    on_->setObjectName(QStringLiteral("callMixToggle"));
    column->addWidget(on_);

    auto* microphoneRow = new QHBoxLayout;
    microphoneRow->addWidget(new QLabel(QStringLiteral("Mix in my microphone"), this));
    microphoneRow->addStretch(1);
    microphone_ = new QComboBox(this);
    microphone_->setObjectName(QStringLiteral("callMixMicrophonePicker"));
    microphone_->setAccessibleName(QStringLiteral("Microphone mixed in"));
    microphoneRow->addWidget(microphone_);
    column->addLayout(microphoneRow);

    auto* volumeRow = new QHBoxLayout;
    volumeRow->addWidget(new QLabel(QStringLiteral("Microphone volume"), this));
    volume_ = new QSlider(Qt::Horizontal, this);
    volume_->setObjectName(QStringLiteral("callMixMicrophoneVolume"));
    volume_->setAccessibleName(QStringLiteral("Microphone volume"));
    volume_->setRange(0, 100);
    volumeRow->addWidget(volume_, 1);
    muted_ = new QCheckBox(QStringLiteral("Mute"), this);
    muted_->setObjectName(QStringLiteral("callMixMicrophoneMute"));
    volumeRow->addWidget(muted_);
    column->addLayout(volumeRow);

    connect(on_, &QAbstractButton::clicked, this,
            [this](bool on) { defaults_.setBool(QLatin1String(UserDefaults::callMixOnKey), on); });
    connect(microphone_, &QComboBox::activated, this, [this](int index) {
        defaults_.setString(QLatin1String(UserDefaults::callMixMicrophoneKey),
                            microphone_->itemData(index).toString());
    });
    // Written once the slider is let go (or moved by the keyboard), not at every step of a drag.
    connect(volume_, &QSlider::valueChanged, this, [this](int value) {
        if (!volume_->isSliderDown()) {
            defaults_.setDouble(QLatin1String(UserDefaults::callMixMicrophoneVolumeKey),
                                value / 100.0);
        }
    });
    connect(volume_, &QSlider::sliderReleased, this, [this] {
        defaults_.setDouble(QLatin1String(UserDefaults::callMixMicrophoneVolumeKey),
                            volume_->value() / 100.0);
    });
    connect(muted_, &QAbstractButton::clicked, this, [this](bool muted) {
        defaults_.setBool(QLatin1String(UserDefaults::callMixMicrophoneMutedKey), muted);
    });
    connect(&defaults_, &UserDefaults::didChange, this, &CallMixSettingsGroup::readDefaults);
    readDefaults();
}

void CallMixSettingsGroup::readDefaults() {
    const QSignalBlocker blockOn(on_);
    const QSignalBlocker blockMicrophone(microphone_);
    const QSignalBlocker blockVolume(volume_);
    const QSignalBlocker blockMuted(muted_);
    const bool on = defaults_.boolForKey(QLatin1String(UserDefaults::callMixOnKey));
    on_->setChecked(on);

    const QString chosen =
        defaults_.stringForKey(QLatin1String(UserDefaults::callMixMicrophoneKey));
    microphone_->clear();
    microphone_->addItem(QStringLiteral("None"), kNoMicrophone);
    microphone_->addItem(QStringLiteral("System Default"), kSystemDefault);
    bool listed = chosen == kNoMicrophone || chosen == kSystemDefault;
    for (const auto& [uid, name] :
         microphones_ ? microphones_() : std::vector<std::pair<QString, QString>>{}) {
        microphone_->addItem(name, uid);
        listed = listed || uid == chosen;
    }
    // A microphone that is away now stays the choice, shown by its UID.
    if (!listed) {
        microphone_->addItem(chosen, chosen);
    }
    microphone_->setCurrentIndex(microphone_->findData(chosen));

    const QString volumeKey = QLatin1String(UserDefaults::callMixMicrophoneVolumeKey);
    const double volume = defaults_.contains(volumeKey) ? defaults_.doubleForKey(volumeKey) : 1.0;
    volume_->setValue(int(std::lround(std::clamp(volume, 0.0, 1.0) * 100)));
    muted_->setChecked(
        defaults_.boolForKey(QLatin1String(UserDefaults::callMixMicrophoneMutedKey)));
    for (QWidget* control : {static_cast<QWidget*>(microphone_), static_cast<QWidget*>(volume_),
                             static_cast<QWidget*>(muted_)}) {
        control->setEnabled(on);
    }
}

} // namespace kestrelamp
