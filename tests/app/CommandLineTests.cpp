#include <QProcess>

#include <gtest/gtest.h>

namespace kestrelamp {
namespace {

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
