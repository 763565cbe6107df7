#pragma once

#include "ChildProcess.h"

#include <memory>
#include <string>

namespace kestrelamp::e2e {

// An X server of its own (Xvfb) on the first free display, without window manager, compositor
// or tray; ended by its pid.
class VirtualDisplay {
public:
    explicit VirtualDisplay(std::string logFolder);
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // Starts the server and waits until it answers; the reason is in error() on failure.
    bool start();
    // ":N", once started.
    const std::string& name() const { return name_; }
    const std::string& error() const { return error_; }

private:
    std::string logFolder_;
    std::unique_ptr<ChildProcess> server_;
    std::string name_;
    std::string error_;
};

} // namespace kestrelamp::e2e
