#include "app/TrayIcon.h"

#include "views/toolkit/ProgramIcons.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>

namespace kestrelamp {

TrayIcon::TrayIcon(QObject* parent)
    : QObject(parent) {
    tray_ = new QSystemTrayIcon(toolkit::menuBarIcon(QApplication::palette()), this);
    tray_->setToolTip(QStringLiteral("Kestrelamp"));
    menu_ = new QMenu;
    menu_->setObjectName(QStringLiteral("trayMenu"));
    menu_->addAction(QStringLiteral("Open Kestrelamp"), this, &TrayIcon::openRequested);
    menu_->addSeparator();
    menu_->addAction(QStringLiteral("Settings"), this, &TrayIcon::settingsRequested);
    menu_->addSeparator();
    QAction* quit =
        menu_->addAction(QStringLiteral("Quit Kestrelamp"), this, &TrayIcon::quitRequested);
    quit->setShortcut(QKeySequence::Quit);
    tray_->setContextMenu(menu_);
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) {
                    lastPointer_ = QRect(QCursor::pos(), QSize(1, 1));
                    Q_EMIT toggleRequested();
                }
            });
    tray_->show();
}

TrayIcon::~TrayIcon() {
    delete menu_;
}

QRect TrayIcon::anchor() const {
    const QRect icon = tray_->geometry();
    if (icon.isValid() && !icon.isEmpty()) {
        return icon;
    }
    return lastPointer_.isValid() ? lastPointer_ : QRect(QCursor::pos(), QSize(1, 1));
}

} // namespace kestrelamp
