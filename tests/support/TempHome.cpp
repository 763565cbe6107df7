#include "TempHome.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

namespace kestrelamp::test {
namespace {

void setEnv(const char* name, const QString& value) {
    ::setenv(name, value.toLocal8Bit().constData(), 1);
}

} // namespace

TempHome::TempHome()
    : savedHome_(qgetenv("HOME")) {
    const QString root = dir_.path();
    setEnv("HOME", root);
    setEnv("XDG_DATA_HOME", root + "/.local/share");
    setEnv("XDG_CONFIG_HOME", root + "/.config");
    setEnv("XDG_STATE_HOME", root + "/.local/state");
    setEnv("XDG_CACHE_HOME", root + "/.cache");
    for (const char* sub : {"/.local/share", "/.config", "/.local/state", "/.cache"}) {
        QDir().mkpath(root + sub);
    }
}

TempHome::~TempHome() {
    ::setenv("HOME", savedHome_.constData(), 1);
}

QString TempHome::dataFolder() const {
    return dir_.path() + "/.local/share/Kestrelamp";
}

std::string readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

bool writeFile(const QString& path, const std::string& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes.data(), qint64(bytes.size())) == qint64(bytes.size());
}

std::string captureStdout(const std::function<void()>& body) {
    testing::internal::CaptureStdout();
    body();
    return testing::internal::GetCapturedStdout();
}

bool waitUntil(const std::function<bool()>& predicate, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!predicate()) {
        if (deadline.hasExpired()) {
            return predicate();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

} // namespace kestrelamp::test
