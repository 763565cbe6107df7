#pragma once

#include <QObject>

class QSocketNotifier;

namespace kestrelamp {

// Turns SIGINT and SIGTERM (Ctrl+C, a logout, kill) into a signal on the main thread, so that the
// program can tear its routes down before it exits. One instance per process.
class TerminationSignals : public QObject {
    Q_OBJECT

public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

Q_SIGNALS:
    void terminationRequested(int signalNumber);

private:
    static void handle(int signalNumber);

    QSocketNotifier* notifier_ = nullptr;
};

} // namespace kestrelamp
