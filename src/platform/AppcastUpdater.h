#pragma once

#include "platform/FeedDownload.h"
#include "platform/UpdateNotifier.h"
#include "platform/Updater.h"
#include "platform/UserDefaults.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <optional>
#include <string>

namespace kestrelamp {

// The real updater: reads the appcast at the delegate's address (or $KESTRELAMP_APPCAST_URL)
// and compares its newest release with the running version. It downloads and installs
// nothing; the package manager does that. One check runs at a time: a request made while one
// is running is answered by that check. The automatic-check flag and the time the last check
// ended are kept in the user defaults, so the schedule carries across restarts.
class AppcastUpdater final : public QObject, public Updater {
    Q_OBJECT

public:
    static constexpr const char* feedAddressVariable = "KESTRELAMP_APPCAST_URL";
    static constexpr double defaultUpdateCheckInterval = 86400.0;
    // Intervals are kept within these, so that a mistaken value neither floods the feed server
    // nor overflows the timer arithmetic.
    static constexpr double minimumUpdateCheckInterval = 1.0;
    static constexpr double maximumUpdateCheckInterval = 365.0 * 86400.0;
    // A check already overdue at start waits this long (at most one interval), so that the
    // program's own launch check comes first and the two do not both run.
    static constexpr double overdueCheckDelay = 60.0;

    // The delegate and notifier must outlive the updater; without a delegate it cannot start
    // unless the environment names a feed.
    AppcastUpdater(const UpdaterFeedDelegate* delegate, UpdateNotifier& notifier,
                   std::string currentVersion, QObject* parent = nullptr);
    ~AppcastUpdater() override;

    Expected<void, UpdaterStartError> startUpdater() override;
    bool automaticallyChecksForUpdates() const override;
    void setAutomaticallyChecksForUpdates(bool automatic) override;
    double updateCheckInterval() const override { return interval_; }
    void setUpdateCheckInterval(double seconds) override;
    void checkForUpdatesInBackground() override;

    // How each check downloads the feed; without one every check fails.
    void setFeedFetcher(FeedFetcher fetcher) { fetcher_ = std::move(fetcher); }

    // How long one check may take, from its request to the last byte of the feed.
    void setCheckDeadline(std::chrono::milliseconds deadline) { checkDeadline_ = deadline; }
    std::chrono::milliseconds checkDeadline() const { return checkDeadline_; }

    // A check the user asked for; before the start it fails at once with "not started".
    void checkForUpdates();

    bool isStarted() const { return started_; }
    bool sessionInProgress() const { return download_ != nullptr; }
    const QUrl& feedAddress() const { return feed_; }
    const std::string& currentVersion() const { return currentVersion_; }
    std::optional<QDateTime> lastUpdateCheckDate() const;
    // When the next automatic check is due; nothing while none is scheduled.
    std::optional<QDateTime> nextScheduledCheck() const { return nextCheck_; }

    // How long after `now` the next automatic check is due.
    static qint64 millisecondsUntilNextCheck(const std::optional<QDateTime>& lastCheck,
                                             double intervalSeconds, const QDateTime& now);

private:
    enum Origin : unsigned { background = 1, user = 2 };

    void beginCheck(Origin origin);
    void finishCheck(const UpdateCheckResult& result);
    void scheduleNextCheck();
    void scheduledCheckDue();

    const UpdaterFeedDelegate* delegate_;
    UpdateNotifier& notifier_;
    std::string currentVersion_;
    UserDefaults defaults_;
    FeedFetcher fetcher_;
    QPointer<QObject> download_;
    QTimer timer_;
    QUrl feed_;
    bool started_ = false;
    double interval_ = defaultUpdateCheckInterval;
    std::chrono::milliseconds checkDeadline_ = FeedDownload::defaultDeadline;
    unsigned waitingOrigins_ = 0;
    std::optional<QDateTime> nextCheck_;
};

} // namespace kestrelamp
