#pragma once

#include "platform/UpdateNotifier.h"

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

#include <optional>

namespace kestrelamp {

// What the user sees of finished update checks: a tray notification when a background check
// found a newer version (a line on the standard output without a tray), and a dialog for every
// check the user asked for: the newer version with its link, up to date, or why it failed.
class UpdateAlerts : public QObject, public UpdateNotifier {
    Q_OBJECT

public:
    explicit UpdateAlerts(QObject* parent = nullptr);
    ~UpdateAlerts() override;

    void setTrayIcon(QSystemTrayIcon* tray);

    void backgroundCheckFinished(const UpdateCheckResult& result) override;
    void userCheckFinished(const UpdateCheckResult& result) override;

    // The dialog of the last user check, while it is open.
    QMessageBox* dialog() const { return dialog_; }
    // The last notification a background check raised.
    const std::optional<UpdateMessage>& lastNotification() const { return lastNotification_; }

    // The dialog's text: the message, its link clickable, as rich text.
    static QString dialogText(const UpdateCheckResult& result);
    // The notification's text. Notification servers take markup in it, and the feed's text is
    // not ours: escaped.
    static QString notificationText(const UpdateCheckResult& result);
    // Opens the release page; only web addresses are opened.
    static bool openReleasePage(const std::string& link);

private:
    QPointer<QSystemTrayIcon> tray_;
    QPointer<QMessageBox> dialog_;
    std::optional<UpdateMessage> lastNotification_;
    std::string notifiedLink_;
};

} // namespace kestrelamp
