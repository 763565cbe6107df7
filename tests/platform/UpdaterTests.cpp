#include "platform/Appcast.h"
#include "platform/AppcastUpdater.h"
#include "platform/FeedDownload.h"
#include "platform/FeedDownloadProcess.h"
#include "platform/Version.h"

#include "LocalHttpServer.h"
#include "TempHome.h"

#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

#include <csignal>
#include <optional>
#include <tuple>

namespace kestrelamp::test {
namespace {

QByteArray fixture() {
    QFile file(qEnvironmentVariable("KESTRELAMP_SOURCE_DIR") +
               "/tests/platform/fixtures/appcast.xml");
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
    return file.readAll();
}

TEST(Version, AcceptsOnlyDottedNumbers) {
    for (const char* text : {"", "1..2", ".1", "1.", "1.2a", "v1.2", "1 .2", "-1"}) {
        EXPECT_FALSE(Version::parse(text)) << '"' << text << '"';
    }
}

// A feed of one item of version 2 shown as this short version.
QByteArray shortVersion(const QByteArray& shown) {
    return appcastFeed("<item><kestrelamp:version>2</kestrelamp:version><kestrelamp:"
                       "shortVersionString>" +
                       shown +
                       "</kestrelamp:shortVersionString><link>https://example.org/</link></item>");
}

TEST(Appcast, MalformedFeedsSayWhatIsWrong) {
    const QByteArray good = appcastItem("1.0", "https://example.org/1.0");
    const struct {
        QByteArray document;
        std::string fault;
    } cases[] = {
        {"  \n", "the document is empty"},
        {"<html><body/></html>", "not an RSS feed"},
        {"<rss version=\"2.0\"/>", "no channel"},
        {appcastFeed(good).chopped(10), "not well-formed XML"},
        {appcastFeed(good) + "<rss/>", "not well-formed XML"},
        {"<rss><channel><item><x:version>1</x:version></item></channel></rss>",
         "not well-formed XML"},
        {appcastFeed(good + "<item><link>https://example.org/</link></item>"),
         "item 2 has no version"},
        {appcastFeed(appcastItem("1.x", "https://example.org/")),
         "item 1 has a version that is not"},
        {appcastFeed("<item><kestrelamp:version>2</kestrelamp:version></item>"),
         "item 1 has no link"},
        {appcastFeed(appcastItem("2", "http://example.org/2")),
         "item 1 has a link that is not a secure"},
        {appcastFeed(appcastItem("2", "file:///etc/passwd")),
         "item 1 has a link that is not a secure"},
        // Feed text reaches notifications and the terminal: nothing endless, nothing that steers.
        {appcastFeed(appcastItem("1." + QByteArray(63, '0'), "https://example.org/")),
         "item 1 has a version longer than 64 characters"},
        {appcastFeed(appcastItem("2", "https://example.org/" + QByteArray(2030, 'a'))),
         "item 1 has a link longer than 2048 characters"},
        {appcastFeed(R"(<item><enclosure url="https://example.org/" kestrelamp:version="2" )"
                     R"(kestrelamp:shortVersionString=")" +
                     QByteArray(65, 'v') + "\"/></item>"),
         "item 1 has a short version longer than 64 characters"},
        {shortVersion("2&#x9b;2J"), "item 1 has a short version with control characters"},
        {shortVersion("2&#10;Fake line"), "item 1 has a short version with control characters"},
        {shortVersion("2&#x202e;1.0"), "item 1 has a short version with control characters"},
    };
    for (const auto& c : cases) {
        const auto parsed = parseAppcast(c.document);
        ASSERT_FALSE(parsed) << c.document.toStdString();
        EXPECT_NE(parsed.error().find(c.fault), std::string::npos)
            << parsed.error() << " for " << c.document.toStdString();
    }
}

TEST(Appcast, OnlyLoopbackMayGoWithoutHttps) {
    EXPECT_TRUE(isSecureWebAddress(QUrl("http://127.0.0.1:8080/appcast.xml")));
    EXPECT_TRUE(isSecureWebAddress(QUrl("http://[::1]/appcast.xml")));
    EXPECT_TRUE(isSecureWebAddress(QUrl("http://127.45.6.7/appcast.xml")));
    EXPECT_TRUE(isSecureWebAddress(QUrl("http://[::ffff:127.0.0.1]/appcast.xml")));
    EXPECT_TRUE(isSecureWebAddress(QUrl("http://LocalHost/appcast.xml")));
    EXPECT_FALSE(isSecureWebAddress(QUrl("http://127.0.0.1.example.org/appcast.xml")));
    EXPECT_FALSE(isSecureWebAddress(QUrl("http://128.0.0.1/appcast.xml")));
    EXPECT_FALSE(isSecureWebAddress(QUrl("http://[::2]/appcast.xml")));
    EXPECT_FALSE(isSecureWebAddress(QUrl("http://[::ffff:10.0.0.1]/appcast.xml")));
    EXPECT_FALSE(isSecureWebAddress(QUrl("https:///appcast.xml")));
}

struct FixedFeed final : UpdaterFeedDelegate {
    explicit FixedFeed(QString address)
        : address(std::move(address)) {}
    std::string feedURLString() const override { return address.toStdString(); }
    QString address;
};

// An updater on a local feed, with automatic checks off so that only the test starts checks.
// Each check downloads the feed in this process, or (true) in a feed process.
class UpdaterOnLocalFeed : public testing::TestWithParam<bool> {
protected:
    UpdaterOnLocalFeed() {
        updater.setAutomaticallyChecksForUpdates(false);
        server.setBody(fixture());
    }

    const RecordingUpdateNotifier::Report& onlyReport() {
        EXPECT_TRUE(test::waitUntil([&] { return !notifier.reports.empty(); }));
        EXPECT_EQ(notifier.reports.size(), 1u);
        return notifier.reports.front();
    }

    // What one user check of `address` found, in a word or by its error.
    std::string userCheck(const std::string& version, const QString& address) {
        notifier.reports.clear();
        FixedFeed at(address);
        AppcastUpdater checker(&at, notifier, version);
        checker.setCheckDeadline(deadline);
        checker.setFeedFetcher(GetParam() ? FeedDownloadProcess::fetcher(KESTRELAMP_FEED_PROGRAM)
                                          : feedFetcherInThisProcess());
        EXPECT_TRUE(checker.startUpdater());
        checker.checkForUpdates();
        const UpdateCheckResult result = onlyReport().result;
        EXPECT_FALSE(checker.sessionInProgress());
        switch (result.outcome) {
        case UpdateCheckResult::Outcome::updateAvailable:
            return "available " + result.update.shortVersionString + " " + result.update.link;
        case UpdateCheckResult::Outcome::upToDate:
            return "up to date";
        case UpdateCheckResult::Outcome::failed:
            return result.error.description();
        }
        return {};
    }
    std::string userCheck(const std::string& version = "1.9.5") {
        return userCheck(version, server.url());
    }

    std::chrono::milliseconds deadline = FeedDownload::defaultDeadline;
    test::TempHome home;
    test::LocalHttpServer server;
    FixedFeed feed{server.url()};
    RecordingUpdateNotifier notifier;
    AppcastUpdater updater{&feed, notifier, "1.9.5"};
};

TEST_P(UpdaterOnLocalFeed, NewerSameAndOlderFeeds) {
    EXPECT_EQ(userCheck("1.9.5"), "available 1.10 https://kestrelamp.org/releases/1.10.0");
    EXPECT_EQ(server.requestLines().value(0), "GET /appcast.xml HTTP/1.1");
    EXPECT_EQ(userCheck("1.10.0"), "up to date");
    server.setBody(appcastFeed(""));
    EXPECT_EQ(userCheck(), "up to date");
}

TEST_P(UpdaterOnLocalFeed, FailuresSayWhy) {
    EXPECT_EQ(userCheck("1.0", QStringLiteral("http://127.0.0.1:%1/appcast.xml")
                                   .arg(test::LocalHttpServer::closedPort())),
              "The update server could not be reached: the connection was refused.");
    server.setResponse({404, "Not Found", "<html>gone</html>", {}});
    EXPECT_EQ(userCheck(), "The update server answered with HTTP status 404.");
    server.setBody("");
    EXPECT_EQ(userCheck(), "The update feed is malformed: the document is empty.");
    server.setBody(QByteArray(FeedDownload::maximumFeedBytes + 4096, ' '));
    EXPECT_EQ(userCheck(), "The update feed is malformed: the feed is larger than 1 MiB.");

    // Never idle long enough for the inactivity timeout, never done: the deadline ends it.
    test::LocalHttpServer::Response drip{200, "OK", fixture(), {}};
    drip.dripIntervalMs = 100;
    server.setResponse(drip);
    deadline = std::chrono::milliseconds(400);
    EXPECT_EQ(userCheck(), "The update server did not send the feed within 400 milliseconds.");
    deadline = std::chrono::seconds(30);
    drip.body = appcastFeed(appcastItem("7.0", "https://example.org/7"));
    drip.dripIntervalMs = 1;
    server.setResponse(drip);
    EXPECT_EQ(userCheck(), "available 7.0 https://example.org/7")
        << "a feed that drips but ends in time is read whole";
    EXPECT_EQ(UpdateCheckError::tooSlow(std::chrono::seconds(60)).description(),
              "The update server did not send the feed within 60 seconds.");
}

TEST_P(UpdaterOnLocalFeed, RedirectsOnlyToSecureAddresses) {
    test::LocalHttpServer mirror;
    mirror.setBody(appcastFeed(appcastItem("7.0", "https://example.org/7")));
    server.setResponse({302, "Found", {}, {{"Location", mirror.url("/feed.xml").toUtf8()}}});
    EXPECT_EQ(userCheck(), "available 7.0 https://example.org/7");
    server.setResponse({302, "Found", {}, {{"Location", "http://example.org/appcast.xml"}}});
    EXPECT_EQ(userCheck(), "The update server could not be reached: the server redirected to an "
                           "insecure address.");
    server.setResponse({301, "Moved Permanently", {}, {{"Location", server.url().toUtf8()}}});
    EXPECT_EQ(userCheck(), "The update server could not be reached: the server redirected too "
                           "many times.");
}

TEST_P(UpdaterOnLocalFeed, StartRefusesMissingAndInsecureAddresses) {
    const auto startError = [&](const UpdaterFeedDelegate* delegate) {
        AppcastUpdater refused(delegate, notifier, "1.0");
        const auto started = refused.startUpdater();
        EXPECT_FALSE(refused.isStarted());
        return started ? std::string("started") : started.error().description();
    };
    EXPECT_EQ(startError(nullptr), "No update feed address is configured.");
    FixedFeed plain("http://updates.kestrelamp.org/appcast.xml");
    EXPECT_EQ(startError(&plain),
              "The update feed address \"http://updates.kestrelamp.org/appcast.xml\" does not use "
              "https.");
    FixedFeed bad("ftp://updates.kestrelamp.org/appcast.xml");
    EXPECT_EQ(startError(&bad), "The update feed address \"ftp://updates.kestrelamp.org/"
                                "appcast.xml\" is not a valid web address.");
}

INSTANTIATE_TEST_SUITE_P(InThisProcessAndInAFeedProcess, UpdaterOnLocalFeed, testing::Bool());

// What a feed process that does not do its part is reported as.
TEST(FeedDownloadProcess, AProcessThatDoesNotAnswerAsOneFailsAndSaysHow) {
    TempHome home;
    const auto outcome = [](const QString& program) {
        std::optional<std::string> said;
        FeedDownloadProcess download(
            program, QUrl("http://127.0.0.1:9/appcast.xml"),
            [&](Expected<QByteArray, UpdateCheckError> body) {
                said = body ? "body " + body->toStdString() : body.error().description();
            },
            std::chrono::seconds(5));
        EXPECT_TRUE(waitUntil([&] { return said.has_value(); }));
        return said.value_or("nothing");
    };
    const auto script = [&](const char* name, const char* text) {
        const QString path = home.path() + "/" + name;
        writeFile(path, std::string("#!/bin/sh\n") + text);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner);
        return path;
    };
    EXPECT_TRUE(outcome(home.path() + "/missing")
                    .starts_with("The update server could not be reached: the download process "
                                 "could not be started"));
    EXPECT_EQ(outcome(script("fails", "exit 1\n")),
              "The update server could not be reached: the download process ended with status 1.");
    EXPECT_EQ(outcome(script("garbles", "echo nonsense; exit 3\n")),
              "The update server could not be reached: the download process answered something "
              "unreadable.");
    EXPECT_EQ(outcome(script("crashes", "kill -SEGV $$\n")),
              "The update server could not be reached: the download process crashed.");
    EXPECT_EQ(outcome(script("answers", "printf '3\\n404\\n\\n'; exit 3\n")),
              "The update server answered with HTTP status 404.");
    EXPECT_EQ(outcome(script("serves", "printf '<rss/>'\n")), "body <rss/>");

    // Destroyed on the way: the process ends with it, and nothing calls back.
    bool calledBack = false;
    auto download = std::make_unique<FeedDownloadProcess>(
        script("hangs", "echo $$ > \"$0.pid\"; exec sleep 30\n"),
        QUrl("http://127.0.0.1:9/appcast.xml"),
        [&](Expected<QByteArray, UpdateCheckError>) { calledBack = true; },
        std::chrono::seconds(5));
    ASSERT_TRUE(waitUntil([&] { return !readFile(home.path() + "/hangs.pid").empty(); }));
    const pid_t pid = std::stoi(readFile(home.path() + "/hangs.pid"));
    download.reset();
    EXPECT_TRUE(waitUntil([&] { return ::kill(pid, 0) != 0; })) << "the download process lives on";
    EXPECT_FALSE(calledBack);
}

// The feed program itself: the error on three lines for the parent, or why it will not try.
TEST(FeedDownloadProcess, TheFeedProgramSaysWhyOnItsOwnLines) {
    const auto run = [](const QStringList& arguments) {
        QProcess process;
        process.start(QStringLiteral(KESTRELAMP_FEED_PROGRAM), arguments);
        process.waitForFinished(30000);
        return std::tuple(process.exitCode(), process.readAllStandardOutput(),
                          process.readAllStandardError());
    };
    const auto [refusedStatus, refusedOut, refusedErr] =
        run({QStringLiteral("http://127.0.0.1:%1/appcast.xml").arg(LocalHttpServer::closedPort()),
             "2000"});
    EXPECT_EQ(refusedStatus, FeedDownloadProcess::failedStatus);
    EXPECT_EQ(refusedOut, "1\n0\nthe connection was refused\n");
    const auto [insecureStatus, insecureOut, insecureErr] =
        run({"http://example.org/appcast.xml", "2000"});
    EXPECT_EQ(insecureStatus, 2);
    EXPECT_TRUE(insecureErr.startsWith("usage: kestrelamp-fetch-feed SECURE_ADDRESS DEADLINE_MS"))
        << insecureErr.data();
}

// A feed process that cannot even start fails the check, and the next check is made anew.
TEST(FeedDownloadProcess, AProcessThatCannotStartLeavesTheUpdaterFreeForTheNextCheck) {
    TempHome home;
    FixedFeed feed(QStringLiteral("http://127.0.0.1:9/appcast.xml"));
    RecordingUpdateNotifier notifier;
    AppcastUpdater updater(&feed, notifier, "1.0");
    updater.setAutomaticallyChecksForUpdates(false);
    updater.setFeedFetcher(FeedDownloadProcess::fetcher(QString()));
    ASSERT_TRUE(updater.startUpdater());
    for (std::size_t check = 1; check <= 2; ++check) {
        updater.checkForUpdates();
        ASSERT_TRUE(waitUntil([&] { return notifier.reports.size() == check; })) << check;
        EXPECT_EQ(notifier.reports.back().result.error.kind, UpdateCheckError::Kind::unreachable);
        EXPECT_FALSE(updater.sessionInProgress());
    }
}

} // namespace
} // namespace kestrelamp::test
