#include "LocalHttpServer.h"

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

// The update check's own process: the program answers `fetch-feed` without starting.
TEST(CommandLine, FetchFeedDownloadsOrSaysWhyWithoutStarting) {
    const auto refused = runProgram(
        {"fetch-feed",
         QStringLiteral("http://127.0.0.1:%1/appcast.xml").arg(test::LocalHttpServer::closedPort()),
         "2000"});
    EXPECT_EQ(refused.exitCode, 3);
    EXPECT_EQ(refused.out, "1\n0\nthe connection was refused\n");
    const auto insecure = runProgram({"fetch-feed", "http://example.org/appcast.xml", "2000"});
    EXPECT_EQ(insecure.exitCode, 2);
    EXPECT_TRUE(insecure.err.startsWith("usage: kestrelamp fetch-feed ")) << insecure.err.data();
}

} // namespace
} // namespace kestrelamp
