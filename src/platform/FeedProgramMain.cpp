// The update check's own process: downloads the feed and exits, so that the network and TLS
// libraries never load into the long-running program.
#include "platform/FeedDownloadProcess.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return kestrelamp::runFeedDownloadCommand(QCoreApplication::arguments().mid(1));
}
