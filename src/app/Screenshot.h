#pragma once

#include "app/AudioWorld.h"
#include "app/CommandLine.h"
#include "model/AudioModel.h"
#include "platform/Expected.h"

#include <QImage>

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

// The application list on the given world, with the given settings, in a temporary home that is
// removed afterwards: the user's own files are neither read nor written. Routes are built for
// every state with devices and a few cycles rendered, so that meters show levels. Needs a
// QApplication.
Expected<QImage, ScreenshotError> renderAppList(const ScreenshotRequest& request, AudioWorld& world,
                                                const std::vector<AppAudioState>& states);

// Before the QApplication exists: the offscreen platform when there is no display, and twice the
// pixels so that the picture stays sharp on high-density screens.
void prepareScreenshotEnvironment();

} // namespace kestrelamp
