#include "platform/LoginItem.h"

#include "platform/FileAccess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <cstdio>

namespace kestrelamp {
namespace {

// One argument of an Exec line: quoted when it holds a reserved character, then escaped as a
// string value, with field codes doubled.
QString execArgument(const QString& argument) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    const bool quote =
        std::any_of(argument.begin(), argument.end(), [](QChar c) { return reserved.contains(c); });
    QString quoted;
    if (quote) {
        quoted += '"';
        for (const QChar c : argument) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') {
                quoted += '\\';
            }
            quoted += c;
        }
        quoted += '"';
    } else {
        quoted = argument;
    }
    QString value;
    for (const QChar c : quoted) {
        if (c == '\\') {
            value += "\\\\";
        } else if (c == '\n') {
            value += "\\n";
        } else if (c == '\t') {
            value += "\\t";
        } else if (c == '\r') {
            value += "\\r";
        } else if (c == '%') {
            value += "%%";
        } else {
            value += c;
        }
    }
    return value;
}

} // namespace

std::string LoginItemError::description() const {
    switch (kind) {
    case Kind::programPathUnknown:
        return "The program's own path is unknown";
    case Kind::writeFailed:
        return "Could not write " + path + ": " + reason;
    case Kind::removeFailed:
        return "Could not remove " + path + ": " + reason;
    }
    return {};
}

LoginItem::LoginItem()
    : LoginItem(defaultAutostartFolder(), QCoreApplication::applicationFilePath()) {}

LoginItem::LoginItem(QString autostartFolder, QString programPath)
    : autostartFolder_(std::move(autostartFolder))
    , programPath_(std::move(programPath)) {}

QString LoginItem::defaultAutostartFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/autostart";
}

QString LoginItem::filePath() const {
    return autostartFolder_ + "/" + desktopFileName;
}

QByteArray LoginItem::desktopEntry() const {
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Kestrelamp\n"
                                         "Comment=Per-app audio routing for Linux\n"
                                         "Exec=%1\n"
                                         "Icon=com.kestrelamp.Kestrelamp\n"
                                         "Terminal=false\n"
                                         "Categories=AudioVideo;Audio;Mixer;\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(execArgument(programPath_));
    return entry.toUtf8();
}

Expected<void, LoginItemError> LoginItem::registerItem() const {
    if (programPath_.isEmpty()) {
        return unexpected(LoginItemError{LoginItemError::Kind::programPathUnknown, {}, {}});
    }
    const auto failure = [this](const QString& reason) {
        return unexpected(LoginItemError{LoginItemError::Kind::writeFailed,
                                         filePath().toStdString(), reason.toStdString()});
    };
    if (!QDir().mkpath(autostartFolder_)) {
        return failure("the folder " + autostartFolder_ + " cannot be created");
    }
    if (auto written = replaceFileAtomically(filePath(), desktopEntry()); !written) {
        return failure(QString::fromStdString(written.error().reason));
    }
    return {};
}

Expected<void, LoginItemError> LoginItem::unregisterItem() const {
    const QFileInfo info(filePath());
    if (!info.exists() && !info.isSymLink()) {
        return {};
    }
    const auto failure = [this](std::string reason) {
        return unexpected(LoginItemError{LoginItemError::Kind::removeFailed,
                                         filePath().toStdString(), std::move(reason)});
    };
    if (info.isDir()) {
        return failure("it is a folder");
    }
    QFile file(filePath());
    if (!file.remove()) {
        return failure(file.errorString().toStdString());
    }
    return {};
}

Expected<void, LoginItemError> setLaunchAtLogin(bool enabled, const LoginItem& item) {
    auto applied = enabled ? item.registerItem() : item.unregisterItem();
    if (!applied) {
        std::printf("Failed to set launch at login: %s\n", applied.error().description().c_str());
        std::fflush(stdout);
    }
    return applied;
}

} // namespace kestrelamp
