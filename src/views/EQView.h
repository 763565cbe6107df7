#pragma once

#include "engine/EQPreset.h"

#include <QWidget>

#include <array>
#include <optional>
#include <string>

class QComboBox;

namespace kestrelamp {

class AudioRouteManager;
class VerticalSlider;

namespace toolkit {
class BorderlessButton;
class TextLabel;
} // namespace toolkit

// One application's ten-band equalizer: a slider per band with its gain and frequency, a preset
// picker ("Custom" first) and a "Flat" button. Every change goes to the route manager at once.
class EQView : public QWidget {
    Q_OBJECT

public:
    static constexpr int kBandCount = 10;
    static constexpr float kMinGain = -24.0f;
    static constexpr float kMaxGain = 24.0f;
    static const std::array<const char*, kBandCount> kBandLabels;

    EQView(std::string bundleID, AudioRouteManager& manager, QWidget* parent = nullptr);

    const std::string& bundleID() const { return bundleID_; }
    const std::array<float, kBandCount>& bands() const { return bands_; }
    // Absent means "Custom".
    const std::optional<EQPreset>& selectedPreset() const { return selectedPreset_; }

    // "%.0f": whole decibels without unit.
    static QString gainText(float gain);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void loadBands();
    void showBands();
    void onBandEdited(int band, float gain);
    void onPickerChanged(int index);
    void onFlat();
    int pickerIndex(const std::optional<EQPreset>& preset) const;

    std::string bundleID_;
    AudioRouteManager& manager_;
    std::array<float, kBandCount> bands_{};
    std::optional<EQPreset> selectedPreset_;

    QComboBox* picker_ = nullptr;
    std::array<VerticalSlider*, kBandCount> sliders_{};
    std::array<toolkit::TextLabel*, kBandCount> gains_{};
};

} // namespace kestrelamp
