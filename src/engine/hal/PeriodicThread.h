#pragma once

// A thread that calls a function once every period until it is destroyed. After a long stall it
// carries on from the current time instead of catching up in a burst.

#include <chrono>
#include <functional>
#include <thread>

namespace kestrelamp::hal {

class PeriodicThread {
public:
    PeriodicThread(std::chrono::milliseconds period, std::function<void()> tick);
    // Waits for the call in progress, if any; no call starts afterwards.
    ~PeriodicThread() = default;
    PeriodicThread(const PeriodicThread&) = delete;
    PeriodicThread& operator=(const PeriodicThread&) = delete;

private:
    std::jthread thread_;
};

} // namespace kestrelamp::hal
