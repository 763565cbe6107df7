#include "SimulatedTestWorld.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kestrelamp::hal::test {
namespace {

// A virtual device of the tests' own, with the default streams.
SimulatedDevice testDevice(const std::string& uid, const std::string& description) {
    SimulatedDevice device;
    device.uid = uid;
    device.name = description;
    device.manufacturer = "Kestrelamp tests";
    device.transportType = fourCharCode("virt");
    return device;
}

SimulatedWorld emptyWorld() {
    return makeSimulatedWorld(Scenario{});
}

SimulatedWorld worldFrom(std::string_view scenarioJson) {
    auto loaded = loadScenario(scenarioJson);
    if (!loaded) {
        ADD_FAILURE() << "scenario does not load: " << loaded.error().description;
        return emptyWorld();
    }
    return std::move(loaded).value();
}

} // namespace

SimulatedTestWorld::SimulatedTestWorld()
    : world_(emptyWorld()) {}

SimulatedTestWorld::SimulatedTestWorld(std::string_view scenarioJson)
    : world_(worldFrom(scenarioJson)) {}

AudioObjectID SimulatedTestWorld::addOutputDevice(const std::string& uid,
                                                  const std::string& description) {
    return hardware().addDevice(testDevice(uid, description));
}

AudioObjectID SimulatedTestWorld::addInputDevice(const std::string& uid,
                                                 const std::string& description) {
    SimulatedDevice device = testDevice(uid, description);
    device.outputStreams = 0;
    device.inputStreams = 1;
    return hardware().addDevice(device);
}

void SimulatedTestWorld::removeDevice(const std::string& uid) {
    hardware().removeDevice(hardware().deviceID(uid));
}

AudioObjectID SimulatedTestWorld::startPlayer(const std::string& bundleID, const std::string& name,
                                              double frequency, float amplitude) {
    runningApplications().add(bundleID, {name, std::nullopt, ActivationPolicy::regular});
    return hardware().addProcess(
        {bundleID, nextPid_++, true, SimulatedSignal::sine(frequency, amplitude)});
}

void SimulatedTestWorld::stopPlayer(const std::string& bundleID) {
    while (const AudioObjectID process = hardware().processID(bundleID)) {
        hardware().removeProcess(process);
    }
    runningApplications().remove(bundleID);
}

bool SimulatedTestWorld::moveProcessElsewhere(const std::string& bundleID, const std::string& uid) {
    return hardware().moveProcessElsewhere(hardware().processID(bundleID), uid);
}

std::string SimulatedTestWorld::refuseRoutesTo(const std::string& uid) {
    const std::string words = "the simulated service refuses routes to " + uid;
    hardware().refuseConnections(uid, kAudioHardwareIllegalOperationError, words);
    return words;
}

bool SimulatedTestWorld::startRecorder(const std::string& bundleID, const std::string& name) {
    return hardware().addRecorder({bundleID, name, nextPid_++, kRecorderLevelDb}) !=
           kAudioObjectUnknown;
}

void SimulatedTestWorld::stopRecorder(const std::string& bundleID) {
    hardware().removeRecorder(bundleID);
}

bool SimulatedTestWorld::moveRecorderElsewhere(const std::string& bundleID,
                                               const std::string& uid) {
    return hardware().moveRecorderElsewhere(bundleID, uid);
}

std::uint32_t SimulatedTestWorld::framesIn(std::chrono::milliseconds duration) {
    return std::uint32_t(
        std::lround(hardware().renderSampleRate() * double(duration.count()) / 1000.0));
}

void SimulatedTestWorld::letTimePass(std::chrono::milliseconds duration) {
    const std::uint32_t cycle = framesIn(std::chrono::milliseconds(10));
    std::uint32_t frames = framesIn(duration);
    if (cycle > 0) {
        hardware().render(frames / cycle, cycle);
        frames %= cycle;
    }
    if (frames > 0) {
        hardware().render(1, frames);
    }
}

std::optional<double> SimulatedTestWorld::playedLevel(const std::string& uid,
                                                      std::chrono::milliseconds window) {
    const AudioObjectID device = hardware().deviceID(uid);
    if (device == kAudioObjectUnknown) {
        return std::nullopt;
    }
    const auto level = hardware().playedLevel(device, framesIn(window));
    return level ? std::optional<double>(*level) : std::nullopt;
}

void SimulatedTestWorld::setDefaultOutput(const std::string& uid) {
    EXPECT_TRUE(hardware().setDefaultOutputDevice(hardware().deviceID(uid)))
        << uid << " cannot be the default output";
}

std::string SimulatedTestWorld::defaultOutput() {
    return hardware().deviceUID(hardware().defaultOutputDevice());
}

} // namespace kestrelamp::hal::test
