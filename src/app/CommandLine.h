#pragma once

#include "platform/Expected.h"

#include <QStringList>

#include <optional>
#include <string>
#include <vector>

namespace kestrelamp {

enum class ListingRequest { none, apps, devices, outputDevices, defaultOutput };

enum class ScreenshotTheme { light, dark };
enum class ScreenshotTab { apps, profiles };
enum class ScreenshotSettingsPage { general, update, about };

// Renders the popover, or a page of the settings window, to a PNG file instead of running.
struct ScreenshotRequest {
    std::string outputPath;
    // Applications whose device and equalizer sections are opened first.
    std::vector<std::string> expandedApps;
    ScreenshotTheme theme = ScreenshotTheme::light;
    ScreenshotTab tab = ScreenshotTab::apps;
    // The settings window instead of the popover.
    std::optional<ScreenshotSettingsPage> settingsPage;
    // The tray icon on a panel instead of the popover.
    bool trayIcon = false;
};

struct CommandLineOptions {
    std::optional<std::string> simulateScenario;
    ListingRequest listing = ListingRequest::none;
    bool headless = false;
    std::optional<ScreenshotRequest> screenshot;
    bool showHelp = false;
    bool showVersion = false;
};

struct CommandLineError {
    std::string message;
};

// The program's own arguments (argv[0] first). Unknown options and missing values are errors
// that name the option.
Expected<CommandLineOptions, CommandLineError> parseCommandLine(const QStringList& arguments);

std::string commandLineHelp();

} // namespace kestrelamp
