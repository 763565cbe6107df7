#include "engine/hal/ServerFailure.h"

#include <spa/utils/result.h>

namespace kestrelamp::hal {

std::string ServerFailure::reason() const {
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
    return line + ": " + (message.empty() ? what : message);
}

} // namespace kestrelamp::hal
