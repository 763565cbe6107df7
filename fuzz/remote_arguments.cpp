// Arguments from outside that our own code parses: the program's command line, the words after
// "kestrelamp ctl", and the numbers and switches a remote call carries. Arguments are separated
// by NUL bytes (which no argument can hold); the first byte chooses the parser. What a parser
// accepts, rewritten as arguments, parses to the same result.

#include "FuzzCheck.h"

#include "app/CommandLine.h"
#include "app/ControlClient.h"
#include "app/RemoteControl.h"

#include <charconv>
#include <cmath>
#include <cstring>

using namespace kestrelamp;
using namespace kestrelamp::fuzz;

namespace {

QStringList splitArguments(std::string_view bytes) {
    QStringList arguments;
    std::size_t start = 0;
    while (start <= bytes.size()) {
        auto end = bytes.find('\0', start);
        if (end == std::string_view::npos) {
            end = bytes.size();
        }
        const auto piece = bytes.substr(start, end - start);
        arguments << QString::fromUtf8(piece.data(), qsizetype(piece.size()));
        start = end + 1;
    }
    return arguments;
}

void requireUtf8(const QString& text, const char* what) {
    fuzz::requireUtf8(text.toStdString(), what);
}

// --- kestrelamp [options]
// -------------------------------------------------------------------------

QStringList rewritten(const CommandLineOptions& options) {
    QStringList arguments{"kestrelamp"};
    if (options.simulateScenario) {
        arguments << "--simulate=" + QString::fromStdString(*options.simulateScenario);
    }
    if (options.headless) {
        arguments << "--headless";
    }
    switch (options.listing) {
    case ListingRequest::none:
        break;
    case ListingRequest::apps:
        arguments << "--list-apps";
        break;
    case ListingRequest::devices:
        arguments << "--list-devices";
        break;
    case ListingRequest::outputDevices:
        arguments << "--list-output-devices";
        break;
    case ListingRequest::defaultOutput:
        arguments << "--default-output";
        break;
    }
    if (const auto& screenshot = options.screenshot) {
        arguments << "--screenshot=" + QString::fromStdString(screenshot->outputPath);
        for (const std::string& app : screenshot->expandedApps) {
            arguments << "--expand=" + QString::fromStdString(app);
        }
        arguments << (screenshot->theme == ScreenshotTheme::dark ? "--theme=dark"
                                                                 : "--theme=light");
        if (screenshot->tab == ScreenshotTab::profiles) {
            arguments << "--tab=profiles";
        }
        if (screenshot->settingsPage) {
            switch (*screenshot->settingsPage) {
            case ScreenshotSettingsPage::general:
                arguments << "--settings=general";
                break;
            case ScreenshotSettingsPage::update:
                arguments << "--settings=update";
                break;
            case ScreenshotSettingsPage::about:
                arguments << "--settings=about";
                break;
            }
        }
    }
    if (options.showHelp) {
        arguments << "--help";
    }
    if (options.showVersion) {
        arguments << "--version";
    }
    return arguments;
}

bool sameOptions(const CommandLineOptions& a, const CommandLineOptions& b) {
    if (a.simulateScenario != b.simulateScenario || a.listing != b.listing ||
        a.headless != b.headless || a.showHelp != b.showHelp || a.showVersion != b.showVersion ||
        a.screenshot.has_value() != b.screenshot.has_value()) {
        return false;
    }
    if (!a.screenshot) {
        return true;
    }
    const ScreenshotRequest& s = *a.screenshot;
    const ScreenshotRequest& t = *b.screenshot;
    return s.outputPath == t.outputPath && s.expandedApps == t.expandedApps && s.theme == t.theme &&
           s.tab == t.tab && s.settingsPage == t.settingsPage;
}

void programCommandLine(QStringList arguments) {
    arguments.prepend("kestrelamp");
    const auto options = parseCommandLine(arguments);
    if (!options) {
        fuzz::requireUtf8(options.error().message, "command-line error");
        return;
    }
    fuzz::requireUtf8(options->simulateScenario, "--simulate");
    if (options->screenshot) {
        fuzz::requireUtf8(options->screenshot->outputPath, "--screenshot");
        fuzz::requireUtf8(options->screenshot->expandedApps, "--expand");
    }
    const QStringList again = rewritten(*options);
    const auto reparsed = parseCommandLine(again);
    require(reparsed.hasValue(), "rewritten command line parses",
            reparsed ? again.join(' ').toStdString() : reparsed.error().message);
    require(sameOptions(*options, *reparsed), "same options after a round trip",
            again.join(' ').toStdString());
}

// --- kestrelamp ctl COMMAND [ARGS]
// ----------------------------------------------------------------

QStringList flattened(const QVariantList& values) {
    QStringList words;
    for (const QVariant& value : values) {
        if (value.metaType() == QMetaType::fromType<QStringList>()) {
            words << value.toStringList();
        } else {
            words << value.toString();
        }
    }
    return words;
}

void controlCommand(const QStringList& arguments) {
    const auto command = parseControlCommand(arguments);
    if (!command) {
        fuzz::requireUtf8(command.error().message, "ctl usage error");
        return;
    }
    require(!command->method.isEmpty(), "a ctl command names a method");
    for (const QString& word : flattened(command->arguments)) {
        requireUtf8(word, "ctl call argument");
    }
    // The command's own words, then what the call carries, defaults written out.
    const int commandWords = arguments.first() == "profile" ? 2 : 1;
    const QStringList again = arguments.mid(0, commandWords) + flattened(command->arguments);
    const auto reparsed = parseControlCommand(again);
    require(reparsed.hasValue(), "rewritten ctl command parses", again.join(' ').toStdString());
    require(reparsed->objectPath == command->objectPath &&
                reparsed->interface == command->interface && reparsed->method == command->method &&
                reparsed->arguments == command->arguments && reparsed->output == command->output,
            "same ctl call after a round trip", again.join(' ').toStdString());
}

// --- numbers and switches in remote calls
// -----------------------------------------------------------

void remoteValues(const QStringList& arguments) {
    for (const QString& argument : arguments) {
        const std::string text = argument.toStdString();
        const auto number = RemoteControl::parseNumber(text, "Volume");
        if (!number) {
            fuzz::requireUtf8(number.error().message, "number error");
        } else {
            require(std::isfinite(*number), "a parsed number is finite", text);
            char shortest[64];
            const auto end = std::to_chars(std::begin(shortest), std::end(shortest), *number).ptr;
            const auto again = RemoteControl::parseNumber(std::string(shortest, end), "Volume");
            require(again.hasValue() && std::memcmp(&*again, &*number, sizeof(double)) == 0,
                    "a number written shortest reads back the same", text);
        }
        const auto mode = RemoteControl::parseSwitch(text, "Mute");
        require(mode.hasValue() == (text == "on" || text == "off" || text == "toggle"),
                "only on, off and toggle are switches", text);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const QStringList arguments = splitArguments(bytesOf(data + 1, size - 1));
    switch (data[0] % 3) {
    case 0:
        programCommandLine(arguments);
        break;
    case 1:
        controlCommand(arguments);
        break;
    default:
        remoteValues(arguments);
        break;
    }
    return 0;
}
