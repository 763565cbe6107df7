#include "VirtualDisplay.h"

#include "PipeWireSession.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace kestrelamp::e2e {

VirtualDisplay::VirtualDisplay(std::string logFolder)
    : logFolder_(std::move(logFolder)) {}

VirtualDisplay::~VirtualDisplay() {
    if (server_) {
        server_->stop();
    }
}

bool VirtualDisplay::start() {
    const std::string log = logFolder_ + "/xvfb.log";
    const std::string numberFile = logFolder_ + "/xvfb-display";
    // A number left by an earlier server is not this one's.
    std::remove(numberFile.c_str());
    // The server picks a free display itself and writes its number to standard output, which
    // goes to the log; -displayfd needs a descriptor, so the log's own is used.
    server_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"sh", "-c",
                                 "exec Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp "
                                 "3>\"$0\"",
                                 numberFile},
        log);
    if (!server_->started()) {
        error_ = "Xvfb could not be started";
        return false;
    }
    const bool numbered = pollUntil(
        [&] {
            std::ifstream file(numberFile);
            std::string number;
            if (file >> number && !number.empty()) {
                name_ = ":" + number;
                return true;
            }
            return false;
        },
        10000);
    if (!numbered) {
        error_ = "Xvfb named no display: " + server_->log();
        return false;
    }
    const bool answering = pollUntil(
        [&] {
            return runCommand({"xdpyinfo", "-display", name_}, logFolder_ + "/xdpyinfo.log", 3000)
                       .status == 0;
        },
        10000);
    if (!answering) {
        error_ = "the display " + name_ + " does not answer: " + server_->log();
    }
    return answering;
}

} // namespace kestrelamp::e2e
