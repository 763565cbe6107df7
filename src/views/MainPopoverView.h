#pragma once

#include "model/AudioRouteManager.h"
#include "platform/BundleInfo.h"
#include "platform/ScreenCapturePermission.h"

#include <QString>
#include <QWidget>

#include <array>
#include <optional>
#include <string>

class QComboBox;
class QVBoxLayout;

namespace kestrelamp {

class AppListView;
class ProfileSwitcherView;

namespace toolkit {
class BorderlessButton;
class SegmentedControl;
class SymbolImage;
class Switch;
class TextLabel;
} // namespace toolkit

// The whole popover: the default-output picker, "Show only live" and the Apps/Profiles switch;
// the selected tab's content; refresh, settings, the version and quit.
class MainPopoverView : public QWidget {
    Q_OBJECT

public:
    enum class Tab { apps, profiles };
    static constexpr std::array<Tab, 2> kTabs = {Tab::apps, Tab::profiles};
    static constexpr int kWidth = 320;
    static constexpr int kHeight = 420;

    MainPopoverView(AudioRouteManager& manager, ScreenCapturePermission& permission,
                    Tab initialTab = Tab::apps, BundleInfo bundle = BundleInfo(),
                    QWidget* parent = nullptr);

    Tab selectedTab() const { return selectedTab_; }
    void setSelectedTab(Tab tab);

    // "Apps", "Profiles": also the segment titles.
    static QString rawValue(Tab tab);
    // Exactly the two raw values; nothing for anything else.
    static std::optional<Tab> tabFromRawValue(const QString& raw);

    // The picker's selection: the default device's uid, or "" when there is none.
    std::string selectedDeviceUID() const;
    // A choice in the picker: an empty uid does nothing.
    void chooseDevice(const std::string& uid);
    // "speaker.wave.2" without a default device.
    static QString headerSymbol(const OptionalAudioDevice& device);
    // "v" and the short version.
    static QString versionText(const BundleInfo& bundle);

    AppListView* appList() const { return appList_; }
    ProfileSwitcherView* profileSwitcher() const { return profileSwitcher_; }
    QComboBox* devicePicker() const { return picker_; }
    toolkit::SymbolImage* headerSymbolImage() const { return deviceSymbol_; }
    toolkit::Switch* liveSwitch() const { return liveSwitch_; }
    toolkit::Switch* callMixSwitch() const { return callMixSwitch_; }
    toolkit::SegmentedControl* tabSwitcher() const { return tabs_; }

    // Header, footer and the dividers between them and the content: the least it shows.
    int chromeHeight() const;
    // The height that shows the selected tab's whole content.
    int preferredHeight() const;

    QSize sizeHint() const override { return {kWidth, kHeight}; }

Q_SIGNALS:
    // Rows came or went, a section opened, the tab changed: what fits may differ.
    void preferredHeightChanged();
    void settingsRequested();
    void quitRequested();
    void selectedTabChanged(MainPopoverView::Tab tab);

protected:
    // Tab follows what is on screen: header, content, footer.
    bool focusNextPrevChild(bool next) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* buildHeader();
    QWidget* buildFooter(const BundleInfo& bundle);
    void showContent();
    void showDevices();
    void showDefaultDevice();

    AudioRouteManager& manager_;
    ScreenCapturePermission& permission_;
    Tab selectedTab_;

    QWidget* header_ = nullptr;
    QWidget* footer_ = nullptr;
    toolkit::SymbolImage* deviceSymbol_ = nullptr;
    QComboBox* picker_ = nullptr;
    toolkit::Switch* liveSwitch_ = nullptr;
    toolkit::Switch* callMixSwitch_ = nullptr;
    toolkit::SegmentedControl* tabs_ = nullptr;
    QVBoxLayout* contentLayout_ = nullptr;
    AppListView* appList_ = nullptr;
    ProfileSwitcherView* profileSwitcher_ = nullptr;
    AudioDeviceList shownDevices_;
};

} // namespace kestrelamp
