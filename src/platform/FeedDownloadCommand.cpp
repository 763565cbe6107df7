#include "platform/Appcast.h"
#include "platform/FeedDownloadProcess.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>

#include <cstdio>

namespace kestrelamp {

int runFeedDownloadCommand(const QStringList& arguments) {
    bool deadlineRead = false;
    const QUrl address(arguments.value(0), QUrl::StrictMode);
    const long long deadline = arguments.value(1).toLongLong(&deadlineRead);
    if (arguments.size() != 2 || !address.isValid() || !isSecureWebAddress(address) ||
        !deadlineRead || deadline <= 0) {
        std::fprintf(stderr, "usage: %s SECURE_ADDRESS DEADLINE_MS\n",
                     FeedDownloadProcess::programName);
        return 2;
    }
    QNetworkAccessManager network;
    FeedDownload::prepareNetwork(network, address);
    int status = 0;
    FeedDownload download(
        network, address,
        [&status](Expected<QByteArray, UpdateCheckError> body) {
            if (body) {
                std::fwrite(body->constData(), 1, std::size_t(body->size()), stdout);
            } else {
                status = FeedDownloadProcess::failedStatus;
                std::fprintf(stdout, "%d\n%d\n%s\n", int(body.error().kind),
                             body.error().httpStatus, body.error().detail.c_str());
            }
            QCoreApplication::quit();
        },
        std::chrono::milliseconds(deadline));
    QCoreApplication::exec();
    std::fflush(stdout);
    return status;
}

} // namespace kestrelamp
