#pragma once

// The real kestrelamp binary in a temporary home, on a private session bus of its own or on
// none, started and ended by pid, driven only through `kestrelamp ctl`. The audio server of the
// test's environment, if any, is the instance's too.

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <string>

namespace kestrelamp::test {

// A dbus-daemon of the test's own.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Empty when the daemon did not start.
    const QString& address() const { return address_; }

private:
    QTemporaryDir dir_;
    QProcess daemon_;
    QString address_;
};

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class ProgramHarness {
public:
    // Without an address the program finds a bus address that leads nowhere.
    explicit ProgramHarness(const QString& busAddress = {});
    ~ProgramHarness();

    QString dataFolder() const { return home_.path() + "/.local/share/Kestrelamp"; }
    QString scenarioPath() const { return home_.path() + "/scenario.json"; }
    // Player (a 1 kHz sine at amplitude 0.5, stereo) and a silent Radio; speakers (the
    // default) and headphones.
    static std::string standardScenario();
    void writeScenario(const std::string& json = standardScenario());

    RunResult run(const QStringList& arguments, int timeoutMs = 30000) const;
    RunResult ctl(const QStringList& arguments) const;

    // `kestrelamp --headless --simulate SCENARIO`, in the background until ended; waits until
    // it answers (or, without a bus, until it says that it cannot be reached).
    bool startInstance();
    // The same with other arguments, such as only "--headless" for the real audio service.
    bool startInstance(const QStringList& arguments);
    QProcess& instance() { return *instance_; }
    // SIGTERM to the instance's pid; its exit code, or -1 when it did not end normally.
    int terminateInstance();
    // Waits for the instance to end by itself; its exit code as above.
    int waitForInstanceExit();
    QString instanceErrors() const;
    // What it printed on its standard output: the "Route for …" lines and the like.
    QString instanceOutput() const;

    QByteArray dataFile(const char* name) const;

private:
    QProcessEnvironment environment() const;
    QString program() const;

    QTemporaryDir home_;
    QTemporaryDir runtime_;
    QString busAddress_;
    std::unique_ptr<QProcess> instance_;
};

} // namespace kestrelamp::test
