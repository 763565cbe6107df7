#include "platform/AppcastUpdater.h"

#include "platform/Appcast.h"
#include "platform/FeedDownload.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrelamp {
namespace {

qint64 toMilliseconds(double seconds) {
    return static_cast<qint64>(std::llround(seconds * 1000.0));
}

} // namespace

AppcastUpdater::AppcastUpdater(const UpdaterFeedDelegate* delegate, UpdateNotifier& notifier,
                               std::string currentVersion, QObject* parent)
    : QObject(parent)
    , delegate_(delegate)
    , notifier_(notifier)
    , currentVersion_(std::move(currentVersion)) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &AppcastUpdater::scheduledCheckDue);
}

AppcastUpdater::~AppcastUpdater() {
    // Before the network manager goes, and without reporting: nobody is left to tell.
    delete download_.data();
}

Expected<void, UpdaterStartError> AppcastUpdater::startUpdater() {
    if (started_) {
        return {};
    }
    QString address = qEnvironmentVariable(feedAddressVariable);
    if (address.isEmpty() && delegate_ != nullptr) {
        address = QString::fromStdString(delegate_->feedURLString());
    }
    if (address.isEmpty()) {
        return unexpected(UpdaterStartError{UpdaterStartError::Kind::noFeedAddress, {}});
    }
    const QUrl url(address, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != "https" && scheme != "http")) {
        return unexpected(
            UpdaterStartError{UpdaterStartError::Kind::invalidFeedAddress, address.toStdString()});
    }
    if (!isSecureWebAddress(url)) {
        return unexpected(
            UpdaterStartError{UpdaterStartError::Kind::insecureFeedAddress, address.toStdString()});
    }
    feed_ = url;
    started_ = true;
    scheduleNextCheck();
    return {};
}

bool AppcastUpdater::automaticallyChecksForUpdates() const {
    if (!defaults_.contains(UserDefaults::automaticallyChecksForUpdatesKey)) {
        return true;
    }
    return defaults_.boolForKey(UserDefaults::automaticallyChecksForUpdatesKey);
}

void AppcastUpdater::setAutomaticallyChecksForUpdates(bool automatic) {
    defaults_.setBool(UserDefaults::automaticallyChecksForUpdatesKey, automatic);
    scheduleNextCheck();
}

void AppcastUpdater::setUpdateCheckInterval(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0.0) {
        return;
    }
    interval_ = std::clamp(seconds, minimumUpdateCheckInterval, maximumUpdateCheckInterval);
    scheduleNextCheck();
}

void AppcastUpdater::checkForUpdatesInBackground() {
    if (started_) {
        beginCheck(background);
    }
}

void AppcastUpdater::checkForUpdates() {
    if (!started_) {
        notifier_.userCheckFinished(
            UpdateCheckResult::failed(currentVersion_, UpdateCheckError::notStarted()));
        return;
    }
    beginCheck(user);
}

std::optional<QDateTime> AppcastUpdater::lastUpdateCheckDate() const {
    if (!defaults_.contains(UserDefaults::lastUpdateCheckTimeKey)) {
        return std::nullopt;
    }
    const double seconds = defaults_.doubleForKey(UserDefaults::lastUpdateCheckTimeKey);
    // A value no clock could have written (a hand-edited file) counts as no check at all.
    if (!std::isfinite(seconds) || seconds <= 0.0 || seconds > 1e11) {
        return std::nullopt;
    }
    return QDateTime::fromMSecsSinceEpoch(toMilliseconds(seconds), Qt::UTC);
}

qint64 AppcastUpdater::millisecondsUntilNextCheck(const std::optional<QDateTime>& lastCheck,
                                                  double intervalSeconds, const QDateTime& now) {
    const qint64 interval = toMilliseconds(intervalSeconds);
    const qint64 overdue = std::min(toMilliseconds(overdueCheckDelay), interval);
    if (!lastCheck) {
        return overdue;
    }
    // A last check in the future means the clock was set back; count from now.
    const QDateTime last = std::min(*lastCheck, now);
    const qint64 remaining = now.msecsTo(last.addMSecs(interval));
    return remaining <= 0 ? overdue : remaining;
}

void AppcastUpdater::beginCheck(Origin origin) {
    waitingOrigins_ |= origin;
    if (download_) {
        return;
    }
    FeedDownload::Completion completion = [this](Expected<QByteArray, UpdateCheckError> body) {
        finishCheck(body ? evaluateAppcast(*body, currentVersion_)
                         : UpdateCheckResult::failed(currentVersion_, body.error()));
    };
    if (!fetcher_) {
        finishCheck(UpdateCheckResult::failed(
            currentVersion_,
            UpdateCheckError::unreachable("no way to download the feed is set up")));
        return;
    }
    download_ = fetcher_(feed_, checkDeadline_, std::move(completion), this);
}

void AppcastUpdater::finishCheck(const UpdateCheckResult& result) {
    if (download_ != nullptr) {
        download_->deleteLater();
        download_ = nullptr;
    }
    const unsigned origins = std::exchange(waitingOrigins_, 0u);
    defaults_.setDouble(UserDefaults::lastUpdateCheckTimeKey,
                        QDateTime::currentMSecsSinceEpoch() / 1000.0);
    scheduleNextCheck();
    if (origins & user) {
        notifier_.userCheckFinished(result);
    }
    if (origins & background) {
        notifier_.backgroundCheckFinished(result);
    }
}

void AppcastUpdater::scheduleNextCheck() {
    if (!started_ || !automaticallyChecksForUpdates()) {
        timer_.stop();
        nextCheck_.reset();
        return;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const qint64 delay = millisecondsUntilNextCheck(lastUpdateCheckDate(), interval_, now);
    nextCheck_ = now.addMSecs(delay);
    // Longer waits than a timer holds are covered in steps: a check not yet due re-arms.
    timer_.start(static_cast<int>(std::min<qint64>(delay, std::numeric_limits<int>::max())));
}

void AppcastUpdater::scheduledCheckDue() {
    const auto last = lastUpdateCheckDate();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const bool due = !last || std::min(*last, now).addMSecs(toMilliseconds(interval_)) <= now;
    if (due) {
        nextCheck_.reset();
        beginCheck(background);
    } else {
        scheduleNextCheck();
    }
}

} // namespace kestrelamp
