#include "app/Screenshot.h"

#include "model/AudioRouteManager.h"
#include "platform/ScreenCapturePermission.h"
#include "platform/StoredFile.h"
#include "platform/UserDefaults.h"
#include "views/AppListView.h"
#include "views/AppRowView.h"
#include "views/toolkit/Themes.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QScrollArea>
#include <QTemporaryDir>

#include <nlohmann/json.hpp>

namespace kestrelamp {
namespace {

constexpr int kListWidth = 320;
constexpr int kMinimumHeight = 160;
constexpr std::uint32_t kRenderedCycles = 24;
constexpr std::uint32_t kFramesPerCycle = 480;

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

} // namespace

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
    QFile file(QString::fromStdString(*scenarioPath));
    if (!file.open(QIODevice::ReadOnly)) {
        return unexpected(ScreenshotError{"--simulate: " + *scenarioPath + ": cannot be read"});
    }
    const nlohmann::json scenario = nlohmann::json::parse(file.readAll().toStdString(), nullptr,
                                                          /*allow_exceptions=*/false);
    if (!scenario.is_object() || !scenario.contains("appStates") ||
        scenario["appStates"].is_null()) {
        return std::vector<AppAudioState>();
    }
    auto states = decodeAppAudioStates(scenario["appStates"].dump());
    if (!states) {
        return unexpected(ScreenshotError{"--simulate: " + *scenarioPath +
                                          ": appStates: " + states.error().description});
    }
    return std::move(*states);
}

Expected<QImage, ScreenshotError> renderAppList(const ScreenshotRequest& request, AudioWorld& world,
                                                const std::vector<AppAudioState>& states) {
    QTemporaryDir home;
    if (!home.isValid()) {
        return unexpected(ScreenshotError{"--screenshot: no temporary folder can be made"});
    }
    const QString folder = home.filePath(QStringLiteral("Kestrelamp"));
    StoredFile stateFile(folder + QStringLiteral("/appStates.json"));
    if (!states.empty()) {
        QDir().mkpath(folder);
        if (auto written = stateFile.write(QByteArray::fromStdString(encodeAppAudioStates(states)));
            !written) {
            return unexpected(ScreenshotError{"--screenshot: " + written.error()});
        }
    }
    UserDefaults defaults(home.filePath(QStringLiteral("Kestrelamp.conf")));
    AudioRouteManager manager(*world.hardware, *world.runningApplications, defaults, folder);
    buildRoutes(manager);
    world.render(kRenderedCycles, kFramesPerCycle);
    manager.eqProcessor().deliverLevels();
    manager.updateAudioActivity();

    toolkit::applyTheme(toolkitTheme(request.theme));
    LinuxScreenCapturePermission permission;
    AppListView list(manager, permission);
    list.setAttribute(Qt::WA_DontShowOnScreen);
    list.resize(kListWidth, kMinimumHeight);
    list.show();
    for (const std::string& id : request.expandedApps) {
        AppRowView* row = list.row(id);
        if (!row) {
            manager.stopAll();
            return unexpected(
                ScreenshotError{"--expand: '" + id + "' is not in the application list"});
        }
        row->setShowOutputDevices(true);
        row->setShowEQ(true);
    }
    QCoreApplication::processEvents();
    list.resize(kListWidth, std::max(kMinimumHeight, list.contentHeight()));
    QCoreApplication::processEvents();
    const QImage image = list.grab().toImage();
    manager.stopAll();
    return image;
}

} // namespace kestrelamp
