#include "app/CommandLine.h"

#include <QProcess>

#include <gtest/gtest.h>

namespace kestrelamp {
namespace {

Expected<CommandLineOptions, CommandLineError> parse(QStringList arguments) {
    arguments.prepend(QStringLiteral("kestrelamp"));
    return parseCommandLine(arguments);
}

std::string errorOf(const QStringList& arguments) {
    const auto parsed = parse(arguments);
    EXPECT_FALSE(parsed) << arguments.join(' ').toStdString();
    return parsed ? std::string() : parsed.error().message;
}

TEST(CommandLine, ModesAndScreenshotOptions) {
    const auto options = parse({"--simulate", "world.json", "--screenshot", "out.png", "--expand",
                                "org.example.A", "--expand", "org.example.B", "--theme", "dark"});
    ASSERT_TRUE(options && options->screenshot);
    EXPECT_EQ(options->screenshot->outputPath, "out.png");
    EXPECT_EQ(options->screenshot->expandedApps,
              (std::vector<std::string>{"org.example.A", "org.example.B"}));
    EXPECT_EQ(options->screenshot->theme, ScreenshotTheme::dark);
    EXPECT_EQ(options->screenshot->tab, ScreenshotTab::apps);
    EXPECT_FALSE(options->screenshot->settingsPage);
    EXPECT_EQ(options->simulateScenario, "world.json");

    const auto about = parse({"--screenshot", "out.png", "--settings", "about"});
    ASSERT_TRUE(about && about->screenshot);
    EXPECT_EQ(about->screenshot->theme, ScreenshotTheme::light);
    EXPECT_EQ(about->screenshot->settingsPage, ScreenshotSettingsPage::about);
    const auto tray = parse({"--screenshot", "out.png", "--tray-icon", "--theme", "dark"});
    ASSERT_TRUE(tray && tray->screenshot);
    EXPECT_TRUE(tray->screenshot->trayIcon);
    EXPECT_FALSE(about->screenshot->trayIcon);
    const auto listing = parse({"--simulate", "world.json", "--list-apps"});
    ASSERT_TRUE(listing);
    EXPECT_EQ(listing->listing, ListingRequest::apps);
    EXPECT_FALSE(listing->screenshot);
    for (const char* flag : {"-h", "-v"}) {
        const auto options = parse({flag});
        ASSERT_TRUE(options) << flag;
        EXPECT_EQ(options->showHelp, flag == std::string("-h"));
        EXPECT_EQ(options->showVersion, flag == std::string("-v"));
    }
}

TEST(CommandLine, BadScreenshotValuesNameTheOption) {
    EXPECT_EQ(errorOf({"--screenshot", "out.png", "--theme", "sepia"}),
              "--theme must be dark or light, not 'sepia'.");
    EXPECT_EQ(errorOf({"--theme", "dark"}), "--theme needs --screenshot.");
    EXPECT_EQ(errorOf({"--screenshot", ""}), "--screenshot needs a file name.");
    EXPECT_EQ(errorOf({"--screenshot", "out.png", "--expand", ""}),
              "--expand needs an application id.");
    EXPECT_EQ(errorOf({"--screenshot", "out.png", "--list-devices"}),
              "--screenshot cannot be combined with a listing option.");
    EXPECT_EQ(errorOf({"--screenshot", "out.png", "--tab", "Apps"}),
              "--tab must be apps or profiles, not 'Apps'.");
    EXPECT_EQ(errorOf({"--screenshot", "out.png", "--settings", "about", "--tab", "apps"}),
              "--tab cannot be combined with --settings.");
    EXPECT_EQ(errorOf({"--screenshot", "out.png", "--tab", "profiles", "--expand", "a"}),
              "--expand needs the apps tab.");
    EXPECT_EQ(errorOf({"--tray-icon"}), "--tray-icon needs --screenshot.");
    EXPECT_EQ(errorOf({"--screenshot", "out.png", "--tray-icon", "--settings", "about"}),
              "--tray-icon cannot be combined with --settings, --tab or --expand.");
    EXPECT_NE(errorOf({"--screenshot"}).find("screenshot"), std::string::npos);
}

TEST(CommandLine, UnknownOptionsAreNamedAsTyped) {
    const std::string hint = "; 'kestrelamp --help' lists the options.";
    EXPECT_EQ(errorOf({"--bogus"}), "Unknown option '--bogus'" + hint);
    EXPECT_EQ(errorOf({"-x"}), "Unknown option '-x'" + hint);
    EXPECT_EQ(errorOf({"-bogus"}), "Unknown option '-bogus'" + hint);
    EXPECT_EQ(errorOf({"--volume=0.5"}), "Unknown option '--volume'" + hint);
    EXPECT_EQ(errorOf({"--headless", "--simulate", "a.json", "--tray"}),
              "Unknown option '--tray'" + hint);
    EXPECT_EQ(errorOf({"--", "--bogus"}), "Unexpected argument '--bogus'.");
}

struct ProgramOutput {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

ProgramOutput runProgram(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral(KESTRELAMP_PROGRAM), arguments);
    process.waitForFinished(30000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

TEST(CommandLine, ProgramAnswersHelpVersionAndMistakesWithoutStarting) {
    const auto version = runProgram({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, QByteArray("kestrelamp " KESTRELAMP_VERSION "\n"));
    EXPECT_TRUE(version.err.isEmpty());

    const auto help = runProgram({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.startsWith("Usage: kestrelamp [options]\n"));
    EXPECT_TRUE(help.err.isEmpty());

    for (const char* mistake : {"--bogus", "stray", "--simulate"}) {
        const auto wrong = runProgram({mistake});
        EXPECT_EQ(wrong.exitCode, 2) << mistake;
        EXPECT_TRUE(wrong.out.isEmpty()) << mistake;
        EXPECT_TRUE(wrong.err.startsWith("kestrelamp: ")) << wrong.err.toStdString();
        EXPECT_EQ(wrong.err.count('\n'), 1) << wrong.err.toStdString();
        EXPECT_TRUE(wrong.err.endsWith('\n')) << wrong.err.toStdString();
    }
    EXPECT_TRUE(runProgram({"--bogus"}).err.contains("'--bogus'"));
}

} // namespace
} // namespace kestrelamp
