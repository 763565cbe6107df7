#include "LocalHttpServer.h"

#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace kestrelamp::test {

LocalHttpServer::LocalHttpServer() {
    server_.listen(QHostAddress::LocalHost);
    connect(&server_, &QTcpServer::newConnection, this, &LocalHttpServer::accept);
}

void LocalHttpServer::setBody(QByteArray body) {
    response_ = Response{};
    response_.body = std::move(body);
    response_.headers = {{"Content-Type", "application/rss+xml"}};
}

QString LocalHttpServer::url(const QString& path) const {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(server_.serverPort()).arg(path);
}

quint16 LocalHttpServer::closedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

void LocalHttpServer::accept() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        auto request = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, request] {
            const bool complete = request->contains("\r\n\r\n");
            *request += socket->readAll();
            if (complete || !request->contains("\r\n\r\n")) {
                return;
            }
            requestLines_.append(request->left(request->indexOf("\r\n")));
            answer(socket);
        });
    }
}

void LocalHttpServer::answer(QTcpSocket* socket) {
    QByteArray head =
        "HTTP/1.1 " + QByteArray::number(response_.status) + " " + response_.reason + "\r\n";
    for (const auto& [name, value] : response_.headers) {
        head += name + ": " + value + "\r\n";
    }
    head += "Content-Length: " + QByteArray::number(response_.body.size()) + "\r\n";
    head += "Connection: close\r\n\r\n";
    if (response_.dripIntervalMs <= 0) {
        socket->write(head + response_.body);
        socket->disconnectFromHost();
        return;
    }
    socket->write(head);
    auto* drip = new QTimer(socket);
    auto rest = std::make_shared<QByteArray>(response_.body);
    connect(drip, &QTimer::timeout, socket, [socket, rest] {
        if (rest->isEmpty()) {
            socket->disconnectFromHost();
            return;
        }
        socket->write(rest->left(1));
        rest->remove(0, 1);
    });
    drip->start(response_.dripIntervalMs);
}

} // namespace kestrelamp::test
