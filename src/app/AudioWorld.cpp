#include "app/AudioWorld.h"

#include "engine/hal/SimulatedScenario.h"

namespace kestrelamp {

Expected<AudioWorld, AudioWorldError>
openAudioWorld(const std::optional<std::string>& scenarioPath) {
    if (!scenarioPath) {
        return unexpected(
            AudioWorldError{"The PipeWire audio service is not supported by this build yet; "
                            "use --simulate SCENARIO.json."});
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
    return world;
}

} // namespace kestrelamp
