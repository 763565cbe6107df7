// Stands in for the program's own `fetch-feed` command.
#include "platform/FeedDownloadProcess.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.value(1) != kestrelamp::FeedDownloadProcess::command) {
        return 2;
    }
    return kestrelamp::runFeedDownloadCommand(arguments.mid(2));
}
