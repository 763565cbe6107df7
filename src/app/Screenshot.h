#pragma once

#include "app/AudioWorld.h"
#include "app/CommandLine.h"
#include "model/AudioModel.h"
#include "platform/Expected.h"
#include "profiles/AudioProfile.h"

#include <QImage>

class QWidget;

#include <optional>
#include <string>
#include <vector>

namespace kestrelamp {

// Names the option whose value is at fault.
struct ScreenshotError {
    std::string message;
};

// A scenario file may carry, under "appStates", the settings to show (in the format of
// appStates.json); nothing when it has none.
Expected<std::vector<AppAudioState>, ScreenshotError>
screenshotStates(const std::optional<std::string>& scenarioPath);

// Profiles to show, under "profiles" (in the format of profiles.json), and the one marked
// active, under "activeProfileID".
struct ScreenshotProfiles {
    std::vector<AudioProfile> profiles;
    std::optional<QUuid> activeProfileID;
};
Expected<ScreenshotProfiles, ScreenshotError>
screenshotProfiles(const std::optional<std::string>& scenarioPath);

// The application list on the given world, with the given settings, in a temporary home that is
// removed afterwards: the user's own files are neither read nor written. Routes are built for
// every state with devices and a few cycles rendered, so that meters show levels. Needs a
// QApplication.
Expected<QImage, ScreenshotError> renderAppList(const ScreenshotRequest& request, AudioWorld& world,
                                                const std::vector<AppAudioState>& states);

// The whole popover on the tab the request names, in the same kind of temporary home.
Expected<QImage, ScreenshotError> renderPopover(const ScreenshotRequest& request, AudioWorld& world,
                                                const std::vector<AppAudioState>& states,
                                                const ScreenshotProfiles& profiles);

// The settings window on the request's page, with the defaults of a fresh home.
Expected<QImage, ScreenshotError> renderSettings(const ScreenshotRequest& request);

// A strip of a panel in the request's theme with the tray icon twice: as a panel recolours the
// symbolic theme icon, and as we draw it into an XEmbed tray.
QImage renderTrayIcon(const ScreenshotRequest& request);

// What --screenshot asks for: the settings page when one is named, else the popover.
Expected<QImage, ScreenshotError> renderScreenshot(const ScreenshotRequest& request,
                                                   AudioWorld& world,
                                                   const std::optional<std::string>& scenarioPath);

// A widget as it is now, at the given scale (2: sharp on high-density screens); a hidden one is
// laid out first.
QImage drawWidget(QWidget& widget, qreal scale);

// Before the QApplication exists: the offscreen platform when there is no display, and twice the
// pixels so that the picture stays sharp on high-density screens.
void prepareScreenshotEnvironment();

} // namespace kestrelamp
