#pragma once

#include "platform/FeedDownload.h"

#include <QProcess>
#include <QStringList>

namespace kestrelamp {

// The feed downloaded by a short-lived program of ours (`kestrelamp-fetch-feed ADDRESS
// DEADLINE_MS`), so that the network and TLS libraries and the network manager's state never load
// into the long-running one; the feed itself is read here, as for FeedDownload. Calls back once,
// as FeedDownload does; destroying it ends the process without calling back.
class FeedDownloadProcess : public QObject {
    Q_OBJECT

public:
    // Installed beside the program.
    static constexpr const char* programName = "kestrelamp-fetch-feed";
    // The process reports a failure with this status and the error on three lines: its kind,
    // the HTTP status and the detail.
    static constexpr int failedStatus = 3;

    FeedDownloadProcess(const QString& program, const QUrl& address,
                        FeedDownload::Completion completion, std::chrono::milliseconds deadline,
                        QObject* parent = nullptr);
    ~FeedDownloadProcess() override;

    // A fetcher for AppcastUpdater running `program`.
    static FeedFetcher fetcher(const QString& program);

private:
    void ended(int exitCode, QProcess::ExitStatus status);
    void complete(Expected<QByteArray, UpdateCheckError> result);

    QProcess process_;
    QTimer deadlineTimer_;
    FeedDownload::Completion completion_;
    std::chrono::milliseconds deadline_;
};

// The process's side (linked from the network library), with a QCoreApplication made: downloads the
// feed at ADDRESS within DEADLINE_MS and writes its body to standard output (status 0), or the
// error (failedStatus). Wrong arguments: status 2 and a message on standard error.
int runFeedDownloadCommand(const QStringList& arguments);

} // namespace kestrelamp
