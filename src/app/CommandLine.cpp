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
        "Per-application audio routing, volume and equalizer for PipeWire.");
    parser.addOption(
        {"simulate", "Run on a simulated audio service described by <scenario>.", "scenario"});
    parser.addOption({"headless", "Run without tray icon or windows."});
    for (const ListingOption& option : kListingOptions) {
        parser.addOption({option.name, option.description});
    }
    parser.addOption({{"h", "help"}, "Show this help and exit."});
    parser.addOption({{"v", "version"}, "Show the version and exit."});
}

} // namespace

Expected<CommandLineOptions, CommandLineError> parseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    describeOptions(parser);
    if (!parser.parse(arguments)) {
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
    return options;
}

std::string commandLineHelp() {
    QCommandLineParser parser;
    describeOptions(parser);
    // Help is printed before any application object exists to name the program.
    return parser.helpText().replace("<executable_name>", "kestrelamp").toStdString();
}

} // namespace kestrelamp
