#include "views/EQView.h"

#include "model/AudioRouteManager.h"
#include "views/VerticalSlider.h"
#include "views/toolkit/BorderlessButton.h"
#include "views/toolkit/Fonts.h"
#include "views/toolkit/TextLabel.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QShowEvent>
#include <QVBoxLayout>

#include <cstdio>

namespace kestrelamp {

using namespace toolkit;

namespace {

constexpr int kGainLabelWidth = 22;
constexpr int kPickerWidth = 120;

} // namespace

const std::array<const char*, EQView::kBandCount> EQView::kBandLabels = {
    "32", "64", "128", "256", "512", "1k", "2k", "4k", "8k", "16k"};

QString EQView::gainText(float gain) {
    // The C library's rounding (halves to even), which Qt's own formatter does not share.
    char text[64];
    std::snprintf(text, sizeof text, "%.0f", double(gain));
    return QString::fromLatin1(text);
}

EQView::EQView(std::string bundleID, AudioRouteManager& manager, QWidget* parent)
    : QWidget(parent)
    , bundleID_(std::move(bundleID))
    , manager_(manager) {
    setObjectName(QStringLiteral("eqView"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(8, 6, 8, 6);
    column->setSpacing(12);

    auto* header = new QHBoxLayout;
    header->addWidget(new TextLabel(QStringLiteral("EQ"), systemFont(11, FontWeight::semibold),
                                    ColorSpec::secondary(), this));
    header->addStretch(1);
    auto* pickerLabel =
        new TextLabel(QStringLiteral("Preset"), systemFont(10), ColorSpec::secondary(), this);
    header->addWidget(pickerLabel);
    picker_ = new QComboBox(this);
    picker_->setObjectName(QStringLiteral("eqPresetPicker"));
    picker_->setAccessibleName(QStringLiteral("Preset"));
    picker_->setFont(systemFont(11));
    picker_->setFixedWidth(kPickerWidth);
    picker_->setFocusPolicy(Qt::TabFocus);
    picker_->addItem(QStringLiteral("Custom"));
    for (const EQPreset& preset : EQPreset::allPresets()) {
        picker_->addItem(QString::fromStdString(preset.name), preset.id.toString());
    }
    header->addWidget(picker_);
    column->addLayout(header);

    auto* bandRow = new QHBoxLayout;
    bandRow->setSpacing(4);
    bandRow->addStretch(1);
    for (int band = 0; band < kBandCount; ++band) {
        auto* bandColumn = new QVBoxLayout;
        bandColumn->setSpacing(2);
        auto* gain = new TextLabel(gainText(0), monospacedFont(8), ColorSpec::secondary(), this);
        gain->setObjectName(QStringLiteral("eqBandGain%1").arg(band));
        gain->setAlignment(Qt::AlignCenter);
        gain->setFixedWidth(kGainLabelWidth);
        auto* slider = new VerticalSlider(kMinGain, kMaxGain, this);
        slider->setObjectName(QStringLiteral("eqBandSlider%1").arg(band));
        slider->setAccessibleName(QStringLiteral("%1 Hz").arg(QLatin1String(kBandLabels[band])));
        slider->setValue(0);
        auto* frequency = new TextLabel(QLatin1String(kBandLabels[std::size_t(band)]),
                                        systemFont(8), ColorSpec::secondary(), this);
        frequency->setObjectName(QStringLiteral("eqBandLabel%1").arg(band));
        frequency->setAlignment(Qt::AlignCenter);
        bandColumn->addWidget(gain, 0, Qt::AlignHCenter);
        bandColumn->addWidget(slider);
        bandColumn->addWidget(frequency, 0, Qt::AlignHCenter);
        bandRow->addLayout(bandColumn);
        connect(slider, &VerticalSlider::valueEdited, this,
                [this, band](float gain) { onBandEdited(band, gain); });
        sliders_[std::size_t(band)] = slider;
        gains_[std::size_t(band)] = gain;
    }
    bandRow->addStretch(1);
    column->addLayout(bandRow);

    auto* flat = new BorderlessButton(this);
    flat->setObjectName(QStringLiteral("eqFlatButton"));
    flat->setText(QStringLiteral("Flat"));
    flat->setTextStyle(systemFont(10), ColorSpec::accent());
    flat->setPadding(QMargins(6, 2, 6, 2));
    column->addWidget(flat, 0, Qt::AlignHCenter);

    connect(picker_, &QComboBox::currentIndexChanged, this, &EQView::onPickerChanged);
    connect(flat, &QAbstractButton::clicked, this, &EQView::onFlat);
}

void EQView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) {
        loadBands();
    }
}

void EQView::loadBands() {
    const std::vector<float> gains = manager_.getEQBands(bundleID_);
    for (std::size_t band = 0; band < bands_.size(); ++band) {
        bands_[band] = band < gains.size() ? gains[band] : 0.0f;
    }
    showBands();
}

void EQView::showBands() {
    for (std::size_t band = 0; band < bands_.size(); ++band) {
        sliders_[band]->setValue(bands_[band]);
        gains_[band]->setText(gainText(bands_[band]));
    }
}

void EQView::onBandEdited(int band, float gain) {
    bands_[std::size_t(band)] = gain;
    gains_[std::size_t(band)]->setText(gainText(gain));
    selectedPreset_.reset();
    picker_->setCurrentIndex(0);
    manager_.setEQBand(bundleID_, band, gain);
}

void EQView::onPickerChanged(int index) {
    if (index <= 0) {
        selectedPreset_.reset();
        return;
    }
    const auto& presets = EQPreset::allPresets();
    if (std::size_t(index - 1) >= presets.size()) {
        return;
    }
    const EQPreset& preset = presets[std::size_t(index - 1)];
    selectedPreset_ = preset;
    for (std::size_t band = 0; band < bands_.size(); ++band) {
        bands_[band] = band < preset.bands.size() ? preset.bands[band] : bands_[band];
    }
    showBands();
    manager_.setEQPreset(bundleID_, preset);
}

void EQView::onFlat() {
    const EQPreset& flat = EQPreset::flat();
    selectedPreset_ = flat;
    for (std::size_t band = 0; band < bands_.size(); ++band) {
        bands_[band] = band < flat.bands.size() ? flat.bands[band] : 0.0f;
    }
    showBands();
    manager_.setEQPreset(bundleID_, flat);
    // A picker that showed another choice reports the change, which applies flat once more.
    picker_->setCurrentIndex(pickerIndex(flat));
}

int EQView::pickerIndex(const std::optional<EQPreset>& preset) const {
    if (!preset) {
        return 0;
    }
    const auto& presets = EQPreset::allPresets();
    for (std::size_t i = 0; i < presets.size(); ++i) {
        if (presets[i].id == preset->id) {
            return int(i) + 1;
        }
    }
    return 0;
}

} // namespace kestrelamp
