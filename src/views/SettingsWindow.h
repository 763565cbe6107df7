#pragma once

#include "platform/BundleInfo.h"
#include "platform/LoginItem.h"
#include "platform/UserDefaults.h"
#include "views/CallMixSettings.h"

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <array>

class QCheckBox;
class QComboBox;
class QListWidget;
class QPushButton;
class QStackedWidget;

namespace kestrelamp {

namespace toolkit {
class TextLabel;
}

// What the Update page needs of the software updater.
class UpdateSettingsModel : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    virtual bool canCheckForUpdates() const = 0;
    virtual bool automaticallyChecksForUpdates() const = 0;
    virtual void setAutomaticallyChecksForUpdates(bool automatic) = 0;
    virtual void checkForUpdates() = 0;

Q_SIGNALS:
    void canCheckForUpdatesChanged(bool canCheck);
};

enum class SettingsTab { general, update, about };
inline constexpr std::array<SettingsTab, 3> kSettingsTabs = {
    SettingsTab::general, SettingsTab::update, SettingsTab::about};
// "General", "Update", "About".
QString settingsTabTitle(SettingsTab tab);
// "gearshape", "arrow.triangle.2.circlepath", "info.circle".
QString settingsTabSymbol(SettingsTab tab);

// Start at login and the application-list options, each written to the user defaults at once.
class GeneralSettingsPage : public QWidget {
    Q_OBJECT

public:
    struct RefreshChoice {
        double seconds;
        const char* text;
    };
    static constexpr std::array<RefreshChoice, 4> kRefreshChoices = {
        {{1.0, "1 second"}, {3.0, "3 seconds"}, {5.0, "5 seconds"}, {10.0, "10 seconds"}}};

    GeneralSettingsPage(UserDefaults& defaults, LoginItem loginItem,
                        MicrophoneList microphones = {}, QWidget* parent = nullptr);

    // The choice the stored "refreshInterval" shows (3 seconds when unset); -1 for a value that
    // is none of the choices.
    static int refreshChoiceIndex(const UserDefaults& defaults);

    QCheckBox* launchAtLoginToggle() const { return launchAtLogin_; }
    QCheckBox* showOnlyLiveToggle() const { return showOnlyLive_; }
    QComboBox* refreshIntervalPicker() const { return refreshInterval_; }
    CallMixSettingsGroup* callMixGroup() const { return callMix_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void readDefaults();

    UserDefaults& defaults_;
    LoginItem loginItem_;
    QCheckBox* launchAtLogin_ = nullptr;
    QCheckBox* showOnlyLive_ = nullptr;
    QComboBox* refreshInterval_ = nullptr;
    CallMixSettingsGroup* callMix_ = nullptr;
};

// Automatic checks, the manual check and the running version.
class UpdateSettingsPage : public QWidget {
    Q_OBJECT

public:
    UpdateSettingsPage(UpdateSettingsModel* model, const BundleInfo& bundle,
                       QWidget* parent = nullptr);

    // Without a model the toggle shows on, ignores changes, and the button stays disabled.
    void setModel(UpdateSettingsModel* model);

    QCheckBox* automaticChecksToggle() const { return automatic_; }
    QPushButton* checkButton() const { return check_; }
    toolkit::TextLabel* versionLabel() const { return version_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void readModel();

    QPointer<UpdateSettingsModel> model_;
    QMetaObject::Connection modelConnection_;
    QCheckBox* automatic_ = nullptr;
    QPushButton* check_ = nullptr;
    toolkit::TextLabel* version_ = nullptr;
};

// Icon, name, version, tagline and the contact address.
class AboutSettingsPage : public QWidget {
    Q_OBJECT

public:
    static constexpr const char* kContactAddress = "hello@kestrelamp.org";

    explicit AboutSettingsPage(const BundleInfo& bundle, QWidget* parent = nullptr);

    // Opens "mailto:" and the address with the desktop's mail program.
    static bool openContactAddress();
};

// The settings window's content: the sidebar of pages beside the selected page.
class SettingsView : public QWidget {
    Q_OBJECT

public:
    static constexpr int kWidth = 520;
    static constexpr int kHeight = 380;
    static constexpr int kMinimumWidth = 460;
    static constexpr int kMinimumHeight = 320;

    // The user defaults are the user's own unless a file is named.
    SettingsView(UpdateSettingsModel* updater, SettingsTab initialTab = SettingsTab::general,
                 const QString& defaultsPath = {}, MicrophoneList microphones = {},
                 QWidget* parent = nullptr);

    SettingsTab selectedTab() const { return selectedTab_; }
    void setSelectedTab(SettingsTab tab);

    GeneralSettingsPage* generalPage() const { return general_; }
    UpdateSettingsPage* updatePage() const { return update_; }
    AboutSettingsPage* aboutPage() const { return about_; }
    QListWidget* sidebar() const { return sidebar_; }

private:
    UserDefaults defaults_;
    SettingsTab selectedTab_;
    QListWidget* sidebar_ = nullptr;
    QStackedWidget* pages_ = nullptr;
    GeneralSettingsPage* general_ = nullptr;
    UpdateSettingsPage* update_ = nullptr;
    AboutSettingsPage* about_ = nullptr;
};

// The one settings window of the run: made on the first request, kept when closed, and brought
// forward, on the page the user left, by every later one.
class SettingsWindowController {
public:
    static SettingsWindowController& shared();

    void showSettings(UpdateSettingsModel* updater);
    // Where the call mix's microphone picker finds the input devices.
    void setMicrophoneList(MicrophoneList microphones) { microphones_ = std::move(microphones); }
    SettingsView* window() const { return window_; }
    UpdateSettingsModel* updater() const { return updater_; }
    // Destroys the window; the next request makes a new one. For the end of the run and tests.
    void reset();

private:
    SettingsWindowController() = default;
    ~SettingsWindowController();

    QPointer<SettingsView> window_;
    QPointer<UpdateSettingsModel> updater_;
    MicrophoneList microphones_;
};

} // namespace kestrelamp
