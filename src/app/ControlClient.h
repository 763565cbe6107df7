#pragma once

#include "platform/Expected.h"

#include <QDBusConnection>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <string>

namespace kestrelamp {

// One call of the remote-control interface, as `kestrelamp ctl` makes it.
struct ControlCommand {
    enum class Output { nothing, text, profileLines, appLines, deviceLines };

    QString objectPath;
    QString interface;
    QString method;
    QVariantList arguments;
    Output output = Output::nothing;
};

struct ControlUsageError {
    std::string message;
};

// Every command `kestrelamp ctl` takes ("profile save", "help", ...), as its help lists them.
QStringList controlCommandNames();

// The arguments after "ctl". Only the shape is checked here (command, number of arguments);
// what the arguments name and mean is for the running instance to judge.
Expected<ControlCommand, ControlUsageError> parseControlCommand(const QStringList& arguments);

struct RemoteReply {
    enum class Outcome {
        answered,
        // No process owns the name.
        notRunning,
        // The instance answered with an error of ours: it refused.
        refused,
        // It stored the choice, but routes of it are not active; the message has a "Route for
        // KEY: reason" line for each.
        routeNotActive,
        // The call failed otherwise (no answer in time, a broken connection).
        failed,
        // There is no session bus to call on.
        noBus,
    };

    Outcome outcome = Outcome::noBus;
    QVariantList values;
    QString message;
};

// Calls the instance that owns the program's name, without starting one.
RemoteReply callRunningInstance(const QDBusConnection& connection, const ControlCommand& command,
                                int timeoutMs);

// `kestrelamp ctl ARGS...`: prints what the command answers and returns the exit status: 0 on
// success, 1 when the running instance refused (its message on the standard error) or could not
// make every route of a choice active (its "Route for" lines on the standard error), 2 for a
// usage error, no session bus or no running instance. Needs a QCoreApplication, nothing else.
int runControlClient(const QStringList& arguments);

} // namespace kestrelamp
