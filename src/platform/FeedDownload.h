#pragma once

#include "platform/Expected.h"
#include "platform/UpdateCheck.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>

class QNetworkAccessManager;
class QNetworkReply;

namespace kestrelamp {

// One GET of the update feed: the body of a 2xx answer, or why there is none. Redirects are
// followed only to secure addresses, the body is capped, and the whole download has a deadline
// besides the inactivity timeout (a server sending a byte now and then is never inactive), since
// all of these come from the network. Destroying the download aborts it without calling back.
class FeedDownload : public QObject {
    Q_OBJECT

public:
    using Completion = std::function<void(Expected<QByteArray, UpdateCheckError>)>;

    static constexpr qint64 maximumFeedBytes = 1024 * 1024;
    static constexpr int transferTimeoutMs = 30000;
    static constexpr int maximumRedirects = 5;
    static constexpr std::chrono::milliseconds defaultDeadline = std::chrono::seconds(60);

    // What a feed over maximumFeedBytes is reported as.
    static UpdateCheckError tooLarge() {
        return UpdateCheckError::malformedFeed("the feed is larger than 1 MiB");
    }
    // A proxy from the environment must not swallow requests to this machine: a network manager
    // for a feed on loopback goes without one.
    static void prepareNetwork(QNetworkAccessManager& network, const QUrl& address);

    FeedDownload(QNetworkAccessManager& network, const QUrl& address, Completion completion,
                 std::chrono::milliseconds deadline = defaultDeadline, QObject* parent = nullptr);
    ~FeedDownload() override;

private:
    void finished();
    void received(qint64 bytes);
    void deadlinePassed();

    QPointer<QNetworkReply> reply_;
    Completion completion_;
    QTimer deadlineTimer_;
    std::chrono::milliseconds deadline_;
    int redirects_ = 0;
    bool refusedRedirect_ = false;
    bool tooLarge_ = false;
    bool tooSlow_ = false;
};

// Starts one download of the feed with its deadline and gives back the download in progress,
// made a child of `parent`; destroying it aborts it without calling back.
using FeedFetcher = std::function<QObject*(const QUrl& address, std::chrono::milliseconds deadline,
                                           FeedDownload::Completion completion, QObject* parent)>;

// Downloads in this process, through one network manager made at the first download.
FeedFetcher feedFetcherInThisProcess();

} // namespace kestrelamp
