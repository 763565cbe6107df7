#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>

class QTcpSocket;

namespace kestrelamp::test {

// A one-response web server on 127.0.0.1, run by the test's own event loop: every request gets
// the same answer, then the connection closes.
class LocalHttpServer : public QObject {
    Q_OBJECT

public:
    struct Response {
        int status = 200;
        QByteArray reason = "OK";
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        // When set, the body goes out one byte at a time at this interval, as a server that
        // keeps the connection alive but never finishes.
        int dripIntervalMs = 0;
    };

    LocalHttpServer();

    void setResponse(Response response) { response_ = std::move(response); }
    void setBody(QByteArray body);

    QString url(const QString& path = "/appcast.xml") const;
    // "GET /appcast.xml HTTP/1.1", one per request.
    const QList<QByteArray>& requestLines() const { return requestLines_; }

    // A port on 127.0.0.1 that nothing listens on.
    static quint16 closedPort();

private:
    void accept();
    void answer(QTcpSocket* socket);

    QTcpServer server_;
    Response response_;
    QList<QByteArray> requestLines_;
};

// An update feed with these items, and one item of a version and its release page.
inline QByteArray appcastFeed(const QByteArray& items) {
    return R"(<rss version="2.0" xmlns:kestrelamp="https://updates.kestrelamp.org/xmlns/appcast">)"
           "<channel><title>Kestrelamp</title>" +
           items + "</channel></rss>";
}
inline QByteArray appcastItem(const QByteArray& version, const QByteArray& link) {
    return "<item><kestrelamp:version>" + version + "</kestrelamp:version><link>" + link +
           "</link></item>";
}

} // namespace kestrelamp::test
