#include "AudioHardwareContract.h"
#include "SimulatedTestWorld.h"

namespace kestrelamp::hal::test {

KESTRELAMP_INSTANTIATE_AUDIO_HARDWARE_CONTRACT(Simulated, [] {
    return std::make_unique<SimulatedTestWorld>();
});

} // namespace kestrelamp::hal::test
