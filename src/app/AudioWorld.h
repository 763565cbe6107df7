#pragma once

#include "engine/hal/AudioHardware.h"
#include "platform/Expected.h"
#include "platform/RunningApplications.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kestrelamp {

namespace hal {
class SimulatedAudioHardware;
}

// The audio service the program runs on, with the running-applications lookup that goes with it.
struct AudioWorld {
    std::unique_ptr<hal::AudioHardware> hardware;
    std::unique_ptr<RunningApplications> runningApplications;
    // Starts the simulated service's real-time clock; nothing on the real service.
    std::function<void()> startClock = [] {};
    // Runs cycles of the simulated service at once, without its clock; nothing on the real one.
    std::function<void(std::uint32_t cycles, std::uint32_t frames)> render = [](std::uint32_t,
                                                                                std::uint32_t) {};
    // The hardware itself when it is the simulated service, for what its devices play.
    hal::SimulatedAudioHardware* simulation = nullptr;
};

struct AudioWorldError {
    std::string description;
};

// The simulated service from a scenario file, or the real one when no scenario is given.
Expected<AudioWorld, AudioWorldError>
openAudioWorld(const std::optional<std::string>& scenarioPath);

} // namespace kestrelamp
