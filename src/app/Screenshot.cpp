#include "app/Screenshot.h"

#include "model/AudioRouteManager.h"
#include "platform/JsonText.h"
#include "platform/ScreenCapturePermission.h"
#include "platform/StoredFile.h"
#include "platform/UserDefaults.h"
#include "views/AppListView.h"
#include "views/AppRowView.h"
#include "views/MainPopoverView.h"
#include "views/SettingsWindow.h"
#include "views/toolkit/Colors.h"
#include "views/toolkit/ProgramIcons.h"
#include "views/toolkit/Themes.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLayout>
#include <QPainter>
#include <QScrollArea>
#include <QTemporaryDir>

#include <nlohmann/json.hpp>

namespace kestrelamp {
namespace {

constexpr int kListWidth = 320;
constexpr int kMinimumHeight = 160;
constexpr std::uint32_t kRenderedCycles = 24;
constexpr std::uint32_t kFramesPerCycle = 480;
constexpr int kTrayStripWidth = 120;
constexpr int kTrayStripHeight = 30;
constexpr int kTrayIconEdge = 22;
constexpr int kTrayIconGap = 8;
constexpr qreal kTrayStripScale = 2.0;

toolkit::Theme toolkitTheme(ScreenshotTheme theme) {
    return theme == ScreenshotTheme::dark ? toolkit::Theme::dark : toolkit::Theme::light;
}

// Stored device choices carry no audio until they are set again, as after a start.
void buildRoutes(AudioRouteManager& manager) {
    const AppStateMap states = manager.appStates();
    for (const auto& [id, state] : states) {
        if (!state.outputDeviceUIDs.empty() && !state.isIgnored) {
            manager.setOutputDevices(id, {});
            manager.setOutputDevices(id, state.outputDeviceUIDs);
        }
    }
}

nlohmann::json readScenario(const std::string& path, bool& readable) {
    QFile file(QString::fromStdString(path));
    readable = file.open(QIODevice::ReadOnly);
    if (!readable) {
        return {};
    }
    return nlohmann::json::parse(file.readAll().toStdString(), nullptr,
                                 /*allow_exceptions=*/false);
}

// Checks are possible and automatic: the page as a user normally sees it.
class StillUpdateSettings final : public UpdateSettingsModel {
public:
    bool canCheckForUpdates() const override { return true; }
    bool automaticallyChecksForUpdates() const override { return true; }
    void setAutomaticallyChecksForUpdates(bool) override {}
    void checkForUpdates() override {}
};

// A temporary home with the scenario's files, and a route manager on it.
class ScreenshotHome {
public:
    Expected<void, ScreenshotError> open(AudioWorld& world,
                                         const std::vector<AppAudioState>& states,
                                         const ScreenshotProfiles& profiles) {
        if (!home_.isValid()) {
            return unexpected(ScreenshotError{"--screenshot: no temporary folder can be made"});
        }
        const QString folder = home_.filePath(QStringLiteral("Kestrelamp"));
        QDir().mkpath(folder);
        if (!states.empty()) {
            StoredFile file(folder + QStringLiteral("/appStates.json"));
            if (auto written = file.write(QByteArray::fromStdString(encodeAppAudioStates(states)));
                !written) {
                return unexpected(ScreenshotError{"--screenshot: " + written.error()});
            }
        }
        if (!profiles.profiles.empty()) {
            StoredFile file(folder + QStringLiteral("/profiles.json"));
            if (auto written =
                    file.write(QByteArray::fromStdString(encodeAudioProfiles(profiles.profiles)));
                !written) {
                return unexpected(ScreenshotError{"--screenshot: " + written.error()});
            }
        }
        defaults_ = std::make_unique<UserDefaults>(defaultsPath());
        manager_ = std::make_unique<AudioRouteManager>(*world.hardware, *world.runningApplications,
                                                       *defaults_, folder);
        buildRoutes(*manager_);
        // Marked afterwards: the routes built above would otherwise be written into it.
        manager_->profileManager().setActiveProfileID(profiles.activeProfileID);
        world.render(kRenderedCycles, kFramesPerCycle);
        manager_->eqProcessor().deliverLevels();
        manager_->updateAudioActivity();
        return {};
    }
    ~ScreenshotHome() {
        if (manager_) {
            manager_->stopAll();
        }
    }

    QString defaultsPath() const { return home_.filePath(QStringLiteral("Kestrelamp.conf")); }
    AudioRouteManager& manager() { return *manager_; }

private:
    QTemporaryDir home_;
    std::unique_ptr<UserDefaults> defaults_;
    std::unique_ptr<AudioRouteManager> manager_;
};

Expected<void, ScreenshotError> expandRows(const AppListView& list,
                                           const std::vector<std::string>& ids) {
    for (const std::string& id : ids) {
        AppRowView* row = list.row(id);
        if (!row) {
            return unexpected(
                ScreenshotError{"--expand: '" + id + "' is not in the application list"});
        }
        row->setShowOutputDevices(true);
        row->setShowEQ(true);
    }
    return {};
}

} // namespace

QImage drawWidget(QWidget& widget, qreal scale) {
    if (!widget.isVisible()) {
        if (QLayout* layout = widget.window()->layout()) {
            layout->activate();
        }
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QImage image(widget.size() * scale, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    widget.render(&image);
    return image;
}

void prepareScreenshotEnvironment() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    if (qEnvironmentVariableIsEmpty("QT_SCALE_FACTOR")) {
        qputenv("QT_SCALE_FACTOR", "2");
    }
}

Expected<std::vector<AppAudioState>, ScreenshotError>
screenshotStates(const std::optional<std::string>& scenarioPath) {
    if (!scenarioPath) {
        return std::vector<AppAudioState>();
    }
    bool readable = false;
    const nlohmann::json scenario = readScenario(*scenarioPath, readable);
    if (!readable) {
        return unexpected(ScreenshotError{"--simulate: " + *scenarioPath + ": cannot be read"});
    }
    if (!scenario.is_object() || !scenario.contains("appStates") ||
        scenario["appStates"].is_null()) {
        return std::vector<AppAudioState>();
    }
    auto states = decodeAppAudioStates(jsonText(scenario["appStates"]));
    if (!states) {
        return unexpected(ScreenshotError{"--simulate: " + *scenarioPath +
                                          ": appStates: " + states.error().description});
    }
    return std::move(*states);
}

Expected<ScreenshotProfiles, ScreenshotError>
screenshotProfiles(const std::optional<std::string>& scenarioPath) {
    if (!scenarioPath) {
        return ScreenshotProfiles();
    }
    bool readable = false;
    const nlohmann::json scenario = readScenario(*scenarioPath, readable);
    if (!readable) {
        return unexpected(ScreenshotError{"--simulate: " + *scenarioPath + ": cannot be read"});
    }
    ScreenshotProfiles result;
    if (!scenario.is_object()) {
        return result;
    }
    if (scenario.contains("profiles") && !scenario["profiles"].is_null()) {
        auto profiles = decodeAudioProfiles(jsonText(scenario["profiles"]));
        if (!profiles) {
            return unexpected(ScreenshotError{"--simulate: " + *scenarioPath +
                                              ": profiles: " + profiles.error().description});
        }
        result.profiles = std::move(*profiles);
    }
    if (scenario.contains("activeProfileID")) {
        const nlohmann::json& active = scenario["activeProfileID"];
        const QUuid id = active.is_string()
                             ? QUuid::fromString(QString::fromStdString(active.get<std::string>()))
                             : QUuid();
        if (id.isNull()) {
            return unexpected(
                ScreenshotError{"--simulate: " + *scenarioPath + ": activeProfileID: not a UUID"});
        }
        result.activeProfileID = id;
    }
    return result;
}

Expected<QImage, ScreenshotError> renderAppList(const ScreenshotRequest& request, AudioWorld& world,
                                                const std::vector<AppAudioState>& states) {
    ScreenshotHome home;
    if (auto opened = home.open(world, states, {}); !opened) {
        return unexpected(opened.error());
    }
    toolkit::applyTheme(toolkitTheme(request.theme));
    LinuxScreenCapturePermission permission;
    AppListView list(home.manager(), permission);
    list.setAttribute(Qt::WA_DontShowOnScreen);
    list.resize(kListWidth, kMinimumHeight);
    list.show();
    if (auto expanded = expandRows(list, request.expandedApps); !expanded) {
        return unexpected(expanded.error());
    }
    QCoreApplication::processEvents();
    list.resize(kListWidth, std::max(kMinimumHeight, list.contentHeight()));
    QCoreApplication::processEvents();
    return list.grab().toImage();
}

Expected<QImage, ScreenshotError> renderPopover(const ScreenshotRequest& request, AudioWorld& world,
                                                const std::vector<AppAudioState>& states,
                                                const ScreenshotProfiles& profiles) {
    ScreenshotHome home;
    if (auto opened = home.open(world, states, profiles); !opened) {
        return unexpected(opened.error());
    }
    toolkit::applyTheme(toolkitTheme(request.theme));
    LinuxScreenCapturePermission permission;
    const auto tab = request.tab == ScreenshotTab::profiles ? MainPopoverView::Tab::profiles
                                                            : MainPopoverView::Tab::apps;
    MainPopoverView popover(home.manager(), permission, tab);
    popover.setAttribute(Qt::WA_DontShowOnScreen);
    popover.show();
    if (popover.appList()) {
        if (auto expanded = expandRows(*popover.appList(), request.expandedApps); !expanded) {
            return unexpected(expanded.error());
        }
    }
    // Expanded rows grow in steps, each one a layout request of its own.
    for (int pass = 0; pass < 4; ++pass) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QCoreApplication::processEvents();
    }
    return popover.grab().toImage();
}

Expected<QImage, ScreenshotError> renderSettings(const ScreenshotRequest& request) {
    QTemporaryDir home;
    if (!home.isValid()) {
        return unexpected(ScreenshotError{"--screenshot: no temporary folder can be made"});
    }
    toolkit::applyTheme(toolkitTheme(request.theme));
    StillUpdateSettings updater;
    SettingsTab tab = SettingsTab::general;
    if (request.settingsPage == ScreenshotSettingsPage::update) {
        tab = SettingsTab::update;
    } else if (request.settingsPage == ScreenshotSettingsPage::about) {
        tab = SettingsTab::about;
    }
    SettingsView settings(&updater, tab, home.filePath(QStringLiteral("Kestrelamp.conf")));
    settings.setAttribute(Qt::WA_DontShowOnScreen);
    settings.resize(SettingsView::kWidth, SettingsView::kHeight);
    settings.show();
    QCoreApplication::processEvents();
    return settings.grab().toImage();
}

QImage renderTrayIcon(const ScreenshotRequest& request) {
    const bool dark = request.theme == ScreenshotTheme::dark;
    const QColor panel = dark ? QColor(0x24, 0x24, 0x28) : QColor(0xec, 0xec, 0xee);
    const QColor panelText = dark ? QColor(0xee, 0xee, 0xee) : QColor(0x2e, 0x34, 0x36);
    // The program's own palette, whatever the panel looks like.
    const QColor ourText = toolkit::primaryColor(QApplication::palette());
    QImage image(QSize(kTrayStripWidth, kTrayStripHeight) * kTrayStripScale,
                 QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(kTrayStripScale);
    image.fill(panel);
    QPainter painter(&image);
    const QIcon icons[] = {toolkit::menuBarIcon(panelText),
                           toolkit::menuBarIcon(ourText, toolkit::TrayGlyph::outlined)};
    int x = kTrayIconGap;
    const int y = (kTrayStripHeight - kTrayIconEdge) / 2;
    for (const QIcon& icon : icons) {
        icon.paint(&painter, QRect(x, y, kTrayIconEdge, kTrayIconEdge));
        x += kTrayIconEdge + kTrayIconGap;
    }
    painter.setPen(panelText);
    painter.drawText(QRect(x, 0, kTrayStripWidth - x - kTrayIconGap, kTrayStripHeight),
                     Qt::AlignVCenter | Qt::AlignRight, QStringLiteral("12:00"));
    return image;
}

Expected<QImage, ScreenshotError> renderScreenshot(const ScreenshotRequest& request,
                                                   AudioWorld& world,
                                                   const std::optional<std::string>& scenarioPath) {
    if (request.trayIcon) {
        return renderTrayIcon(request);
    }
    if (request.settingsPage) {
        return renderSettings(request);
    }
    const auto states = screenshotStates(scenarioPath);
    if (!states) {
        return unexpected(states.error());
    }
    const auto profiles = screenshotProfiles(scenarioPath);
    if (!profiles) {
        return unexpected(profiles.error());
    }
    return renderPopover(request, world, *states, *profiles);
}

} // namespace kestrelamp
