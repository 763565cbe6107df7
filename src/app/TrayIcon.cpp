#include "app/TrayIcon.h"

#include "model/AudioRouteManager.h"
#include "views/toolkit/Colors.h"
#include "views/toolkit/ProgramIcons.h"

#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QMenu>
#include <QSystemTrayIcon>

#include <set>

namespace kestrelamp {
namespace {

constexpr int kWatcherTimeoutMs = 1000;
const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");

bool pointerPositionKnown() {
    const QString platform = QGuiApplication::platformName();
    return !platform.startsWith(QLatin1String("wayland"));
}

QString count(std::size_t n, const char* one, const char* many) {
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

} // namespace

TrayIcon::TrayIcon(QObject* parent)
    : QObject(parent) {
    const QColor text = toolkit::primaryColor(QApplication::palette());
    // A host draws the icon itself and can recolour a symbolic theme icon; in an XEmbed tray
    // we draw it, on a panel whose colour we are not told.
    const QIcon icon = statusNotifierHostPresent()
                           ? toolkit::themedTrayIcon(text)
                           : toolkit::menuBarIcon(text, toolkit::TrayGlyph::outlined);
    tray_ = new QSystemTrayIcon(icon, this);
    tray_->setToolTip(QStringLiteral("Kestrelamp"));
    menu_ = new QMenu;
    menu_->setObjectName(QStringLiteral("trayMenu"));
    menu_->addAction(QStringLiteral("Open Kestrelamp"), this, &TrayIcon::openRequested);
    menu_->addSeparator();
    menu_->addAction(QStringLiteral("Settings"), this, &TrayIcon::settingsRequested);
    menu_->addSeparator();
    // No shortcut shown: Ctrl+Q works only while a window of ours has the focus, never here.
    menu_->addAction(QStringLiteral("Quit Kestrelamp"), this, &TrayIcon::quitRequested);
    tray_->setContextMenu(menu_);
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) {
                    lastPointer_ =
                        pointerPositionKnown() ? QRect(QCursor::pos(), QSize(1, 1)) : QRect();
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
    if (lastPointer_.isValid()) {
        return lastPointer_;
    }
    return pointerPositionKnown() ? QRect(QCursor::pos(), QSize(1, 1)) : QRect();
}

void TrayIcon::setStatus(const QString& toolTip) {
    if (tray_->toolTip() != toolTip) {
        tray_->setToolTip(toolTip);
    }
}

QString TrayIcon::statusText(const AudioRouteManager& manager) {
    std::set<std::string> routed;
    std::set<std::string> waiting;
    std::set<std::string> failed;
    for (const auto& [key, state] : manager.routeStates()) {
        if (state.isActive()) {
            routed.insert(state.appID);
        } else if (state.status == RouteStatus::failed) {
            failed.insert(state.appID);
        } else {
            waiting.insert(state.appID);
        }
    }
    QStringList lines{QStringLiteral("Kestrelamp")};
    QString routes = routed.empty() ? QStringLiteral("No application routed")
                                    : count(routed.size(), "application", "applications") +
                                          QStringLiteral(" routed");
    if (!waiting.empty()) {
        routes += QStringLiteral(", %1 waiting").arg(waiting.size());
    }
    if (!failed.empty()) {
        routes += QStringLiteral(", %1 failed").arg(failed.size());
    }
    lines << routes;
    const ProfileManager& profiles = manager.profileManager();
    if (const auto& active = profiles.activeProfileID()) {
        for (const AudioProfile& profile : profiles.profiles()) {
            if (profile.id == *active) {
                lines << QStringLiteral("Profile: ") + QString::fromStdString(profile.name);
            }
        }
    }
    return lines.join(QLatin1Char('\n'));
}

bool TrayIcon::statusNotifierHostPresent() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() ||
        !bus.interface()->isServiceRegistered(kWatcherService)) {
        return false;
    }
    QDBusMessage get = QDBusMessage::createMethodCall(
        kWatcherService, QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(get, QDBus::Block, kWatcherTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments().first().value<QDBusVariant>().variant().toBool();
}

} // namespace kestrelamp
