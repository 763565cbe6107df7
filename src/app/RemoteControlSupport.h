#pragma once

// What the remote control's sources share: their errors, and the save failures of a call.

#include "app/RemoteControl.h"

#include <QObject>
#include <QString>

#include <string>

namespace kestrelamp::remote_support {

inline Unexpected<RemoteError> invalid(std::string message) {
    return unexpected(RemoteError{RemoteError::Kind::invalidArgument, std::move(message)});
}

inline std::string quoted(const std::string& text) {
    return "'" + text + "'";
}

// The flag a switch asks for, given the current one.
inline bool switched(RemoteControl::Switch wanted, bool current) {
    return wanted == RemoteControl::Switch::toggle ? !current : wanted == RemoteControl::Switch::on;
}

// A volume: a number from 0 to 1.
inline RemoteResult<float> unitVolume(const std::string& text, const std::string& what) {
    const auto value = RemoteControl::parseNumber(text, what);
    if (!value) {
        return unexpected(value.error());
    }
    if (*value < 0 || *value > 1) {
        return invalid(what + " " + quoted(text) + " is not between 0 and 1.");
    }
    return float(*value);
}

// Collects the save failures of the route manager while one remote call runs.
class SaveFailureWatch {
public:
    explicit SaveFailureWatch(AudioRouteManager& manager)
        : connection_(QObject::connect(
              &manager, &AudioRouteManager::saveFailed,
              [this](const QString& line) { message_ += line.toStdString() + "\n"; })) {}
    SaveFailureWatch(const SaveFailureWatch&) = delete;
    SaveFailureWatch& operator=(const SaveFailureWatch&) = delete;
    ~SaveFailureWatch() { QObject::disconnect(connection_); }

    // The call's own answer, unless a save failed meanwhile.
    template <class T>
    RemoteResult<T> outcome(RemoteResult<T> result) const {
        if (message_.empty()) {
            return result;
        }
        return unexpected(RemoteError{
            RemoteError::Kind::notSaved,
            message_ + "The change is in effect until Kestrelamp quits, but it is not saved."});
    }

private:
    std::string message_;
    QMetaObject::Connection connection_;
};

} // namespace kestrelamp::remote_support
