#include "engine/hal/ServerFailure.h"

#include "platform/Utf8.h"

#include <spa/utils/result.h>

namespace kestrelamp::hal {

// The server's words come from outside: made valid UTF-8 before they reach a status or a log.
std::string ServerFailure::reason() const {
    const std::string message = validUtf8(this->message);
    const std::string errorText = res != 0 ? spa_strerror(res) : "";
    std::string words = message.empty() ? errorText : message;
    if (!message.empty() && !errorText.empty() && message.find(errorText) == std::string::npos) {
        words += " (" + errorText + ")";
    }
    return words.empty() ? what : what + ": " + words;
}

std::string ServerFailure::logLine(const std::string& object) const {
    std::string line = "Sound server error on " + object + ": res " + std::to_string(res);
    if (res != 0) {
        line += std::string(" (") + spa_strerror(res) + ")";
    }
    return line + ": " + (message.empty() ? what : validUtf8(message));
}

} // namespace kestrelamp::hal
