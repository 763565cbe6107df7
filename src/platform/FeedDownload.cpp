#include "platform/FeedDownload.h"

#include "platform/Appcast.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace kestrelamp {
namespace {

std::string networkFailure(QNetworkReply::NetworkError error) {
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
        return "the connection was refused";
    case QNetworkReply::HostNotFoundError:
        return "the host was not found";
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError:
        return "the connection timed out";
    case QNetworkReply::RemoteHostClosedError:
        return "the server closed the connection";
    case QNetworkReply::SslHandshakeFailedError:
        return "the secure connection could not be established";
    case QNetworkReply::TooManyRedirectsError:
        return "too many redirects";
    case QNetworkReply::InsecureRedirectError:
        return "the server redirected to an insecure address";
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::ProxyAuthenticationRequiredError:
        return "the proxy failed";
    default:
        return "a network error occurred";
    }
}

} // namespace

FeedDownload::FeedDownload(QNetworkAccessManager& network, const QUrl& address,
                           Completion completion, QObject* parent)
    : QObject(parent)
    , completion_(std::move(completion)) {
    QNetworkRequest request(address);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(5);
    request.setTransferTimeout(transferTimeoutMs);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setHeader(QNetworkRequest::UserAgentHeader, "Kestrelamp/" KESTRELAMP_VERSION);
    reply_ = network.get(request);

    connect(reply_, &QNetworkReply::redirected, this, [this](const QUrl& target) {
        if (isSecureWebAddress(target)) {
            Q_EMIT reply_->redirectAllowed();
        } else {
            refusedRedirect_ = true;
            reply_->abort();
        }
    });
    connect(reply_, &QNetworkReply::downloadProgress, this,
            [this](qint64 received, qint64) { this->received(received); });
    connect(reply_, &QNetworkReply::finished, this, &FeedDownload::finished);
    // A reply that finished within get() signalled before anyone listened: replay it.
    if (reply_->isFinished()) {
        QMetaObject::invokeMethod(this, &FeedDownload::finished, Qt::QueuedConnection);
    }
}

FeedDownload::~FeedDownload() {
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
        reply_->deleteLater();
    }
}

void FeedDownload::received(qint64 bytes) {
    if (bytes > maximumFeedBytes && !tooLarge_) {
        tooLarge_ = true;
        reply_->abort();
    }
}

void FeedDownload::finished() {
    if (!reply_) {
        return;
    }
    QNetworkReply* reply = reply_;
    reply_ = nullptr;
    reply->deleteLater();

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int code = status.isValid() ? status.toInt() : 0;
    const bool failedRedirect =
        code >= 300 && code < 400 && reply->error() != QNetworkReply::NoError;
    Expected<QByteArray, UpdateCheckError> result = QByteArray();
    if (refusedRedirect_) {
        result = unexpected(
            UpdateCheckError::unreachable(networkFailure(QNetworkReply::InsecureRedirectError)));
    } else if (tooLarge_) {
        result = unexpected(UpdateCheckError::malformedFeed("the feed is larger than 1 MiB"));
    } else if (code != 0 && !failedRedirect && (code < 200 || code > 299)) {
        result = unexpected(UpdateCheckError::httpStatusError(code));
    } else if (reply->error() != QNetworkReply::NoError) {
        result = unexpected(UpdateCheckError::unreachable(networkFailure(reply->error())));
    } else {
        result = reply->readAll();
    }
    // The owner may destroy this download from within the completion.
    Completion completion = std::move(completion_);
    completion(std::move(result));
}

} // namespace kestrelamp
