#include "app/ControlClient.h"

#include "app/RemoteControlNames.h"

#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

#include <nlohmann/json.hpp>

#include <iostream>

namespace kestrelamp {
namespace {

constexpr int kRefused = 1;
constexpr int kUsageOrNotRunning = 2;
// Applying a profile on the real service builds every route before it answers.
constexpr int kCallTimeoutMs = 30000;
constexpr unsigned kDefaultLevelFrames = 4800;
constexpr const char* kConnectionName = "kestrelamp-ctl";

enum class Shape { plain, route, withSwitch, profileSave, level, outputFile };

struct CommandEntry {
    const char* name;
    const char* method;
    int minArguments;
    // -1: any number.
    int maxArguments;
    Shape shape;
    ControlCommand::Output output;
};

using Output = ControlCommand::Output;

constexpr CommandEntry kCommands[] = {
    {"status", "Status", 0, 0, Shape::plain, Output::text},
    {"route", "SetOutputDevices", 1, -1, Shape::route, Output::nothing},
    {"add-device", "AddOutputDevice", 2, 2, Shape::plain, Output::nothing},
    {"remove-device", "RemoveOutputDevice", 2, 2, Shape::plain, Output::nothing},
    {"volume", "SetVolume", 2, 2, Shape::plain, Output::nothing},
    {"mute", "SetMute", 2, 2, Shape::plain, Output::nothing},
    {"boost", "SetBoost", 2, 2, Shape::plain, Output::nothing},
    {"eq", "SetEQPreset", 2, 2, Shape::plain, Output::nothing},
    {"eq-band", "SetEQBand", 3, 3, Shape::plain, Output::nothing},
    {"pin", "SetPinned", 1, 2, Shape::withSwitch, Output::nothing},
    {"ignore", "SetIgnored", 1, 2, Shape::withSwitch, Output::nothing},
    {"default-output", "SetDefaultOutputDevice", 1, 1, Shape::plain, Output::nothing},
    {"call-mix", "SetCallMix", 1, 1, Shape::plain, Output::nothing},
    {"call-mix-microphone", "SetCallMixMicrophone", 1, 1, Shape::plain, Output::nothing},
    {"call-mix-microphone-volume", "SetCallMixMicrophoneVolume", 1, 1, Shape::plain,
     Output::nothing},
    {"call-mix-microphone-mute", "SetCallMixMicrophoneMute", 1, 1, Shape::plain, Output::nothing},
    {"record-from", "SetRecordingInput", 2, 2, Shape::plain, Output::nothing},
    {"record-volume", "SetRecordingVolume", 2, 2, Shape::plain, Output::nothing},
    {"record-mute", "SetRecordingMute", 2, 2, Shape::plain, Output::nothing},
    {"refresh", "Refresh", 0, 0, Shape::plain, Output::nothing},
    {"list apps", "Status", 0, 0, Shape::plain, Output::appLines},
    {"list devices", "Status", 0, 0, Shape::plain, Output::deviceLines},
    {"profile list", "ListProfiles", 0, 0, Shape::plain, Output::profileLines},
    {"profile save", "SaveProfile", 1, 2, Shape::profileSave, Output::text},
    {"profile apply", "ApplyProfile", 1, 1, Shape::plain, Output::nothing},
    {"profile delete", "DeleteProfile", 1, 1, Shape::plain, Output::nothing},
    {"show", "Show", 0, 0, Shape::plain, Output::nothing},
    {"screenshot", "Screenshot", 1, 1, Shape::outputFile, Output::nothing},
    {"quit", "Quit", 0, 0, Shape::plain, Output::nothing},
    {"simulated-level", "PlayedLevel", 1, 2, Shape::level, Output::text},
};

constexpr const char* kHelp = R"(Usage: kestrelamp ctl COMMAND [ARGS]

Controls the running Kestrelamp. APP is an application's id and UID an output
device's, as "kestrelamp ctl status" lists them.

  status                      Print the whole state as one JSON object.
  route APP [UID ...]         Send APP to these output devices; none: System Default.
  add-device APP UID          Also send APP to the device.
  remove-device APP UID       Stop sending APP to the device.
  volume APP 0..1             Set APP's volume (this unmutes it).
  mute APP on|off|toggle      Mute or unmute APP.
  boost APP 1..4              Set APP's boost.
  eq APP PRESET               Choose an EQ preset by name (any case) or id.
  eq-band APP 0..9 DB         Set one band on APP's running routes (not saved).
  pin APP [on|off|toggle]     Keep APP listed, at the top (default: toggle).
  ignore APP [on|off|toggle]  Hide APP and remove its routes (default: toggle).
  default-output UID          Make the device the system's default output.
  call-mix on|off|toggle      Offer the call mix: a microphone for call programs
                              that is also an output device ("com.kestrelamp.callmix").
  call-mix-microphone none|default|UID
                              Mix this input device into the call mix too.
  call-mix-microphone-volume 0..1
                              Set the volume of that microphone in the call mix.
  call-mix-microphone-mute on|off|toggle
                              Mute or unmute that microphone in the call mix.
  record-from APP default|UID Have APP record from this input device (the call
                              mix's UID while it is on); default: the system's.
  record-volume APP 0..1      Set the volume of what APP records.
  record-mute APP on|off|toggle
                              Mute or unmute what APP records.
  refresh                     List applications and devices again.
  list apps                   Print each listed application's id and name.
  list devices                Print each output device's UID and name.
  profile list                Print each profile's id and name; "active" marks one.
  profile save NAME [ICON]    Save the current set-up as a profile; prints its id.
  profile apply NAME|ID       Bring a saved set-up back.
  profile delete NAME|ID      Delete a profile.
  show                        Open the popover, or the window (nothing when headless).
  screenshot FILE             Draw the popover as it is now into FILE (PNG).
  quit                        End the running Kestrelamp.
  help                        Show this help.

Test aid, only with --simulate:
  simulated-level UID [FRAMES]  Print the level (dBFS) of the last FRAMES (4800)
                                frames the simulated device played.

Exit status: 0 done; 1 refused by the running Kestrelamp (its message on the
standard error), or the change is in effect but could not be saved (its "Failed
to save" lines on the standard error), or, for route and add-device, the choice
is stored but a route of it is not active: its application or device is not
there (it is built when they are) or it failed; one "Route for APP|UID: reason"
line each on the standard error; 2 usage error, no session bus, or Kestrelamp is not running.
)";

} // namespace

QStringList controlCommandNames() {
    QStringList names;
    for (const CommandEntry& entry : kCommands) {
        names << QString::fromLatin1(entry.name);
    }
    return names << QStringLiteral("help");
}

namespace {

const CommandEntry* findCommand(const QString& name) {
    for (const CommandEntry& entry : kCommands) {
        if (name == QLatin1String(entry.name)) {
            return &entry;
        }
    }
    return nullptr;
}

QString describeArity(const CommandEntry& entry) {
    if (entry.maxArguments < 0) {
        return QString("at least %1 argument%2")
            .arg(entry.minArguments)
            .arg(entry.minArguments == 1 ? "" : "s");
    }
    if (entry.minArguments == entry.maxArguments) {
        return entry.minArguments == 0 ? QString("no arguments")
                                       : QString("%1 argument%2")
                                             .arg(entry.minArguments)
                                             .arg(entry.minArguments == 1 ? "" : "s");
    }
    return QString("%1 to %2 arguments").arg(entry.minArguments).arg(entry.maxArguments);
}

Unexpected<ControlUsageError> usage(const QString& message) {
    return unexpected(ControlUsageError{message.toStdString()});
}

Expected<QVariantList, ControlUsageError> callArguments(const CommandEntry& entry,
                                                        const QStringList& arguments) {
    QVariantList values;
    switch (entry.shape) {
    case Shape::plain:
        for (const QString& argument : arguments) {
            values << argument;
        }
        break;
    case Shape::route:
        values << arguments.first() << QVariant(arguments.mid(1));
        break;
    case Shape::withSwitch:
        values << arguments.first() << (arguments.size() > 1 ? arguments[1] : QString("toggle"));
        break;
    case Shape::profileSave:
        values << arguments.first() << (arguments.size() > 1 ? arguments[1] : QString());
        break;
    case Shape::outputFile:
        // The instance runs elsewhere: it gets the path as the caller meant it.
        values << QFileInfo(arguments.first()).absoluteFilePath();
        break;
    case Shape::level: {
        unsigned frames = kDefaultLevelFrames;
        if (arguments.size() > 1) {
            bool ok = false;
            frames = arguments[1].toUInt(&ok);
            if (!ok || frames == 0) {
                return usage("FRAMES '" + arguments[1] + "' is not a positive whole number.");
            }
        }
        values << arguments.first() << QVariant::fromValue(uint(frames));
        break;
    }
    }
    return values;
}

void printProfileLines(const QString& listJson) {
    const auto list = nlohmann::json::parse(listJson.toStdString(), nullptr, false);
    if (!list.is_array()) {
        std::cout << listJson.toStdString() << "\n";
        return;
    }
    for (const auto& profile : list) {
        std::cout << profile.value("id", "") << "\t" << profile.value("name", "")
                  << (profile.value("active", false) ? "\tactive" : "") << "\n";
    }
}

// One "KEY<tab>NAME" line per element of the status's list.
void printStatusLines(const QString& statusJson, const char* list, const char* key,
                      const char* name) {
    const auto status = nlohmann::json::parse(statusJson.toStdString(), nullptr, false);
    if (!status.is_object() || !status.contains(list) || !status[list].is_array()) {
        return;
    }
    for (const auto& element : status[list]) {
        std::cout << element.value(key, "") << "\t" << element.value(name, "") << "\n";
    }
}

void printAnswer(const ControlCommand& command, const QVariantList& values) {
    if (command.output == Output::nothing || values.isEmpty()) {
        return;
    }
    switch (command.output) {
    case Output::profileLines:
        printProfileLines(values.first().toString());
        return;
    case Output::appLines:
        printStatusLines(values.first().toString(), "apps", "id", "displayName");
        return;
    case Output::deviceLines:
        printStatusLines(values.first().toString(), "outputDevices", "uid", "name");
        return;
    case Output::nothing:
    case Output::text:
        break;
    }
    std::cout << values.first().toString().toStdString() << "\n";
}

// Takes the answer of a call made with a receiver. QtDBus also announces a failed call on the
// connection's interface, from its own thread; a short-lived client that ended before that
// announcement arrived would make Qt complain on the standard error, so a failure is complete
// only once both have come (or after a moment, should the announcement never come).
class ReplyWaiter : public QObject {
    Q_OBJECT

public:
    explicit ReplyWaiter(const QDBusConnection& connection) {
        if (QDBusConnectionInterface* bus = connection.interface()) {
            connect(bus, &QDBusConnectionInterface::callWithCallbackFailed, this,
                    &ReplyWaiter::announced);
        }
        straggler_.setSingleShot(true);
        connect(&straggler_, &QTimer::timeout, &loop_, &QEventLoop::quit);
    }

    void wait() { loop_.exec(); }

    QVariantList values;
    QDBusError error;

public Q_SLOTS:
    void answered(const QDBusMessage& reply) {
        values = reply.arguments();
        loop_.quit();
    }
    void failed(const QDBusError& failure) {
        error = failure;
        if (announced_) {
            loop_.quit();
        } else {
            straggler_.start(kAnnouncementWaitMs);
        }
    }

private:
    static constexpr int kAnnouncementWaitMs = 1000;

    void announced() {
        announced_ = true;
        if (error.isValid()) {
            loop_.quit();
        }
    }

    QEventLoop loop_;
    QTimer straggler_;
    bool announced_ = false;
};

} // namespace

Expected<ControlCommand, ControlUsageError> parseControlCommand(const QStringList& arguments) {
    if (arguments.isEmpty()) {
        return usage("No command given.");
    }
    QString name = arguments.first();
    QStringList rest = arguments.mid(1);
    if (name == "profile" || name == "list") {
        if (rest.isEmpty()) {
            return usage(name == "profile" ? "'profile' needs one of list, save, apply, delete."
                                           : "'list' needs apps or devices.");
        }
        name += " " + rest.takeFirst();
    }
    const CommandEntry* entry = findCommand(name);
    if (!entry) {
        return usage("Unknown command '" + name + "'.");
    }
    if (rest.size() < entry->minArguments ||
        (entry->maxArguments >= 0 && rest.size() > entry->maxArguments)) {
        return usage("'" + name + "' takes " + describeArity(*entry) + ", not " +
                     QString::number(rest.size()) + ".");
    }
    auto values = callArguments(*entry, rest);
    if (!values) {
        return unexpected(values.error());
    }
    ControlCommand command;
    const bool simulation = entry->shape == Shape::level;
    command.objectPath = simulation ? remote::kSimulationObjectPath : remote::kObjectPath;
    command.interface = simulation ? remote::kSimulationInterface : remote::kInterface;
    command.method = entry->method;
    command.arguments = std::move(*values);
    command.output = entry->output;
    return command;
}

RemoteReply callRunningInstance(const QDBusConnection& connection, const ControlCommand& command,
                                int timeoutMs) {
    QDBusMessage message = QDBusMessage::createMethodCall(remote::kServiceName, command.objectPath,
                                                          command.interface, command.method);
    message.setArguments(command.arguments);
    message.setAutoStartService(false);
    ReplyWaiter waiter(connection);
    if (QDBusConnection(connection)
            .callWithCallback(message, &waiter, SLOT(answered(QDBusMessage)),
                              SLOT(failed(QDBusError)), timeoutMs)) {
        waiter.wait();
    } else {
        waiter.error = connection.lastError();
    }

    RemoteReply result;
    if (!waiter.error.isValid()) {
        result.outcome = RemoteReply::Outcome::answered;
        result.values = waiter.values;
        return result;
    }
    const QString error = waiter.error.name();
    result.message = waiter.error.message().isEmpty() ? error : waiter.error.message();
    if (error == remote::kRouteNotActiveError) {
        result.outcome = RemoteReply::Outcome::routeNotActive;
    } else if (error == "org.freedesktop.DBus.Error.ServiceUnknown" ||
               error == "org.freedesktop.DBus.Error.NameHasNoOwner") {
        result.outcome = RemoteReply::Outcome::notRunning;
    } else if (error.startsWith(QString(remote::kInterface) + ".Error.")) {
        result.outcome = RemoteReply::Outcome::refused;
    } else if (error == "org.freedesktop.DBus.Error.UnknownObject" &&
               command.objectPath == remote::kSimulationObjectPath) {
        result.outcome = RemoteReply::Outcome::refused;
        result.message = "The running Kestrelamp is not on a simulated audio service.";
    } else {
        result.outcome = RemoteReply::Outcome::failed;
    }
    return result;
}

int runControlClient(const QStringList& arguments) {
    if (!arguments.isEmpty() && (arguments.first() == "help" || arguments.first() == "--help" ||
                                 arguments.first() == "-h")) {
        std::cout << kHelp;
        return 0;
    }
    const auto command = parseControlCommand(arguments);
    if (!command) {
        std::cerr << "kestrelamp ctl: " << command.error().message
                  << "\nRun 'kestrelamp ctl help' for the commands.\n";
        return kUsageOrNotRunning;
    }
    const RemoteReply reply = [&] {
        // A connection of its own, closed while Qt is still whole.
        const QDBusConnection connection =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, kConnectionName);
        RemoteReply answer;
        if (!connection.isConnected()) {
            answer.message = connection.lastError().message();
        } else {
            answer = callRunningInstance(connection, *command, kCallTimeoutMs);
        }
        QDBusConnection::disconnectFromBus(kConnectionName);
        return answer;
    }();
    if (reply.outcome == RemoteReply::Outcome::noBus) {
        std::cerr << "kestrelamp ctl: there is no D-Bus session bus to reach Kestrelamp on ("
                  << reply.message.toStdString() << ").\n";
        return kUsageOrNotRunning;
    }
    switch (reply.outcome) {
    case RemoteReply::Outcome::answered:
        printAnswer(*command, reply.values);
        return 0;
    case RemoteReply::Outcome::notRunning:
        std::cerr << "kestrelamp ctl: Kestrelamp is not running.\n";
        return kUsageOrNotRunning;
    case RemoteReply::Outcome::refused:
        std::cerr << "kestrelamp ctl: " << reply.message.toStdString() << "\n";
        return kRefused;
    case RemoteReply::Outcome::routeNotActive:
        std::cerr << reply.message.toStdString() << "\n";
        return kRefused;
    case RemoteReply::Outcome::failed:
        std::cerr << "kestrelamp ctl: Kestrelamp did not answer: " << reply.message.toStdString()
                  << "\n";
        return kRefused;
    case RemoteReply::Outcome::noBus:
        break;
    }
    return kRefused;
}

} // namespace kestrelamp

#include "ControlClient.moc"
