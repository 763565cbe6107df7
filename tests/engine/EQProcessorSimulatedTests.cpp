// The processor on the simulated audio service: a player's tap feeds an aggregate device whose
// output is device B, the way the tap manager builds a route.

#include "engine/EQProcessor.h"

#include "SimulatedTestWorld.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

namespace kestrelamp {
namespace {

using namespace std::chrono_literals;
using Kind = hal::HardwareCall::Kind;

constexpr float kPlayerAmplitude = 0.5f;
const std::string kKey = "org.example.Player|B";

class SimulatedRoute : public testing::Test {
protected:
    SimulatedRoute() {
        player = world.startPlayer("org.example.Player", "Player", 1000.0, kPlayerAmplitude);
        auto tap = hal::CATapDescription::stereoMixdownOfProcesses({player});
        tap.muteBehavior = hal::CATapMuteBehavior::mutedWhenTapped;
        hal::AudioObjectID tapID = 0;
        EXPECT_EQ(hardware().createProcessTap(tap, tapID), hal::noErr);
        std::string tapUID;
        EXPECT_EQ(hardware().getPropertyString(tapID, hal::globalAddress(hal::kAudioTapPropertyUID),
                                               tapUID),
                  hal::noErr);
        const hal::AggregateDeviceDescription description{
            "Kestrelamp-Player", "com.kestrelamp.aggregate.TEST", true, {"B"}, {tapUID}, true};
        EXPECT_EQ(hardware().createAggregateDevice(description, aggregate), hal::noErr);
        hardware().clearCallLog();
    }

    hal::SimulatedAudioHardware& hardware() { return world.hardware(); }

    hal::test::SimulatedTestWorld world{R"({ "devices": [ { "uid": "A" }, { "uid": "B" } ],
                                             "defaultOutput": "A" })"};
    hal::AudioObjectID player = 0;
    hal::AudioObjectID aggregate = 0;
    EQProcessor processor{hardware()};
};

double sineLevel(double amplitude) {
    return 20.0 * std::log10(amplitude / std::sqrt(2.0));
}

TEST_F(SimulatedRoute, PlaysTheEqualizedScaledTapOnTheChosenDeviceOnly) {
    ASSERT_TRUE(processor.startProcessing(kKey, aggregate));
    EngineState& engine = *processor.engine(kKey);
    EXPECT_EQ(engine.sampleRate, 48000.0f);
    engine.volume = 0.5f;
    processor.applyPreset(EQPreset::bassBoost(), kKey);

    // The preset barely touches 1 kHz (its 256 Hz band still adds about 0.12 dB).
    world.letTimePass(500ms);
    const double halfAmplitude = sineLevel(0.5 * kPlayerAmplitude);
    const double at1k = *world.playedLevel("B", 200ms);
    EXPECT_NEAR(at1k, halfAmplitude, 0.15);
    EXPECT_LT(*world.playedLevel("A", 200ms), -100.0);
    EXPECT_NEAR(engine.currentLevel, at1k, 0.01);

    // Raised by about its +6 dB at 32 Hz, with a little of the 64 Hz band on top.
    hardware().setProcessSignal(player, hal::SimulatedSignal::sine(32.0, kPlayerAmplitude));
    world.letTimePass(1000ms);
    const double at32 = *world.playedLevel("B", 500ms);
    EXPECT_NEAR(at32 - at1k, 6.0, 1.2);

    processor.stopProcessing(kKey);
    EXPECT_TRUE(hardware().ioProcs().empty());
    EXPECT_EQ(hardware().callKinds(), (std::vector<Kind>{Kind::createIOProcID, Kind::deviceStart,
                                                         Kind::deviceStop, Kind::destroyIOProcID}));
}

TEST_F(SimulatedRoute, AFailedStartLeavesNoIOProc) {
    hardware().failOperation(hal::SimulatedOperation::deviceStart,
                             hal::kAudioHardwareBadDeviceError);
    const auto started = processor.startProcessing(kKey, aggregate);
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error().description(), "Audio config failed at 'start device': " +
                                                 std::to_string(hal::kAudioHardwareBadDeviceError));
    EXPECT_TRUE(hardware().ioProcs().empty());
    EXPECT_TRUE(processor.engines().empty());
    EXPECT_EQ(hardware().callKinds(),
              (std::vector<Kind>{Kind::createIOProcID, Kind::deviceStart, Kind::destroyIOProcID}));
}

} // namespace
} // namespace kestrelamp
