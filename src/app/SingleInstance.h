#pragma once

#include <QDBusConnection>
#include <QMetaObject>
#include <QString>

#include <optional>

namespace kestrelamp {

class RemoteControlService;

// The program's claim on its name on the session bus: one instance per session, and the way a
// second start hands over to the first. Without a session bus the program runs unreachable,
// after one line saying so on the standard error.
//
// Both steps answer nothing when the process should go on starting, or else the exit status it
// should end with: 0 once a running instance was asked to show its popover, 1 when it did not
// answer (the reason is printed).
class SingleInstance {
public:
    // Connects to the session bus.
    SingleInstance();
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Before anything is opened: asks an instance that owns the name to show its popover.
    std::optional<int> handOverToRunningInstance();
    // Once the service exists: exports it and takes the name, unless another instance took it
    // first, which is then asked to show itself. The name is given up as soon as the event loop
    // ends, so that a new instance can start while this one is still tearing down.
    std::optional<int> claim(RemoteControlService& service);

    bool ownsName() const { return ownsName_; }

private:
    void reportUnavailable(const QString& reason);
    void release();

    QDBusConnection connection_;
    QMetaObject::Connection releaseAtQuit_;
    bool ownsName_ = false;
    bool reportedUnavailable_ = false;
};

} // namespace kestrelamp
