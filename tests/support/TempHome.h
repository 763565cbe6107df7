#pragma once

#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <string>

namespace kestrelamp::test {

// Points HOME and every XDG base directory at a fresh temporary folder for the object's lifetime,
// so that nothing a test writes reaches the user's files.
class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    QString path() const { return dir_.path(); }
    // $XDG_DATA_HOME/Kestrelamp, where the program keeps its files.
    QString dataFolder() const;

private:
    QTemporaryDir dir_;
    QByteArray savedHome_;
};

// Runs the Qt event loop until the predicate holds or the timeout passes; returns the predicate.
bool waitUntil(const std::function<bool()>& predicate, int timeoutMs = 5000);

// A file's whole content; empty when it cannot be read.
std::string readFile(const QString& path);
// Makes the file's folder and writes the bytes as the whole file; false when that fails.
bool writeFile(const QString& path, const std::string& bytes);

// What the body printed on the standard output (the program's failure lines).
std::string captureStdout(const std::function<void()>& body);

} // namespace kestrelamp::test
