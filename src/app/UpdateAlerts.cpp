#include "app/UpdateAlerts.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QUrl>

#include <cstdio>

namespace kestrelamp {
namespace {

constexpr int kNotificationMs = 10000;

QString html(const std::string& text) {
    return QString::fromStdString(text).toHtmlEscaped();
}

} // namespace

UpdateAlerts::UpdateAlerts(QObject* parent)
    : QObject(parent) {}

UpdateAlerts::~UpdateAlerts() {
    delete dialog_.data();
}

void UpdateAlerts::setTrayIcon(QSystemTrayIcon* tray) {
    if (tray_) {
        disconnect(tray_, nullptr, this, nullptr);
    }
    tray_ = tray;
    if (tray_) {
        connect(tray_, &QSystemTrayIcon::messageClicked, this, [this] {
            if (!notifiedLink_.empty()) {
                openReleasePage(notifiedLink_);
            }
        });
    }
}

void UpdateAlerts::backgroundCheckFinished(const UpdateCheckResult& result) {
    if (result.outcome == UpdateCheckResult::Outcome::failed) {
        std::printf("Update check failed: %s\n", result.error.description().c_str());
        std::fflush(stdout);
        return;
    }
    if (result.outcome != UpdateCheckResult::Outcome::updateAvailable) {
        return;
    }
    const UpdateMessage message = result.message();
    lastNotification_ = message;
    notifiedLink_ = result.update.link;
    if (tray_ && tray_->isVisible() && QSystemTrayIcon::supportsMessages()) {
        tray_->showMessage(QString::fromStdString(message.title), notificationText(result),
                           QSystemTrayIcon::Information, kNotificationMs);
    } else {
        std::printf("%s: %s\n", message.title.c_str(), message.text.c_str());
        std::fflush(stdout);
    }
}

void UpdateAlerts::userCheckFinished(const UpdateCheckResult& result) {
    delete dialog_.data();
    const UpdateMessage message = result.message();
    const bool available = result.outcome == UpdateCheckResult::Outcome::updateAvailable;
    const bool failed = result.outcome == UpdateCheckResult::Outcome::failed;
    auto* box = new QMessageBox(failed ? QMessageBox::Warning : QMessageBox::Information,
                                QString::fromStdString(message.title), dialogText(result));
    box->setObjectName(QStringLiteral("updateCheckDialog"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setTextFormat(Qt::RichText);
    box->setTextInteractionFlags(Qt::TextBrowserInteraction);
    if (available) {
        QPushButton* open =
            box->addButton(QStringLiteral("Open Release Page"), QMessageBox::AcceptRole);
        open->setObjectName(QStringLiteral("openReleasePage"));
        const std::string link = result.update.link;
        connect(open, &QPushButton::clicked, box, [link] { openReleasePage(link); });
        box->addButton(QMessageBox::Close);
    } else {
        box->addButton(QMessageBox::Ok);
    }
    dialog_ = box;
    box->open();
    box->raise();
    box->activateWindow();
}

QString UpdateAlerts::dialogText(const UpdateCheckResult& result) {
    const UpdateMessage message = result.message();
    QString text = html(message.text);
    if (result.outcome == UpdateCheckResult::Outcome::updateAvailable &&
        !result.update.link.empty()) {
        const QString link = html(result.update.link);
        text.replace(link, QStringLiteral("<a href=\"%1\">%1</a>").arg(link));
    }
    return text;
}

QString UpdateAlerts::notificationText(const UpdateCheckResult& result) {
    return html(result.message().text);
}

bool UpdateAlerts::openReleasePage(const std::string& link) {
    const QUrl url(QString::fromStdString(link), QUrl::StrictMode);
    if (!url.isValid() ||
        (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http"))) {
        return false;
    }
    return QDesktopServices::openUrl(url);
}

} // namespace kestrelamp
