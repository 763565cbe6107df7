#pragma once

#include <string>

namespace kestrelamp::hal {

// What the sound server answered when it refused or dropped one of our objects, in its own words.
struct ServerFailure {
    // What it refused, as a reason begins: "the sound server refused a link".
    std::string what;
    // Its result: a negative errno; 0 when it gave none.
    int res = 0;
    std::string message;

    // "WHAT: MESSAGE (ERROR TEXT)"; the error text is left out when the message already says it.
    std::string reason() const;
    // "Sound server error on OBJECT: res RES (ERROR TEXT): MESSAGE", the way the log shows it.
    std::string logLine(const std::string& object) const;

    friend bool operator==(const ServerFailure&, const ServerFailure&) = default;
};

} // namespace kestrelamp::hal
