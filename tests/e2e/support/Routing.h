#pragma once

// Small helpers over the audio-service interface for end-to-end tests: finding objects, and one
// route (tap, aggregate, IO block) built the way the tap manager builds it.

#include "engine/hal/AudioHardware.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>

namespace kestrelamp::e2e {

std::optional<hal::AudioObjectID> findProcess(hal::AudioHardware& hardware,
                                              const std::string& bundleID, int timeoutMs = 5000);
std::optional<hal::AudioObjectID> findDevice(hal::AudioHardware& hardware, const std::string& uid,
                                             int timeoutMs = 5000);
std::vector<hal::AudioObjectID> listedObjects(hal::AudioHardware& hardware,
                                              hal::AudioObjectPropertySelector selector);

// Copies input to output, times the gain, and counts its calls.
struct PassThrough {
    std::atomic<float> gain{1.0f};
    std::atomic<std::uint64_t> calls{0};

    hal::AudioDeviceIOBlock block();
};

class TestRoute {
public:
    TestRoute(hal::AudioHardware& hardware, hal::AudioObjectID process,
              const std::string& deviceUID, PassThrough& renderer,
              std::optional<hal::AudioObjectID> sharedTap = std::nullopt);
    ~TestRoute();
    TestRoute(const TestRoute&) = delete;
    TestRoute& operator=(const TestRoute&) = delete;

    // The first status that was not noErr, with the step's name; empty when every step succeeded.
    const std::string& failure() const { return failure_; }
    hal::AudioObjectID tap() const { return tap_; }

    void destroy();

private:
    hal::AudioHardware& hardware_;
    PassThrough& renderer_;
    hal::AudioObjectID tap_ = hal::kAudioObjectUnknown;
    bool ownsTap_ = false;
    hal::AudioObjectID aggregate_ = hal::kAudioObjectUnknown;
    hal::AudioDeviceIOProcID ioProc_ = hal::kAudioDeviceIOProcIDNone;
    std::string failure_;
};

} // namespace kestrelamp::e2e
