#include "platform/FeedDownloadProcess.h"

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace kestrelamp {
namespace {

// The process enforces the deadline itself; this much more and it is ended from here.
constexpr std::chrono::milliseconds kGrace = std::chrono::seconds(5);

Expected<QByteArray, UpdateCheckError> decodeFailure(const QByteArray& output) {
    const QList<QByteArray> lines = output.split('\n');
    bool kindRead = false;
    bool statusRead = false;
    const int kind = lines.size() >= 3 ? lines[0].toInt(&kindRead) : -1;
    const int status = lines.size() >= 3 ? lines[1].toInt(&statusRead) : 0;
    if (!kindRead || !statusRead || kind < int(UpdateCheckError::Kind::notStarted) ||
        kind > int(UpdateCheckError::Kind::invalidCurrentVersion)) {
        return unexpected(
            UpdateCheckError::unreachable("the download process answered something unreadable"));
    }
    const QByteArray detail = output.mid(lines[0].size() + lines[1].size() + 2);
    return unexpected(
        UpdateCheckError{UpdateCheckError::Kind(kind), status, detail.trimmed().toStdString()});
}

} // namespace

FeedDownloadProcess::FeedDownloadProcess(const QString& program, const QUrl& address,
                                         FeedDownload::Completion completion,
                                         std::chrono::milliseconds deadline, QObject* parent)
    : QObject(parent)
    , completion_(std::move(completion))
    , deadline_(deadline) {
    process_.setProcessChannelMode(QProcess::SeparateChannels);
    process_.setStandardInputFile(QProcess::nullDevice());
    process_.setStandardErrorFile(QProcess::nullDevice());
    connect(&process_, &QProcess::finished, this, &FeedDownloadProcess::ended);
    connect(&process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            complete(unexpected(
                UpdateCheckError::unreachable("the download process could not be started: " +
                                              process_.errorString().toStdString())));
        }
    });
    deadlineTimer_.setSingleShot(true);
    connect(&deadlineTimer_, &QTimer::timeout, this,
            [this] { complete(unexpected(UpdateCheckError::tooSlow(deadline_))); });
    deadlineTimer_.start(deadline_ + kGrace);
    // A program killed during a check takes its download with it, also one killed before the
    // child asked for that.
    const pid_t ownPid = ::getpid();
    process_.setChildProcessModifier([ownPid] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != ownPid) {
            ::_exit(1);
        }
    });
    const QStringList arguments{address.toString(QUrl::FullyEncoded),
                                QString::number(deadline.count())};
    // Started from the event loop: a start that fails at once calls back, and the caller must
    // have its download in hand by then.
    QMetaObject::invokeMethod(
        this, [this, program, arguments] { process_.start(program, arguments); },
        Qt::QueuedConnection);
}

FeedDownloadProcess::~FeedDownloadProcess() {
    process_.disconnect(this);
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(1000);
    }
}

FeedFetcher FeedDownloadProcess::fetcher(const QString& program) {
    return [program](const QUrl& address, std::chrono::milliseconds deadline,
                     FeedDownload::Completion completion, QObject* parent) -> QObject* {
        return new FeedDownloadProcess(program, address, std::move(completion), deadline, parent);
    };
}

void FeedDownloadProcess::ended(int exitCode, QProcess::ExitStatus status) {
    const QByteArray output = process_.readAllStandardOutput();
    if (status == QProcess::NormalExit && exitCode == 0) {
        if (output.size() > FeedDownload::maximumFeedBytes) {
            complete(unexpected(FeedDownload::tooLarge()));
        } else {
            complete(output);
        }
    } else if (status == QProcess::NormalExit && exitCode == failedStatus) {
        complete(decodeFailure(output));
    } else {
        complete(unexpected(UpdateCheckError::unreachable(
            status == QProcess::CrashExit
                ? "the download process crashed"
                : "the download process ended with status " + std::to_string(exitCode))));
    }
}

void FeedDownloadProcess::complete(Expected<QByteArray, UpdateCheckError> result) {
    if (!completion_) {
        return;
    }
    deadlineTimer_.stop();
    process_.disconnect(this);
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
    }
    // The owner may destroy this download from within the completion.
    FeedDownload::Completion completion = std::move(completion_);
    completion_ = nullptr;
    completion(std::move(result));
}

} // namespace kestrelamp
