#pragma once

// A route manager on a simulated audio world in a temporary home, for tests of the routing core
// and of the views.

#include "engine/hal/SimulatedScenario.h"
#include "model/AudioRouteManager.h"

#include "TempHome.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>

namespace kestrelamp::test {

// Three applications (Player with a helper, Other, Quiet) and three output devices; "speakers"
// is the default. Player plays a 1 kHz sine at amplitude 0.5, Other a 32 Hz sine.
std::string standardScenario();
// count applications "org.example.AppNN" named "App NN", the first one playing.
std::string scenarioWithApps(int count);
inline const std::string kPlayer = "org.example.Player";
inline const std::string kHelper = "org.example.Player.helper";
inline const std::string kOther = "org.example.Other";
inline const std::string kQuiet = "org.example.Quiet";

class RouteWorld {
public:
    explicit RouteWorld(const std::string& scenarioJson = standardScenario(),
                        bool createManager = true);
    ~RouteWorld();

    void createManager();
    AudioRouteManager& manager() { return *manager_; }
    hal::SimulatedAudioHardware& hardware() { return *world_.hardware; }
    UserDefaults& defaults() { return *defaults_; }
    const RunningApplications& runningApplications() { return *world_.runningApplications; }
    TempHome& home() { return home_; }
    QString statesPath() const { return home_.dataFolder() + "/appStates.json"; }

    hal::AudioObjectID device(const std::string& uid) { return hardware().deviceID(uid); }
    // Renders enough cycles to fill the recordings, then the level of what the device played.
    float levelOn(const std::string& uid, std::uint32_t frames = 4800);
    void render(std::uint32_t cycles = 20, std::uint32_t frames = 480);

private:
    TempHome home_;
    hal::SimulatedWorld world_;
    std::unique_ptr<UserDefaults> defaults_;
    std::unique_ptr<AudioRouteManager> manager_;
};

// A test on the standard world with its manager.
class RouteWorldTest : public testing::Test {
protected:
    RouteWorld world;
    AudioRouteManager& manager = world.manager();
};

// The keys of the routes built, those whose key starts with prefix.
std::set<std::string> builtRoutes(AudioRouteManager& manager, const std::string& prefix = {});
// The RMS level in dBFS of a sine of that amplitude.
float sineLevel(float amplitude);

} // namespace kestrelamp::test
