#include "platform/SimulatedUpdater.h"

#include <sstream>

namespace kestrelamp {

Expected<void, UpdaterStartError> SimulatedUpdater::startUpdater() {
    calls.push_back("startUpdater");
    if (startError) {
        return unexpected(*startError);
    }
    return {};
}

void SimulatedUpdater::setAutomaticallyChecksForUpdates(bool value) {
    calls.push_back(std::string("setAutomaticallyChecksForUpdates ") + (value ? "true" : "false"));
    automatic = value;
}

void SimulatedUpdater::setUpdateCheckInterval(double seconds) {
    std::ostringstream call;
    call << "setUpdateCheckInterval " << seconds;
    calls.push_back(call.str());
    interval = seconds;
}

} // namespace kestrelamp
