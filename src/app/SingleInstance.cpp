#include "app/SingleInstance.h"

#include "app/ControlClient.h"
#include "app/RemoteControlNames.h"
#include "app/RemoteControlService.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusError>

#include <iostream>

namespace kestrelamp {
namespace {

constexpr int kShowTimeoutMs = 10000;

} // namespace

SingleInstance::SingleInstance()
    : connection_(QDBusConnection::sessionBus()) {
    if (!connection_.isConnected()) {
        reportUnavailable("there is no D-Bus session bus (" + connection_.lastError().message() +
                          ")");
    }
}

SingleInstance::~SingleInstance() {
    QObject::disconnect(releaseAtQuit_);
    release();
}

void SingleInstance::release() {
    if (ownsName_) {
        connection_.unregisterService(remote::kServiceName);
        ownsName_ = false;
    }
}

void SingleInstance::reportUnavailable(const QString& reason) {
    if (reportedUnavailable_) {
        return;
    }
    reportedUnavailable_ = true;
    std::cerr << "kestrelamp: remote control is unavailable: " << reason.toStdString() << ".\n";
}

std::optional<int> SingleInstance::handOverToRunningInstance() {
    if (!connection_.isConnected()) {
        return std::nullopt;
    }
    ControlCommand show;
    show.objectPath = remote::kObjectPath;
    show.interface = remote::kInterface;
    show.method = "Show";
    const RemoteReply reply = callRunningInstance(connection_, show, kShowTimeoutMs);
    switch (reply.outcome) {
    case RemoteReply::Outcome::answered:
        std::cout << "Kestrelamp is already running.\n";
        return 0;
    case RemoteReply::Outcome::notRunning:
    case RemoteReply::Outcome::noBus:
        return std::nullopt;
    case RemoteReply::Outcome::refused:
    case RemoteReply::Outcome::routeNotActive:
    case RemoteReply::Outcome::failed:
        break;
    }
    std::cerr << "kestrelamp: Kestrelamp is already running but did not answer: "
              << reply.message.toStdString() << "\n";
    return 1;
}

std::optional<int> SingleInstance::claim(RemoteControlService& service) {
    if (!connection_.isConnected()) {
        return std::nullopt;
    }
    // The objects come first, so that whoever finds the name also finds the interface behind it.
    if (!service.exportOn(connection_)) {
        reportUnavailable("the remote-control object could not be exported");
        return std::nullopt;
    }
    if (connection_.registerService(remote::kServiceName)) {
        ownsName_ = true;
        releaseAtQuit_ =
            QObject::connect(qApp, &QCoreApplication::aboutToQuit, qApp, [this] { release(); });
        return std::nullopt;
    }
    const QDBusError error = connection_.lastError();
    service.unexportFrom(connection_);
    const bool taken = connection_.interface()->isServiceRegistered(remote::kServiceName);
    if (!taken) {
        reportUnavailable("the name " + QString(remote::kServiceName) + " could not be taken (" +
                          error.message() + ")");
        return std::nullopt;
    }
    // Another instance started at the same moment and won.
    if (const auto handedOver = handOverToRunningInstance()) {
        return handedOver;
    }
    std::cerr << "kestrelamp: another instance took the name " << remote::kServiceName
              << " and ended at once; start Kestrelamp again.\n";
    return 1;
}

} // namespace kestrelamp
