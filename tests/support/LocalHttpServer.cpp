#include "LocalHttpServer.h"

#include <QTcpSocket>

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
            QByteArray answer = "HTTP/1.1 " + QByteArray::number(response_.status) + " " +
                                response_.reason + "\r\n";
            for (const auto& [name, value] : response_.headers) {
                answer += name + ": " + value + "\r\n";
            }
            answer += "Content-Length: " + QByteArray::number(response_.body.size()) + "\r\n";
            answer += "Connection: close\r\n\r\n";
            answer += response_.body;
            socket->write(answer);
            socket->disconnectFromHost();
        });
    }
}

} // namespace kestrelamp::test
