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
