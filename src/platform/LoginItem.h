#pragma once

#include "platform/Expected.h"

#include <QByteArray>
#include <QString>

#include <string>

namespace kestrelamp {

struct LoginItemError {
    enum class Kind { programPathUnknown, writeFailed, removeFailed };

    Kind kind = Kind::writeFailed;
    std::string path;
    std::string reason;

    std::string description() const;
};

// Starting the program at login, through an XDG autostart entry:
// $XDG_CONFIG_HOME/autostart/com.kestrelamp.Kestrelamp.desktop.
class LoginItem {
public:
    static constexpr const char* desktopFileName = "com.kestrelamp.Kestrelamp.desktop";

    // The user's autostart folder and the running program.
    LoginItem();
    LoginItem(QString autostartFolder, QString programPath);

    // Writes the entry atomically, replacing any earlier one.
    Expected<void, LoginItemError> registerItem() const;
    // An entry that is not there is already unregistered.
    Expected<void, LoginItemError> unregisterItem() const;

    QString filePath() const;
    QByteArray desktopEntry() const;

    static QString defaultAutostartFolder();

private:
    QString autostartFolder_;
    QString programPath_;
};

// What the "Launch Kestrelamp at login" toggle does when it changes: registers or unregisters,
// and prints a failure as one line. The stored setting is the caller's and is left alone.
Expected<void, LoginItemError> setLaunchAtLogin(bool enabled, const LoginItem& item = LoginItem());

} // namespace kestrelamp
