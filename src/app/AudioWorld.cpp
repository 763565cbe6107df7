#include "app/AudioWorld.h"

#include "engine/hal/PipeWireAudioHardware.h"
#include "engine/hal/SimulatedScenario.h"
#include "platform/LinuxRunningApplications.h"

namespace kestrelamp {

Expected<AudioWorld, AudioWorldError>
openAudioWorld(const std::optional<std::string>& scenarioPath) {
    if (!scenarioPath) {
        // Without a server the lists stay empty until one comes up.
        auto pipewire = std::make_unique<hal::PipeWireAudioHardware>();
        AudioWorld world;
        world.runningApplications = std::make_unique<LinuxRunningApplications>(*pipewire);
        world.hardware = std::move(pipewire);
        return world;
    }
    auto loaded = hal::loadScenarioFile(*scenarioPath);
    if (!loaded) {
        return unexpected(AudioWorldError{loaded.error().description});
    }
    AudioWorld world;
    hal::SimulatedAudioHardware* simulated = loaded->hardware.get();
    world.hardware = std::move(loaded->hardware);
    world.runningApplications = std::move(loaded->runningApplications);
    world.startClock = [simulated] { simulated->startRealTimeClock(); };
    world.render = [simulated](std::uint32_t cycles, std::uint32_t frames) {
        simulated->render(cycles, frames);
    };
    world.simulation = simulated;
    return world;
}

} // namespace kestrelamp
