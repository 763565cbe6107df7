#pragma once

#include "model/AudioModel.h"
#include "model/AudioRouteManager.h"

#include <QWidget>

#include <string>
#include <vector>

namespace kestrelamp {

namespace toolkit {
class SymbolImage;
class TextLabel;
} // namespace toolkit

// The expanded chooser: "System Default", then one checkable row per output device, then one per
// chosen device that is not listed now (by its UID). A chosen device whose route does not carry
// the sound says so under its name.
class OutputDeviceSection : public QWidget {
    Q_OBJECT

public:
    OutputDeviceSection(std::string appID, AudioRouteManager& manager, QWidget* parent = nullptr);

    // Rebuilds the rows when the device list changed, else only marks the chosen ones.
    void showChoices(const AppAudioState& state, const AudioDeviceList& devices);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct DeviceRow {
        std::string uid;
        toolkit::SymbolImage* check;
        toolkit::TextLabel* name;
        toolkit::TextLabel* status;
    };

    void rebuild(const AudioDeviceList& devices, const std::vector<std::string>& absent);
    void addRow(const std::string& uid, const QString& name, AudioDeviceTransportType transport);

    std::string appID_;
    AudioRouteManager& manager_;
    AudioDeviceList devices_;
    std::vector<std::string> absent_;
    bool built_ = false;
    AppAudioState state_;
    toolkit::SymbolImage* defaultCheck_ = nullptr;
    toolkit::TextLabel* defaultName_ = nullptr;
    std::vector<DeviceRow> rows_;
    std::vector<QWidget*> rowWidgets_;
};

} // namespace kestrelamp
