#include "app/CommandLine.h"

#include <QCommandLineParser>

namespace kestrelamp {
namespace {

struct ListingOption {
    const char* name;
    ListingRequest request;
    const char* description;
};

constexpr ListingOption kListingOptions[] = {
    {"list-apps", ListingRequest::apps,
     "Print the applications that play sound, as JSON, and exit."},
    {"list-devices", ListingRequest::devices, "Print every audio device, as JSON, and exit."},
    {"list-output-devices", ListingRequest::outputDevices,
     "Print the output devices, as JSON, and exit."},
    {"default-output", ListingRequest::defaultOutput,
     "Print the default output device (or null) and exit."},
};

void describeOptions(QCommandLineParser& parser) {
    parser.setApplicationDescription(
        "Per-application audio routing, volume and equalizer for PipeWire.\n\n"
        "kestrelamp ctl COMMAND [ARGS] controls the running instance; "
        "'kestrelamp ctl help' lists the commands.");
    parser.addOption(
        {"simulate", "Run on a simulated audio service described by <scenario>.", "scenario"});
    parser.addOption({"headless", "Run without tray icon or windows."});
    parser.addOption({"screenshot",
                      "Render the popover (or, with --settings, the settings window) to the PNG "
                      "file <file> and exit.",
                      "file"});
    parser.addOption({"expand",
                      "With --screenshot: open the output devices and equalizer of <app-id> "
                      "first (may be repeated).",
                      "app-id"});
    parser.addOption(
        {"theme", "With --screenshot: draw with the light or dark palette.", "dark|light"});
    parser.addOption({"tab", "With --screenshot: the popover's tab to show (apps by default).",
                      "apps|profiles"});
    parser.addOption({"settings", "With --screenshot: render this page of the settings window.",
                      "general|update|about"});
    parser.addOption(
        {"tray-icon", "With --screenshot: draw the tray icon on a panel of the --theme's colour."});
    for (const ListingOption& option : kListingOptions) {
        parser.addOption({option.name, option.description});
    }
    parser.addOption({{"h", "help"}, "Show this help and exit."});
    parser.addOption({{"v", "version"}, "Show the version and exit."});
}

Expected<std::optional<ScreenshotRequest>, CommandLineError>
parseScreenshot(const QCommandLineParser& parser) {
    if (!parser.isSet("screenshot")) {
        for (const char* option : {"expand", "theme", "tab", "settings", "tray-icon"}) {
            if (parser.isSet(option)) {
                return unexpected(
                    CommandLineError{std::string("--") + option + " needs --screenshot."});
            }
        }
        return std::optional<ScreenshotRequest>();
    }
    ScreenshotRequest request;
    request.outputPath = parser.value("screenshot").toStdString();
    if (request.outputPath.empty()) {
        return unexpected(CommandLineError{"--screenshot needs a file name."});
    }
    for (const QString& id : parser.values("expand")) {
        if (id.isEmpty()) {
            return unexpected(CommandLineError{"--expand needs an application id."});
        }
        request.expandedApps.push_back(id.toStdString());
    }
    if (parser.isSet("theme")) {
        const QString theme = parser.value("theme");
        if (theme == "light") {
            request.theme = ScreenshotTheme::light;
        } else if (theme == "dark") {
            request.theme = ScreenshotTheme::dark;
        } else {
            return unexpected(CommandLineError{"--theme must be dark or light, not '" +
                                               theme.toStdString() + "'."});
        }
    }
    if (parser.isSet("tab")) {
        const QString tab = parser.value("tab");
        if (tab == "apps") {
            request.tab = ScreenshotTab::apps;
        } else if (tab == "profiles") {
            request.tab = ScreenshotTab::profiles;
        } else {
            return unexpected(CommandLineError{"--tab must be apps or profiles, not '" +
                                               tab.toStdString() + "'."});
        }
    }
    if (parser.isSet("settings")) {
        const QString page = parser.value("settings");
        if (page == "general") {
            request.settingsPage = ScreenshotSettingsPage::general;
        } else if (page == "update") {
            request.settingsPage = ScreenshotSettingsPage::update;
        } else if (page == "about") {
            request.settingsPage = ScreenshotSettingsPage::about;
        } else {
            return unexpected(CommandLineError{
                "--settings must be general, update or about, not '" + page.toStdString() + "'."});
        }
        if (parser.isSet("tab")) {
            return unexpected(CommandLineError{"--tab cannot be combined with --settings."});
        }
    }
    if (!request.expandedApps.empty() &&
        (request.settingsPage || request.tab != ScreenshotTab::apps)) {
        return unexpected(CommandLineError{"--expand needs the apps tab."});
    }
    request.trayIcon = parser.isSet("tray-icon");
    if (request.trayIcon &&
        (request.settingsPage || parser.isSet("tab") || !request.expandedApps.empty())) {
        return unexpected(
            CommandLineError{"--tray-icon cannot be combined with --settings, --tab or --expand."});
    }
    return std::optional(std::move(request));
}

// Qt names an unknown option without its dashes or value; the message shows it as typed.
std::string unknownOptionError(const QStringList& arguments, const QString& name) {
    QString typed = "--" + name;
    for (const QString& argument : arguments.mid(1)) {
        if (argument == QLatin1String("--")) {
            break;
        }
        const QString option = argument.section('=', 0, 0);
        QString bare = option;
        while (bare.startsWith('-')) {
            bare.remove(0, 1);
        }
        if (option.startsWith('-') && bare == name) {
            typed = option;
            break;
        }
    }
    return "Unknown option '" + typed.toStdString() + "'; 'kestrelamp --help' lists the options.";
}

} // namespace

Expected<CommandLineOptions, CommandLineError> parseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    describeOptions(parser);
    if (!parser.parse(arguments)) {
        if (!parser.unknownOptionNames().isEmpty()) {
            return unexpected(CommandLineError{
                unknownOptionError(arguments, parser.unknownOptionNames().first())});
        }
        return unexpected(CommandLineError{parser.errorText().toStdString()});
    }
    if (!parser.positionalArguments().isEmpty()) {
        return unexpected(CommandLineError{
            "Unexpected argument '" + parser.positionalArguments().first().toStdString() + "'."});
    }

    CommandLineOptions options;
    options.showHelp = parser.isSet("help");
    options.showVersion = parser.isSet("version");
    options.headless = parser.isSet("headless");
    if (parser.isSet("simulate")) {
        options.simulateScenario = parser.value("simulate").toStdString();
    }
    for (const ListingOption& option : kListingOptions) {
        if (!parser.isSet(option.name)) {
            continue;
        }
        if (options.listing != ListingRequest::none) {
            return unexpected(CommandLineError{"Only one listing option can be given at a time."});
        }
        options.listing = option.request;
    }
    auto screenshot = parseScreenshot(parser);
    if (!screenshot) {
        return unexpected(screenshot.error());
    }
    options.screenshot = std::move(*screenshot);
    if (options.screenshot && options.listing != ListingRequest::none) {
        return unexpected(
            CommandLineError{"--screenshot cannot be combined with a listing option."});
    }
    return options;
}

std::string commandLineHelp() {
    QCommandLineParser parser;
    describeOptions(parser);
    // Qt names the program after the running executable, if an application object exists;
    // the help is this program's whatever runs it.
    const QString text = parser.helpText();
    return ("Usage: kestrelamp [options]" + text.mid(text.indexOf('\n'))).toStdString();
}

} // namespace kestrelamp
