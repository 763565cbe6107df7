#include "AudioHardwareContract.h"
#include "SimulatedTestWorld.h"
#include "TempHome.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace kestrelamp::hal::test {

KESTRELAMP_INSTANTIATE_AUDIO_HARDWARE_CONTRACT(Simulated, [] {
    return std::make_unique<SimulatedTestWorld>();
});

namespace {

using ::testing::ElementsAre;

constexpr OSStatus kInjected = OSStatus(fourCharCode("inj!"));

SimulatedDevice deviceWithUID(std::string uid) {
    SimulatedDevice device;
    device.uid = std::move(uid);
    return device;
}

SimulatedProcess processWithBundleID(std::string bundleID) {
    SimulatedProcess process;
    process.bundleID = std::move(bundleID);
    return process;
}

AudioObjectPropertyAddress streams(AudioObjectPropertyScope scope) {
    return {kAudioDevicePropertyStreams, scope, kAudioObjectPropertyElementMain};
}

struct CallCounter {
    std::atomic<int> calls{0};
    static OSStatus proc(AudioObjectID, std::uint32_t, const AudioObjectPropertyAddress*,
                         void* clientData) {
        ++static_cast<CallCounter*>(clientData)->calls;
        return noErr;
    }
};

class SimulatedHardware : public ::testing::Test {
protected:
    SimulatedTestWorld world{R"({
        "processes": [ { "bundleID": "org.example.Player", "pid": -7 } ],
        "devices": [
            { "uid": "speakers", "name": "Speakers", "sampleRate": 44100 },
            { "uid": "mic", "outputStreams": 0, "inputStreams": 2 },
            { "uid": "headphones", "sampleRate": 48000 }
        ],
        "defaultOutput": "speakers"
    })"};
    SimulatedAudioHardware& hw = world.hardware();
    const AudioObjectID player = hw.processID("org.example.Player");
    const AudioObjectID speakers = hw.deviceID("speakers");
    const AudioObjectID mic = hw.deviceID("mic");
    const AudioObjectID headphones = hw.deviceID("headphones");

    AudioObjectID makeTap() { return tapOf(hw, player, CATapMuteBehavior::mutedWhenTapped); }
    std::string tapUID(AudioObjectID tap) { return test::tapUID(hw, tap); }
    AggregateDeviceDescription aggregateTo(const std::string& subDevice, const std::string& tap) {
        return {
            "Kestrelamp-Player", "com.kestrelamp.aggregate.TEST", true, {subDevice}, {tap}, true};
    }
};

TEST_F(SimulatedHardware, ReadFailuresAnswerTheirStatusForSizeAndDataUntilCleared) {
    hw.failRead(speakers, kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, kInjected);
    hw.failRead(speakers, kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput, kInjected);

    std::string name = "untouched";
    std::uint32_t size = 99;
    EXPECT_EQ(hw.getPropertyString(speakers, globalAddress(kAudioObjectPropertyName), name),
              kInjected);
    EXPECT_EQ(hw.getPropertyDataSize(speakers, globalAddress(kAudioObjectPropertyName), size),
              kInjected);
    EXPECT_EQ(name, "untouched");
    EXPECT_EQ(size, 99u);
    // Only that (object, selector, scope) fails.
    EXPECT_EQ(hw.getPropertyDataSize(speakers, streams(kAudioObjectPropertyScopeInput), size),
              noErr);
    EXPECT_EQ(hw.getPropertyString(headphones, globalAddress(kAudioObjectPropertyName), name),
              noErr);

    hw.clearReadFailure(speakers, kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal);
    EXPECT_EQ(hw.getPropertyString(speakers, globalAddress(kAudioObjectPropertyName), name), noErr);
    EXPECT_EQ(name, "Speakers");
    hw.clearFailures();
    EXPECT_EQ(hw.getPropertyDataSize(speakers, streams(kAudioObjectPropertyScopeOutput), size),
              noErr);
}

TEST_F(SimulatedHardware, OnlyTheDefaultOutputIsWritableAndOnlyToAnOutputDevice) {
    const auto defaultOutput = globalAddress(kAudioHardwarePropertyDefaultOutputDevice);
    EXPECT_EQ(hw.setPropertyUInt32(kAudioObjectSystemObject, defaultOutput, mic),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(hw.setPropertyUInt32(kAudioObjectSystemObject, defaultOutput, player),
              kAudioHardwareBadDeviceError);
    EXPECT_EQ(hw.defaultOutputDevice(), speakers);

    EXPECT_EQ(hw.setPropertyUInt32(speakers, globalAddress(kAudioDevicePropertyTransportType), 1),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(hw.setPropertyUInt32(speakers, globalAddress(fourCharCode("zzz?")), 1),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(hw.setPropertyUInt32(0x7FFFFF00, defaultOutput, speakers),
              kAudioHardwareBadObjectError);
}

TEST_F(SimulatedHardware, RemovingTheDefaultOutputFallsBackToTheFirstOutputDeviceAndNotifies) {
    CallCounter devices;
    CallCounter defaults;
    const auto devicesAddress = globalAddress(kAudioHardwarePropertyDevices);
    const auto defaultAddress = globalAddress(kAudioHardwarePropertyDefaultOutputDevice);
    ASSERT_EQ(hw.addPropertyListener(kAudioObjectSystemObject, devicesAddress, CallCounter::proc,
                                     &devices),
              noErr);
    ASSERT_EQ(hw.addPropertyListener(kAudioObjectSystemObject, defaultAddress, CallCounter::proc,
                                     &defaults),
              noErr);

    ASSERT_TRUE(hw.removeDevice(speakers));
    hw.waitForListeners();
    EXPECT_EQ(hw.defaultOutputDevice(), headphones) << "the microphone has no output";
    EXPECT_EQ(devices.calls, 1);
    EXPECT_EQ(defaults.calls, 1);

    // Setting what is already the default is no change.
    EXPECT_TRUE(hw.setDefaultOutputDevice(headphones));
    ASSERT_TRUE(hw.removeDevice(headphones));
    hw.waitForListeners();
    EXPECT_EQ(hw.defaultOutputDevice(), kAudioObjectUnknown);
    EXPECT_EQ(devices.calls, 2);
    EXPECT_EQ(defaults.calls, 2);

    hw.removePropertyListener(kAudioObjectSystemObject, devicesAddress, CallCounter::proc,
                              &devices);
    hw.removePropertyListener(kAudioObjectSystemObject, defaultAddress, CallCounter::proc,
                              &defaults);
}

struct SelfRemovingListener {
    SimulatedAudioHardware* hardware = nullptr;
    std::atomic<int> calls{0};
    std::atomic<OSStatus> removal{noErr};
    static OSStatus proc(AudioObjectID, std::uint32_t, const AudioObjectPropertyAddress*,
                         void* clientData) {
        auto* self = static_cast<SelfRemovingListener*>(clientData);
        ++self->calls;
        self->removal = self->hardware->removePropertyListener(
            kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDevices), proc, self);
        return noErr;
    }
};

TEST_F(SimulatedHardware, AListenerCanRemoveItselfFromItsOwnCall) {
    SelfRemovingListener listener;
    listener.hardware = &hw;
    ASSERT_EQ(hw.addPropertyListener(kAudioObjectSystemObject,
                                     globalAddress(kAudioHardwarePropertyDevices),
                                     SelfRemovingListener::proc, &listener),
              noErr);
    hw.addDevice(deviceWithUID("one"));
    hw.addDevice(deviceWithUID("two"));
    hw.waitForListeners();
    EXPECT_EQ(listener.calls, 1);
    EXPECT_EQ(listener.removal, noErr);
}

TEST_F(SimulatedHardware, RunningFlagAndProcessListNotifyTheirListeners) {
    CallCounter running;
    CallCounter processes;
    ASSERT_EQ(hw.addPropertyListener(player, globalAddress(kAudioProcessPropertyIsRunning),
                                     CallCounter::proc, &running),
              noErr);
    ASSERT_EQ(hw.addPropertyListener(kAudioObjectSystemObject,
                                     globalAddress(kAudioHardwarePropertyProcessObjectList),
                                     CallCounter::proc, &processes),
              noErr);
    EXPECT_TRUE(hw.setProcessRunning(player, false));
    EXPECT_TRUE(hw.setProcessRunning(player, false));
    const AudioObjectID helper = hw.addProcess(processWithBundleID("org.example.Player.helper"));
    EXPECT_TRUE(hw.removeProcess(helper));
    EXPECT_FALSE(hw.removeProcess(helper));
    hw.waitForListeners();
    EXPECT_EQ(running.calls, 1);
    EXPECT_EQ(processes.calls, 2);
    hw.removePropertyListener(player, globalAddress(kAudioProcessPropertyIsRunning),
                              CallCounter::proc, &running);
    hw.removePropertyListener(kAudioObjectSystemObject,
                              globalAddress(kAudioHardwarePropertyProcessObjectList),
                              CallCounter::proc, &processes);
}

TEST_F(SimulatedHardware, ProcessesOfOneIdentifierShareAnObjectThatKeepsItsID) {
    CallCounter processes;
    const auto list = globalAddress(kAudioHardwarePropertyProcessObjectList);
    ASSERT_EQ(hw.addPropertyListener(kAudioObjectSystemObject, list, CallCounter::proc, &processes),
              noErr);
    const auto listed = [&] {
        std::vector<AudioObjectID> ids(8);
        hw.getPropertyObjectIDs(kAudioObjectSystemObject, list, ids);
        return ids;
    };
    SimulatedProcess second = processWithBundleID("org.example.Player");
    second.running = false;
    EXPECT_EQ(hw.addProcess(second), player);
    EXPECT_THAT(listed(), ElementsAre(player));
    std::uint32_t running = 0;
    EXPECT_EQ(hw.getPropertyUInt32(player, globalAddress(kAudioProcessPropertyIsRunning), running),
              noErr);
    EXPECT_EQ(running, 1u) << "running while any of its processes runs";

    EXPECT_TRUE(hw.removeProcess(player));
    EXPECT_TRUE(listed().empty());
    EXPECT_EQ(hw.processID("org.example.Player"), kAudioObjectUnknown);
    std::string bundleID;
    EXPECT_EQ(hw.getPropertyString(player, globalAddress(kAudioProcessPropertyBundleID), bundleID),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(hw.addProcess(second), player);
    EXPECT_THAT(listed(), ElementsAre(player));
    hw.waitForListeners();
    EXPECT_EQ(processes.calls, 2) << "only a change of the list is told";
    EXPECT_NE(hw.addProcess({}), hw.addProcess({})) << "no identifier, no sharing";
    hw.removePropertyListener(kAudioObjectSystemObject, list, CallCounter::proc, &processes);
}

TEST_F(SimulatedHardware, AnotherClientsMoveReleasesTheTapsAndTheProcessPlaysWhereItWasSent) {
    hw.setProcessSignal(player, SimulatedSignal::sine(1000, 0.5f));
    const AudioObjectID tap = makeTap();
    const auto isReleased = globalAddress(kAudioTapPropertyIsReleased);
    const auto releaseDevice = globalAddress(kAudioTapPropertyReleaseDeviceUID);
    std::uint32_t released = 7;
    EXPECT_EQ(hw.getPropertyUInt32(tap, isReleased, released), noErr);
    EXPECT_EQ(released, 0u);
    std::string uid = "untouched";
    EXPECT_EQ(hw.getPropertyString(tap, releaseDevice, uid), kAudioHardwareIllegalOperationError);
    CallCounter told;
    ASSERT_EQ(hw.addPropertyListener(tap, isReleased, CallCounter::proc, &told), noErr);
    const auto level = [&](AudioObjectID device) {
        hw.render(10, 480);
        return hw.playedLevel(device, 4800).value_or(-999.0f);
    };
    EXPECT_LT(level(speakers), -100.0f) << "muted while tapped";

    EXPECT_FALSE(hw.moveProcessElsewhere(speakers, "headphones")) << "not a process";
    ASSERT_TRUE(hw.moveProcessElsewhere(player, "mic"));
    hw.waitForListeners();
    EXPECT_EQ(told.calls, 1);
    EXPECT_EQ(hw.getPropertyUInt32(tap, isReleased, released), noErr);
    EXPECT_EQ(released, 1u);
    EXPECT_EQ(hw.getPropertyString(tap, releaseDevice, uid), noErr);
    EXPECT_EQ(uid, "") << "not an output device: the default";
    EXPECT_NEAR(level(speakers), -9.03f, 0.1f);

    // A new tap holds it again, until it too is released.
    const AudioObjectID again = makeTap();
    EXPECT_LT(level(speakers), -100.0f);
    ASSERT_TRUE(hw.moveProcessElsewhere(player, "headphones"));
    EXPECT_EQ(hw.getPropertyString(again, releaseDevice, uid), noErr);
    EXPECT_EQ(uid, "headphones");
    EXPECT_NEAR(level(headphones), -9.03f, 0.1f);
    EXPECT_LT(level(speakers), -100.0f);
    EXPECT_EQ(hw.destroyProcessTap(again), noErr);
    EXPECT_NEAR(level(headphones), -9.03f, 0.1f) << "destroying a tap does not bring it back";
    hw.removePropertyListener(tap, isReleased, CallCounter::proc, &told);
}

// --- Taps, aggregates and IO procs --------------------------------------------------------

TEST_F(SimulatedHardware, InjectedOperationFailuresCreateNothingAndAreLogged) {
    const AudioObjectID tap = makeTap();
    const std::string uid = tapUID(tap);

    hw.failOperation(SimulatedOperation::readTapUID, kInjected);
    std::string text = "untouched";
    EXPECT_EQ(hw.getPropertyString(tap, globalAddress(kAudioTapPropertyUID), text), kInjected);
    EXPECT_EQ(text, "untouched");

    hw.failOperation(SimulatedOperation::createProcessTap, kInjected);
    AudioObjectID id = 77;
    EXPECT_EQ(hw.createProcessTap(CATapDescription::stereoMixdownOfProcesses({player}), id),
              kInjected);
    EXPECT_EQ(id, 77u);
    EXPECT_EQ(hw.taps().size(), 1u);

    hw.failOperation(SimulatedOperation::createAggregateDevice, kInjected);
    EXPECT_EQ(hw.createAggregateDevice(aggregateTo("headphones", uid), id), kInjected);
    EXPECT_TRUE(hw.aggregateDevices().empty());
    hw.failOperation(SimulatedOperation::createAggregateDevice, noErr);
    AudioObjectID aggregate = kAudioObjectUnknown;
    ASSERT_EQ(hw.createAggregateDevice(aggregateTo("headphones", uid), aggregate), noErr);

    hw.failOperation(SimulatedOperation::createIOProcID, kInjected);
    AudioDeviceIOProcID proc = kAudioDeviceIOProcIDNone;
    const auto silentBlock = [](const AudioIOCycle&, const AudioBufferList&, AudioBufferList&) {};
    EXPECT_EQ(hw.createIOProcID(aggregate, silentBlock, proc), kInjected);
    EXPECT_EQ(proc, kAudioDeviceIOProcIDNone);
    EXPECT_TRUE(hw.ioProcs().empty());
    hw.failOperation(SimulatedOperation::createIOProcID, noErr);
    ASSERT_EQ(hw.createIOProcID(aggregate, silentBlock, proc), noErr);

    hw.failOperation(SimulatedOperation::deviceStart, kInjected);
    EXPECT_EQ(hw.deviceStart(aggregate, proc), kInjected);
    ASSERT_EQ(hw.ioProcs().size(), 1u);
    EXPECT_FALSE(hw.ioProcs()[0].started);
    hw.clearFailures();
    EXPECT_EQ(hw.deviceStart(aggregate, proc), noErr);
    EXPECT_TRUE(hw.ioProcs()[0].started);

    using Kind = HardwareCall::Kind;
    EXPECT_THAT(hw.callLog(),
                ElementsAre(HardwareCall{Kind::createProcessTap, tap, 0, noErr},
                            HardwareCall{Kind::createProcessTap, 0, 0, kInjected},
                            HardwareCall{Kind::createAggregateDevice, 0, 0, kInjected},
                            HardwareCall{Kind::createAggregateDevice, aggregate, 0, noErr},
                            HardwareCall{Kind::createIOProcID, aggregate, 0, kInjected},
                            HardwareCall{Kind::createIOProcID, aggregate, proc, noErr},
                            HardwareCall{Kind::deviceStart, aggregate, proc, kInjected},
                            HardwareCall{Kind::deviceStart, aggregate, proc, noErr}));
}

TEST_F(SimulatedHardware, RefusesTapsOfUnknownProcessesAndAggregatesWithATakenUID) {
    AudioObjectID id = 77;
    EXPECT_EQ(hw.createProcessTap(CATapDescription::stereoMixdownOfProcesses({speakers}), id),
              kAudioHardwareBadObjectError);
    const std::string uid = tapUID(makeTap());
    EXPECT_EQ(hw.createAggregateDevice(aggregateTo("headphones", uid), id), noErr);
    EXPECT_EQ(hw.createAggregateDevice(aggregateTo("headphones", uid), id),
              kAudioHardwareIllegalOperationError);
    AggregateDeviceDescription unnamed = aggregateTo("headphones", uid);
    unnamed.uid.clear();
    EXPECT_EQ(hw.createAggregateDevice(unnamed, id), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(hw.destroyAggregateDevice(speakers), kAudioHardwareIllegalOperationError);
    AudioDeviceIOProcID proc = kAudioDeviceIOProcIDNone;
    EXPECT_EQ(hw.createIOProcID(speakers, nullptr, proc), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(hw.aggregateDevices().size(), 1u);
}

TEST_F(SimulatedHardware, KeepsTheDescriptionsItWasGivenAndDescribesAggregates) {
    CATapDescription tapDescription = CATapDescription::stereoMixdownOfProcesses({player});
    tapDescription.muteBehavior = CATapMuteBehavior::mutedWhenTapped;
    AudioObjectID tap = kAudioObjectUnknown;
    ASSERT_EQ(hw.createProcessTap(tapDescription, tap), noErr);
    const AggregateDeviceDescription description = aggregateTo("speakers", tapUID(tap));
    AudioObjectID aggregate = kAudioObjectUnknown;
    ASSERT_EQ(hw.createAggregateDevice(description, aggregate), noErr);

    const auto taps = hw.taps();
    ASSERT_EQ(taps.size(), 1u);
    EXPECT_EQ(taps[0].id, tap);
    EXPECT_THAT(taps[0].description.processes, ElementsAre(player));
    EXPECT_EQ(taps[0].description.muteBehavior, CATapMuteBehavior::mutedWhenTapped);
    EXPECT_TRUE(taps[0].description.mixdown);
    const auto aggregates = hw.aggregateDevices();
    ASSERT_EQ(aggregates.size(), 1u);
    EXPECT_EQ(aggregates[0].id, aggregate);
    EXPECT_EQ(aggregates[0].description, description);

    std::uint32_t size = 0;
    EXPECT_EQ(hw.getPropertyDataSize(aggregate, streams(kAudioObjectPropertyScopeInput), size),
              noErr);
    EXPECT_EQ(size, 4u) << "one stream per tap";

    // Without its sub-device the aggregate has no output and no rate; without its tap no input.
    ASSERT_TRUE(hw.removeDevice(speakers));
    ASSERT_EQ(hw.destroyProcessTap(tap), noErr);
    EXPECT_EQ(hw.getPropertyDataSize(aggregate, streams(kAudioObjectPropertyScopeOutput), size),
              noErr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(hw.getPropertyDataSize(aggregate, streams(kAudioObjectPropertyScopeInput), size),
              noErr);
    EXPECT_EQ(size, 0u);
    double rate = 0;
    EXPECT_EQ(hw.getPropertyFloat64(aggregate, globalAddress(kAudioDevicePropertyNominalSampleRate),
                                    rate),
              kAudioHardwareUnknownPropertyError);
}

TEST_F(SimulatedHardware, InterfaceCallsFromInsideABlockAreRefused) {
    std::atomic<OSStatus> seen{noErr};
    AudioDeviceIOProcID proc = kAudioDeviceIOProcIDNone;
    SimulatedAudioHardware* hardware = &hw;
    const AudioObjectID device = speakers;
    ASSERT_EQ(hw.createIOProcID(
                  speakers,
                  [&seen, hardware, device](const AudioIOCycle&, const AudioBufferList&,
                                            AudioBufferList&) {
                      std::uint32_t value = 0;
                      seen = hardware->getPropertyUInt32(
                          device, globalAddress(kAudioDevicePropertyTransportType), value);
                  },
                  proc),
              noErr);
    ASSERT_EQ(hw.deviceStart(speakers, proc), noErr);
    hw.render(1, 64);
    EXPECT_EQ(seen, kAudioHardwareIllegalOperationError);
    EXPECT_EQ(hw.destroyIOProcID(speakers, proc), noErr);
}

TEST_F(SimulatedHardware, RealTimeClockStopsBlocksAtDeviceStop) {
    std::atomic<int> cycles{0};
    std::atomic<bool> inside{false};
    AudioDeviceIOProcID proc = kAudioDeviceIOProcIDNone;
    ASSERT_EQ(hw.createIOProcID(
                  speakers,
                  [&](const AudioIOCycle&, const AudioBufferList&, AudioBufferList& output) {
                      inside = true;
                      // Slow enough that a stop often arrives mid-cycle.
                      std::this_thread::sleep_for(std::chrono::microseconds(200));
                      if (output.numberBuffers > 0) {
                          static_cast<float*>(output.buffers[0].data)[0] = 0.25f;
                      }
                      ++cycles;
                      inside = false;
                  },
                  proc),
              noErr);
    hw.startRealTimeClock(std::chrono::milliseconds(2));
    EXPECT_TRUE(hw.isRealTimeClockRunning());
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(hw.deviceStart(speakers, proc), noErr);
        const int before = cycles;
        ASSERT_TRUE(::kestrelamp::test::waitUntil([&] { return cycles > before + 2; }));
        ASSERT_EQ(hw.deviceStop(speakers, proc), noErr);
        EXPECT_FALSE(inside);
        const int stoppedAt = cycles;
        const std::uint64_t played = hw.framesPlayed(speakers);
        ASSERT_TRUE(::kestrelamp::test::waitUntil([&] {
            return hw.framesPlayed(speakers) > played;
        })) << "the clock keeps running without the block";
        EXPECT_EQ(cycles, stoppedAt);
    }
    hw.stopRealTimeClock();
    EXPECT_FALSE(hw.isRealTimeClockRunning());
    const std::uint64_t played = hw.framesPlayed(speakers);
    hw.render(1, 480);
    EXPECT_EQ(hw.framesPlayed(speakers), played + 480);
    EXPECT_EQ(hw.destroyIOProcID(speakers, proc), noErr);
}

} // namespace
} // namespace kestrelamp::hal::test
