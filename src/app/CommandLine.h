#pragma once

#include "platform/Expected.h"

#include <QStringList>

#include <optional>
#include <string>

namespace kestrelamp {

enum class ListingRequest { none, apps, devices, outputDevices, defaultOutput };

struct CommandLineOptions {
    std::optional<std::string> simulateScenario;
    ListingRequest listing = ListingRequest::none;
    bool headless = false;
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
