#include "engine/hal/PeriodicThread.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace kestrelamp::hal {

PeriodicThread::PeriodicThread(std::chrono::milliseconds period, std::function<void()> tick)
    : thread_([period = std::max(period, std::chrono::milliseconds(1)),
               tick = std::move(tick)](std::stop_token stop) {
        using Clock = std::chrono::steady_clock;
        std::mutex mutex;
        std::condition_variable_any wake;
        auto next = Clock::now();
        while (true) {
            next += period;
            {
                std::unique_lock lock(mutex);
                wake.wait_until(lock, stop, next, [] { return false; });
            }
            if (stop.stop_requested()) {
                return;
            }
            tick();
            if (Clock::now() - next > 5 * period) {
                next = Clock::now();
            }
        }
    }) {}

} // namespace kestrelamp::hal
