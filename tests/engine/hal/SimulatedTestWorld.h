#pragma once

// A simulated audio world for tests: the contract world of SimulatedAudioHardware, and the
// starting point of every test that needs applications, devices and audio without a sound
// server. Time passes only when a test lets it (renders on the test's thread).
//
//   SimulatedTestWorld world(R"({ "devices": [ { "uid": "speakers" } ],
//                                 "defaultOutput": "speakers" })");
//   world.startPlayer("org.example.Player", "Player", 440, 0.5);
//   world.letTimePass(100ms);
//   EXPECT_NEAR(*world.playedLevel("speakers", 100ms), -9.03, 0.1);

#include "AudioHardwareContractWorld.h"
#include "engine/hal/SimulatedAudioHardware.h"
#include "engine/hal/SimulatedScenario.h"
#include "platform/SimulatedRunningApplications.h"

#include <memory>
#include <string_view>

namespace kestrelamp::hal::test {

class SimulatedTestWorld final : public AudioHardwareContractWorld {
public:
    // A world with nothing but the system object.
    SimulatedTestWorld();
    // A world loaded from scenario JSON; a scenario that does not load fails the current test
    // and leaves the world empty.
    explicit SimulatedTestWorld(std::string_view scenarioJson);

    SimulatedAudioHardware& hardware() override { return *world_.hardware; }
    SimulatedRunningApplications& runningApplications() { return *world_.runningApplications; }

    AudioObjectID addOutputDevice(const std::string& uid, const std::string& description) override;
    AudioObjectID addInputDevice(const std::string& uid, const std::string& description) override;
    void removeDevice(const std::string& uid) override;

    // Also makes the application running, as "regular", so that it can be listed.
    AudioObjectID startPlayer(const std::string& bundleID, const std::string& name,
                              double frequency, float amplitude) override;
    void stopPlayer(const std::string& bundleID) override;
    bool moveProcessElsewhere(const std::string& bundleID, const std::string& uid) override;
    std::string refuseRoutesTo(const std::string& uid) override;
    // Its input gives it kRecorderLevelDb.
    bool startRecorder(const std::string& bundleID, const std::string& name) override;
    void stopRecorder(const std::string& bundleID) override;
    bool moveRecorderElsewhere(const std::string& bundleID, const std::string& uid) override;
    static constexpr double kRecorderLevelDb = -20.0;

    // Renders in cycles of 10 ms (the last one shorter) at the render rate.
    void letTimePass(std::chrono::milliseconds duration) override;
    std::optional<double> playedLevel(const std::string& uid,
                                      std::chrono::milliseconds window) override;

    void setDefaultOutput(const std::string& uid) override;
    std::string defaultOutput() override;

private:
    std::uint32_t framesIn(std::chrono::milliseconds duration);

    SimulatedWorld world_;
    std::int32_t nextPid_ = 1000;
};

} // namespace kestrelamp::hal::test
