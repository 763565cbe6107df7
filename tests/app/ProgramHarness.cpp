#include "ProgramHarness.h"

#include "TempHome.h"

#include <QDir>

namespace kestrelamp::test {
namespace {

constexpr int kStartTimeoutMs = 15000;

QString readAll(const QString& path) {
    return QString::fromStdString(readFile(path));
}

} // namespace

PrivateBus::PrivateBus() {
    daemon_.start("dbus-daemon", {"--session", "--nofork", "--print-address=1",
                                  "--address=unix:path=" + dir_.path() + "/bus"});
    if (!daemon_.waitForStarted()) {
        return;
    }
    while (!daemon_.canReadLine() && daemon_.waitForReadyRead(kStartTimeoutMs)) {
    }
    address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
}

PrivateBus::~PrivateBus() {
    if (daemon_.state() != QProcess::NotRunning) {
        daemon_.terminate();
        if (!daemon_.waitForFinished(5000)) {
            daemon_.kill();
            daemon_.waitForFinished();
        }
    }
}

ProgramHarness::ProgramHarness(const QString& busAddress)
    : busAddress_(busAddress.isEmpty() ? "unix:path=" + runtime_.path() + "/no-bus-here"
                                       : busAddress) {
    for (const char* sub : {"/.local/share", "/.config", "/.local/state", "/.cache"}) {
        QDir().mkpath(home_.path() + sub);
    }
}

ProgramHarness::~ProgramHarness() {
    if (instance_ && instance_->state() != QProcess::NotRunning) {
        terminateInstance();
    }
}

std::string ProgramHarness::standardScenario() {
    return R"({
      "processes": [
        { "bundleID": "org.example.Player", "pid": 100,
          "signal": { "type": "sine", "frequency": 1000, "amplitude": 0.5, "channels": 2 } },
        { "bundleID": "org.example.Radio", "pid": 200, "running": false }
      ],
      "runningApps": [
        { "bundleID": "org.example.Player", "name": "Player" },
        { "bundleID": "org.example.Radio", "name": "Radio" }
      ],
      "devices": [
        { "uid": "speakers", "name": "Speakers", "transport": "bltn", "sampleRate": 48000 },
        { "uid": "headphones", "name": "Headphones", "transport": "usb ", "sampleRate": 48000 }
      ],
      "defaultOutput": "speakers"
    })";
}

void ProgramHarness::writeScenario(const std::string& json) {
    writeFile(scenarioPath(), json);
}

QProcessEnvironment ProgramHarness::environment() const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString home = home_.path();
    environment.insert("HOME", home);
    environment.insert("XDG_DATA_HOME", home + "/.local/share");
    environment.insert("XDG_CONFIG_HOME", home + "/.config");
    environment.insert("XDG_STATE_HOME", home + "/.local/state");
    environment.insert("XDG_CACHE_HOME", home + "/.cache");
    environment.insert("XDG_RUNTIME_DIR", runtime_.path());
    environment.insert("DBUS_SESSION_BUS_ADDRESS", busAddress_);
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    return environment;
}

QString ProgramHarness::program() const {
    return QStringLiteral(KESTRELAMP_PROGRAM);
}

RunResult ProgramHarness::run(const QStringList& arguments, int timeoutMs) const {
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(program(), arguments);
    RunResult result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        result.err = "did not end";
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput().toStdString();
    result.err = process.readAllStandardError().toStdString();
    return result;
}

RunResult ProgramHarness::ctl(const QStringList& arguments) const {
    return run(QStringList{"ctl"} + arguments);
}

bool ProgramHarness::startInstance() {
    return startInstance({"--headless", "--simulate", scenarioPath()});
}

bool ProgramHarness::startInstance(const QStringList& arguments) {
    instance_ = std::make_unique<QProcess>();
    instance_->setProcessEnvironment(environment());
    instance_->setStandardOutputFile(home_.path() + "/instance.out");
    instance_->setStandardErrorFile(home_.path() + "/instance.err");
    instance_->start(program(), arguments);
    if (!instance_->waitForStarted()) {
        return false;
    }
    const bool withBus = !busAddress_.endsWith("/no-bus-here");
    return waitUntil(
               [&] {
                   if (instance_->state() == QProcess::NotRunning) {
                       return true;
                   }
                   return withBus ? ctl({"status"}).exitCode == 0
                                  : instanceErrors().contains("remote control is unavailable");
               },
               kStartTimeoutMs) &&
           instance_->state() == QProcess::Running;
}

int ProgramHarness::terminateInstance() {
    instance_->terminate();
    return waitForInstanceExit();
}

int ProgramHarness::waitForInstanceExit() {
    if (!instance_->waitForFinished(kStartTimeoutMs)) {
        instance_->kill();
        instance_->waitForFinished();
        return -1;
    }
    return instance_->exitStatus() == QProcess::NormalExit ? instance_->exitCode() : -1;
}

QString ProgramHarness::instanceErrors() const {
    return readAll(home_.path() + "/instance.err");
}

QString ProgramHarness::instanceOutput() const {
    return readAll(home_.path() + "/instance.out");
}

QByteArray ProgramHarness::dataFile(const char* name) const {
    return QByteArray::fromStdString(readFile(dataFolder() + "/" + name));
}

} // namespace kestrelamp::test
