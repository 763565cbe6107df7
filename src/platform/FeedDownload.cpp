#include "platform/FeedDownload.h"

#include "platform/Appcast.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <memory>

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
        return "the server redirected too many times";
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

void FeedDownload::prepareNetwork(QNetworkAccessManager& network, const QUrl& address) {
    if (isLoopbackAddress(address)) {
        network.setProxy(QNetworkProxy::NoProxy);
    }
}

FeedDownload::FeedDownload(QNetworkAccessManager& network, const QUrl& address,
                           Completion completion, std::chrono::milliseconds deadline,
                           QObject* parent)
    : QObject(parent)
    , completion_(std::move(completion))
    , deadline_(deadline) {
    QNetworkRequest request(address);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(maximumRedirects);
    request.setTransferTimeout(transferTimeoutMs);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setHeader(QNetworkRequest::UserAgentHeader, "Kestrelamp/" KESTRELAMP_VERSION);
    reply_ = network.get(request);

    connect(reply_, &QNetworkReply::redirected, this, [this](const QUrl& target) {
        ++redirects_;
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
    deadlineTimer_.setSingleShot(true);
    connect(&deadlineTimer_, &QTimer::timeout, this, &FeedDownload::deadlinePassed);
    deadlineTimer_.start(deadline_);
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

void FeedDownload::deadlinePassed() {
    if (reply_ && !tooSlow_) {
        tooSlow_ = true;
        reply_->abort();
    }
}

void FeedDownload::finished() {
    if (!reply_) {
        return;
    }
    deadlineTimer_.stop();
    QNetworkReply* reply = reply_;
    reply_ = nullptr;
    reply->deleteLater();

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int code = status.isValid() ? status.toInt() : 0;
    // Failures of the connection, the proxy or the redirects (Qt numbers them below 200) leave
    // whatever status the last answer had: 3xx, or even 100 after a redirect loop. They are not
    // the server's verdict on the feed.
    const bool transportFailure = reply->error() != QNetworkReply::NoError &&
                                  reply->error() < QNetworkReply::ContentAccessDenied;
    // Qt 6.4 ends a redirect loop as an answer with status 100 and no error, not always with
    // TooManyRedirectsError: after redirects, anything but a final answer is the loop.
    const bool redirectsDidNotEnd = redirects_ > 0 && !transportFailure &&
                                    ((code >= 100 && code < 200) || (code >= 300 && code < 400));
    Expected<QByteArray, UpdateCheckError> result = QByteArray();
    if (tooSlow_) {
        result = unexpected(UpdateCheckError::tooSlow(deadline_));
    } else if (redirectsDidNotEnd) {
        result = unexpected(
            UpdateCheckError::unreachable(networkFailure(QNetworkReply::TooManyRedirectsError)));
    } else if (refusedRedirect_) {
        result = unexpected(
            UpdateCheckError::unreachable(networkFailure(QNetworkReply::InsecureRedirectError)));
    } else if (tooLarge_) {
        result = unexpected(tooLarge());
    } else if (code != 0 && !transportFailure && (code < 200 || code > 299)) {
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

FeedFetcher feedFetcherInThisProcess() {
    auto network = std::make_shared<QPointer<QNetworkAccessManager>>();
    return [network](const QUrl& address, std::chrono::milliseconds deadline,
                     FeedDownload::Completion completion, QObject* parent) -> QObject* {
        if (network->isNull()) {
            *network = new QNetworkAccessManager(parent);
            FeedDownload::prepareNetwork(**network, address);
        }
        return new FeedDownload(**network, address, std::move(completion), deadline, parent);
    };
}

} // namespace kestrelamp
