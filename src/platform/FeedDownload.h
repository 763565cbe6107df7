#pragma once

#include "platform/Expected.h"
#include "platform/UpdateCheck.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <functional>

class QNetworkAccessManager;
class QNetworkReply;

namespace kestrelamp {

// One GET of the update feed: the body of a 2xx answer, or why there is none. Redirects are
// followed only to secure addresses, and the body is capped, since both come from the network.
// Destroying the download aborts it without calling back.
class FeedDownload : public QObject {
    Q_OBJECT

public:
    using Completion = std::function<void(Expected<QByteArray, UpdateCheckError>)>;

    static constexpr qint64 maximumFeedBytes = 1024 * 1024;
    static constexpr int transferTimeoutMs = 30000;

    FeedDownload(QNetworkAccessManager& network, const QUrl& address, Completion completion,
                 QObject* parent = nullptr);
    ~FeedDownload() override;

private:
    void finished();
    void received(qint64 bytes);

    QPointer<QNetworkReply> reply_;
    Completion completion_;
    bool refusedRedirect_ = false;
    bool tooLarge_ = false;
};

} // namespace kestrelamp
