#include "AudioHardwareContract.h"
#include "engine/hal/SimulatedAudioHardware.h"
#include "engine/hal/SimulatedScenario.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string_view>

namespace kestrelamp::hal::test {

using namespace std::chrono_literals;

// The contract's world on the simulated service: time passes only when a test lets it, rendering
// on the test's thread.
class SimulatedTestWorld final : public AudioHardwareContractWorld {
public:
    SimulatedTestWorld()
        : world_(makeSimulatedWorld(Scenario{})) {}
    // A scenario that does not load fails the test and leaves the world empty.
    explicit SimulatedTestWorld(std::string_view scenarioJson)
        : world_(load(scenarioJson)) {}

    SimulatedAudioHardware& hardware() override { return *world_.hardware; }

    AudioObjectID addOutputDevice(const std::string& uid, const std::string& description) override {
        return hardware().addDevice(testDevice(uid, description));
    }
    AudioObjectID addInputDevice(const std::string& uid, const std::string& description) override {
        SimulatedDevice device = testDevice(uid, description);
        device.outputStreams = 0;
        device.inputStreams = 1;
        return hardware().addDevice(device);
    }
    void removeDevice(const std::string& uid) override {
        hardware().removeDevice(hardware().deviceID(uid));
    }

    AudioObjectID startPlayer(const std::string& bundleID, const std::string&, double frequency,
                              float amplitude) override {
        return hardware().addProcess(
            {bundleID, nextPid_++, true, SimulatedSignal::sine(frequency, amplitude)});
    }
    void stopPlayer(const std::string& bundleID) override {
        while (const AudioObjectID process = hardware().processID(bundleID)) {
            hardware().removeProcess(process);
        }
    }
    bool moveProcessElsewhere(const std::string& bundleID, const std::string& uid) override {
        return hardware().moveProcessElsewhere(hardware().processID(bundleID), uid);
    }
    std::string refuseRoutesTo(const std::string& uid) override {
        const std::string words = "the simulated service refuses routes to " + uid;
        hardware().refuseConnections(uid, kAudioHardwareIllegalOperationError, words);
        return words;
    }

    bool startRecorder(const std::string& bundleID, const std::string& name) override {
        return hardware().addRecorder({bundleID, name, nextPid_++, -20.0}) != kAudioObjectUnknown;
    }
    void stopRecorder(const std::string& bundleID) override { hardware().removeRecorder(bundleID); }
    bool moveRecorderElsewhere(const std::string& bundleID, const std::string& uid) override {
        return hardware().moveRecorderElsewhere(bundleID, uid);
    }

    // Renders in cycles of 10 ms, the last one shorter.
    void letTimePass(std::chrono::milliseconds duration) override {
        const std::uint32_t cycle = framesIn(10ms);
        std::uint32_t frames = framesIn(duration);
        if (cycle > 0) {
            hardware().render(frames / cycle, cycle);
            frames %= cycle;
        }
        if (frames > 0) {
            hardware().render(1, frames);
        }
    }
    std::optional<double> playedLevel(const std::string& uid,
                                      std::chrono::milliseconds window) override {
        const AudioObjectID device = hardware().deviceID(uid);
        if (device == kAudioObjectUnknown) {
            return std::nullopt;
        }
        const auto level = hardware().playedLevel(device, framesIn(window));
        return level ? std::optional<double>(*level) : std::nullopt;
    }

    void setDefaultOutput(const std::string& uid) override {
        EXPECT_TRUE(hardware().setDefaultOutputDevice(hardware().deviceID(uid)))
            << uid << " cannot be the default output";
    }
    std::string defaultOutput() override {
        return hardware().deviceUID(hardware().defaultOutputDevice());
    }

private:
    static SimulatedWorld load(std::string_view scenarioJson) {
        auto loaded = loadScenario(scenarioJson);
        if (!loaded) {
            ADD_FAILURE() << "scenario does not load: " << loaded.error().description;
            return makeSimulatedWorld(Scenario{});
        }
        return std::move(loaded).value();
    }
    static SimulatedDevice testDevice(const std::string& uid, const std::string& description) {
        SimulatedDevice device;
        device.uid = uid;
        device.name = description;
        device.manufacturer = "Kestrelamp tests";
        device.transportType = fourCharCode("virt");
        return device;
    }
    std::uint32_t framesIn(std::chrono::milliseconds duration) {
        return std::uint32_t(
            std::lround(hardware().renderSampleRate() * double(duration.count()) / 1000.0));
    }

    SimulatedWorld world_;
    std::int32_t nextPid_ = 1000;
};

KESTRELAMP_INSTANTIATE_AUDIO_HARDWARE_CONTRACT(Simulated, [] {
    return std::make_unique<SimulatedTestWorld>();
});

// Choosing, moving back and level times volume are the contract's and the recording control's;
// left here is a recorder that loses its choice and then the default input too.
TEST(SimulatedRecorders, WithoutTheirChoiceAndTheDefaultInputRecordNothing) {
    SimulatedTestWorld world(R"({
        "devices": [ { "uid": "speakers" },
                     { "uid": "mic", "outputStreams": 0, "inputStreams": 1 },
                     { "uid": "headset", "outputStreams": 0, "inputStreams": 1 } ],
        "defaultInput": "headset",
        "recorders": [ { "bundleID": "org.example.Recorder", "name": "Recorder", "level": -20 } ] })");
    SimulatedAudioHardware& hardware = world.hardware();
    std::vector<RecordingApplication> listed;
    const auto source = [&] {
        hardware.recordingApplications(listed);
        return listed.empty() ? "not listed" : listed[0].sourceUID;
    };
    AudioObjectID monitor = kAudioObjectUnknown;
    const auto level = [&] {
        double rms = 1000.0;
        hardware.getPropertyFloat64(monitor, globalAddress(kAudioLevelMonitorPropertyRMS), rms);
        return rms;
    };
    ASSERT_EQ(source(), "headset");
    ASSERT_EQ(hardware.createLevelMonitor(listed[0].levelObjectID, monitor), noErr);
    ASSERT_EQ(hardware.setRecordingChoices({{"org.example.Recorder", {"mic", 1.0f, false}}}),
              noErr);
    world.letTimePass(200ms);
    EXPECT_EQ(source(), "mic");
    EXPECT_NEAR(level(), -20.0, 0.01);

    world.removeDevice("mic");
    EXPECT_EQ(source(), "headset");
    world.removeDevice("headset");
    EXPECT_EQ(source(), "");
    world.letTimePass(300ms);
    EXPECT_EQ(level(), kAudioLevelMonitorSilenceDb);
}

} // namespace kestrelamp::hal::test
