#pragma once

#include "model/AudioModel.h"
#include "model/AudioRouteManager.h"

#include <QIcon>
#include <QWidget>

#include <cstdint>
#include <optional>
#include <string>

class QGraphicsOpacityEffect;

namespace kestrelamp {

class EQView;
class InlineVUMeter;
class OutputDeviceSection;
class VolumeSlider;

namespace toolkit {
class BorderlessButton;
class SymbolImage;
class TextLabel;
} // namespace toolkit

// An application's picture, clipped to a rounded square; the generic program icon when it has none.
class AppIconView : public QWidget {
    Q_OBJECT

public:
    static constexpr int kEdge = 24;

    explicit AppIconView(QWidget* parent = nullptr);
    void setIcon(const std::optional<std::string>& icon);
    // True when the application's own image is drawn, false for the generic one.
    bool hasApplicationIcon() const { return ownIcon_; }
    const QIcon& icon() const { return icon_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QIcon icon_;
    bool ownIcon_ = false;
};

// One application in the list: icon, name, pin mark, activity badge, level meter, the output
// devices / equalizer / mute buttons, the volume line with its boost button, and, when expanded,
// the output-device chooser and the equalizer. Every change goes through the route manager.
class AppRowView : public QWidget {
    Q_OBJECT

public:
    // Whether the row follows the manager's levels itself or is handed them by its owner.
    enum class LevelUpdates { own, fromOwner };

    AppRowView(AudioApp app, AudioRouteManager& manager,
               LevelUpdates levelUpdates = LevelUpdates::own, QWidget* parent = nullptr);

    const AudioApp& app() const { return app_; }
    // A new record for the same application (name or icon may differ).
    void setApp(const AudioApp& app);

    bool showsOutputDevices() const { return showOutputDevices_; }
    void setShowOutputDevices(bool show);
    bool showsEQ() const { return showEQ_; }
    void setShowEQ(bool show);

    // The state shown: the stored one, or the default without storing it.
    const AppAudioState& shownState() const { return state_; }
    void setLevel(float level);
    float level() const;

    OutputDeviceSection* outputDeviceSection() const { return devices_; }
    EQView* eqView() const { return eqView_; }

    // Left to right, an open device list or equalizer right after the button that opened it.
    QList<QWidget*> focusOrder() const;

    // --- What the row shows, as pure functions -------------------------------------------
    static AppAudioState stateFor(const AudioApp& app, const AudioRouteManager& manager);
    // volume × 100 truncated, then "%".
    static QString percentageText(float volume);
    static QString boostText(std::int64_t multiplier);
    static QString boostToolTip(std::int64_t multiplier);
    // 1, 2, 3, 4, then back to 1.
    static std::int64_t nextBoost(std::int64_t multiplier);
    // The one chosen device's name, "N devices" for several; on "System Default", the device it
    // plays on now.
    static QString deviceSummary(const AppAudioState& state, const AudioDeviceList& devices,
                                 const OptionalAudioDevice& defaultDevice);
    // What a chosen device's line says about its route: nothing while it carries the sound,
    // else "Not connected: " and why.
    static QString connectionText(const std::optional<RouteState>& route);

Q_SIGNALS:
    // Up (-1) or Down (+1) on one of the row's own controls, named by its object name.
    void stepRequested(int step, const QString& control);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void buildMainLine();
    void buildVolumeLine();
    void syncState();
    void syncActivity();
    void syncDevices();
    void showState();
    void showDevicesButton();
    void showContextMenu(const QPoint& globalPosition);
    // Escape: the section the focus is in (or whose button has it), else every open one.
    bool closeOpenSection();

    AudioApp app_;
    AudioRouteManager& manager_;
    AppAudioState state_;
    bool showOutputDevices_ = false;
    bool showEQ_ = false;

    AppIconView* icon_ = nullptr;
    toolkit::TextLabel* name_ = nullptr;
    toolkit::SymbolImage* pin_ = nullptr;
    toolkit::TextLabel* badge_ = nullptr;
    InlineVUMeter* meter_ = nullptr;
    toolkit::BorderlessButton* devicesButton_ = nullptr;
    toolkit::BorderlessButton* eqButton_ = nullptr;
    toolkit::BorderlessButton* muteButton_ = nullptr;
    VolumeSlider* volume_ = nullptr;
    toolkit::TextLabel* percentage_ = nullptr;
    toolkit::BorderlessButton* boostButton_ = nullptr;
    QWidget* mainLine_ = nullptr;
    OutputDeviceSection* devices_ = nullptr;
    QWidget* eqSection_ = nullptr;
    EQView* eqView_ = nullptr;
    QGraphicsOpacityEffect* ignoredEffect_ = nullptr;
};

} // namespace kestrelamp
