#include "AudioHardwareContract.h"

#include "TempHome.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrelamp::hal::test {
namespace {

using namespace std::chrono_literals;
using kestrelamp::test::waitUntil;

constexpr int kPatienceMs = 10000;
constexpr double kSineFrequency = 440.0;
constexpr float kSineAmplitude = 0.5f;
// 20·log10(0.5 / √2)
constexpr double kSineLevel = -9.03;
constexpr double kSilence = -60.0;
constexpr AudioObjectID kNoSuchObject = 0x7FFFFF00;

std::vector<AudioObjectID> systemList(AudioHardware& hardware,
                                      AudioObjectPropertySelector selector) {
    return readObjectIDs(hardware, kAudioObjectSystemObject, globalAddress(selector))
        .value_or(std::vector<AudioObjectID>{});
}

bool lists(AudioHardware& hardware, AudioObjectPropertySelector selector, AudioObjectID id) {
    const auto ids = systemList(hardware, selector);
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

std::optional<std::string> stringProperty(AudioHardware& hardware, AudioObjectID object,
                                          AudioObjectPropertySelector selector) {
    std::string value;
    if (hardware.getPropertyString(object, globalAddress(selector), value) != noErr) {
        return std::nullopt;
    }
    return value;
}

// The object of the system's list whose string property has the value.
AudioObjectID listedWith(AudioHardware& hardware, AudioObjectPropertySelector list,
                         AudioObjectPropertySelector property, const std::string& value) {
    for (const AudioObjectID id : systemList(hardware, list)) {
        if (stringProperty(hardware, id, property) == value) {
            return id;
        }
    }
    return kAudioObjectUnknown;
}

AudioObjectID defaultOutputID(AudioHardware& hardware) {
    std::uint32_t id = kAudioObjectUnknown;
    hardware.getPropertyUInt32(kAudioObjectSystemObject,
                               globalAddress(kAudioHardwarePropertyDefaultOutputDevice), id);
    return id;
}

std::uint32_t streamSize(AudioHardware& hardware, AudioObjectID device,
                         AudioObjectPropertyScope scope) {
    std::uint32_t size = 0xFFFF;
    const OSStatus status = hardware.getPropertyDataSize(
        device, {kAudioDevicePropertyStreams, scope, kAudioObjectPropertyElementMain}, size);
    return status == noErr ? size : 0xFFFF;
}

// Lets time pass in the world until the condition holds.
template <class Condition>
bool passTimeUntil(AudioHardwareContractWorld& world, Condition condition) {
    return waitUntil(
        [&] {
            world.letTimePass(20ms);
            return condition();
        },
        kPatienceMs);
}

// Lets audio flow until the device's level over the last 100 ms satisfies the predicate; the
// failure names the level it ended at.
template <class Predicate>
testing::AssertionResult waitForLevel(AudioHardwareContractWorld& world, const std::string& uid,
                                      Predicate predicate) {
    const bool reached = passTimeUntil(world, [&] {
        const auto level = world.playedLevel(uid, 100ms);
        return level && predicate(*level);
    });
    const auto level = world.playedLevel(uid, 100ms);
    return (reached ? testing::AssertionSuccess() : testing::AssertionFailure())
           << uid << ": " << (level ? std::to_string(*level) + " dBFS" : "no level");
}

bool isLoud(double level) {
    return level > kSineLevel - 3;
}

bool isSilent(double level) {
    return level < kSilence;
}

// Counts calls and remembers the threads they came on; for "dOut" it reads the new default on
// the notifying thread, as the device monitor does.
struct ListenerLog {
    AudioHardware* hardware = nullptr;
    std::atomic<int> calls{0};
    std::atomic<AudioObjectID> defaultSeen{kAudioObjectUnknown};
    std::mutex mutex{};
    std::vector<std::thread::id> threads{};
    std::vector<AudioObjectPropertyAddress> addresses{};

    static OSStatus proc(AudioObjectID, std::uint32_t count,
                         const AudioObjectPropertyAddress* changed, void* clientData) {
        auto* self = static_cast<ListenerLog*>(clientData);
        {
            std::lock_guard lock(self->mutex);
            self->threads.push_back(std::this_thread::get_id());
            self->addresses.insert(self->addresses.end(), changed, changed + count);
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            if (changed[i].selector == kAudioHardwarePropertyDefaultOutputDevice) {
                self->defaultSeen = defaultOutputID(*self->hardware);
            }
        }
        ++self->calls;
        return noErr;
    }

    bool allOn(std::thread::id excluded) {
        std::lock_guard lock(mutex);
        return !threads.empty() && std::none_of(threads.begin(), threads.end(),
                                                [&](std::thread::id t) { return t == excluded; });
    }
};

// Adds a listener and removes it at the end of the test however it ends, before its client data
// goes; `added` is what adding it returned.
struct Listening {
    AudioHardware& hardware;
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    AudioObjectPropertyListenerProc proc;
    void* clientData;
    OSStatus added = hardware.addPropertyListener(object, address, proc, clientData);
    ~Listening() { hardware.removePropertyListener(object, address, proc, clientData); }
};

// Copies gain × input to output buffer by buffer and keeps what it saw in atomics only.
struct PassThrough {
    std::atomic<float> gain{1.0f};
    std::atomic<int> cycles{0};
    std::atomic<bool> inside{false};
    std::atomic<std::uint32_t> inputBuffers{0};
    std::atomic<std::uint32_t> outputBuffers{0};
    std::atomic<std::uint32_t> channelsPerBuffer{0};
    std::atomic<float> inputLevel{-120.0f};

    AudioDeviceIOBlock block() {
        return [this](const AudioIOCycle&, const AudioBufferList& input, AudioBufferList& output) {
            inside = true;
            inputBuffers = input.numberBuffers;
            outputBuffers = output.numberBuffers;
            if (input.numberBuffers > 0) {
                channelsPerBuffer = input.buffers[0].numberChannels;
            }
            const float g = gain;
            double sum = 0.0;
            std::size_t count = 0;
            for (std::uint32_t b = 0; b < std::min(input.numberBuffers, output.numberBuffers);
                 ++b) {
                const auto* in = static_cast<const float*>(input.buffers[b].data);
                auto* out = static_cast<float*>(output.buffers[b].data);
                const std::uint32_t samples =
                    std::min(input.buffers[b].dataByteSize, output.buffers[b].dataByteSize) / 4;
                if (!in || !out) {
                    continue;
                }
                for (std::uint32_t i = 0; i < samples; ++i) {
                    sum += double(in[i]) * in[i];
                    out[i] = g * in[i];
                }
                count += samples;
            }
            if (count > 0) {
                inputLevel =
                    float(20.0 * std::log10(std::max(std::sqrt(sum / double(count)), 1e-6)));
            }
            ++cycles;
            inside = false;
        };
    }
};

// A tap on one process and an aggregate from it to one device, with an IO proc.
struct Route {
    AudioObjectID tap = kAudioObjectUnknown;
    std::string tapUID;
    AudioObjectID aggregate = kAudioObjectUnknown;
    AggregateDeviceDescription description;
    AudioDeviceIOProcID ioProc = kAudioDeviceIOProcIDNone;
};

OSStatus createRoute(AudioHardware& hardware, AudioObjectID process, const std::string& outputUID,
                     Route& route) {
    CATapDescription tap = CATapDescription::stereoMixdownOfProcesses({process});
    tap.muteBehavior = CATapMuteBehavior::mutedWhenTapped;
    if (const OSStatus status = hardware.createProcessTap(tap, route.tap); status != noErr) {
        return status;
    }
    if (const OSStatus status = hardware.getPropertyString(
            route.tap, globalAddress(kAudioTapPropertyUID), route.tapUID);
        status != noErr) {
        return status;
    }
    route.description = {"Kestrelamp-Contract",
                         "com.kestrelamp.aggregate.0C0A7AC7-0000-4000-8000-00000000C0DE",
                         {outputUID},
                         {route.tapUID}};
    return hardware.createAggregateDevice(route.description, route.aggregate);
}

void destroyRoute(AudioHardware& hardware, Route& route) {
    if (route.ioProc != kAudioDeviceIOProcIDNone) {
        hardware.deviceStop(route.aggregate, route.ioProc);
        hardware.destroyIOProcID(route.aggregate, route.ioProc);
    }
    if (route.aggregate != kAudioObjectUnknown) {
        hardware.destroyAggregateDevice(route.aggregate);
    }
    if (route.tap != kAudioObjectUnknown) {
        hardware.destroyProcessTap(route.tap);
    }
    route = {};
}

// --- Properties ---------------------------------------------------------------------------

TEST_P(AudioHardwareContract, DevicesDescribeThemselves) {
    const AudioObjectID output = world().addOutputDevice("contract-speakers", "Contract Speakers");
    const AudioObjectID input = world().addInputDevice("contract-microphone", "Contract Mic");
    ASSERT_NE(output, kAudioObjectUnknown);
    ASSERT_NE(input, kAudioObjectUnknown);

    EXPECT_EQ(stringProperty(hardware(), output, kAudioDevicePropertyDeviceUID),
              "contract-speakers");
    EXPECT_EQ(stringProperty(hardware(), output, kAudioObjectPropertyName), "Contract Speakers");
    EXPECT_TRUE(stringProperty(hardware(), output, kAudioObjectPropertyManufacturer));

    std::uint32_t transport = 0;
    EXPECT_EQ(hardware().getPropertyUInt32(output, globalAddress(kAudioDevicePropertyTransportType),
                                           transport),
              noErr);
    double rate = 0;
    ASSERT_EQ(hardware().getPropertyFloat64(
                  output, globalAddress(kAudioDevicePropertyNominalSampleRate), rate),
              noErr);
    EXPECT_GT(rate, 0.0);

    EXPECT_GE(streamSize(hardware(), output, kAudioObjectPropertyScopeOutput), 4u);
    EXPECT_EQ(streamSize(hardware(), output, kAudioObjectPropertyScopeInput), 0u);
    EXPECT_GE(streamSize(hardware(), input, kAudioObjectPropertyScopeInput), 4u);
    EXPECT_EQ(streamSize(hardware(), input, kAudioObjectPropertyScopeOutput), 0u);
}

TEST_P(AudioHardwareContract, UnknownObjectsAndSelectorsFailAndLeaveOutputsAlone) {
    const AudioObjectID device = world().addOutputDevice("contract-device", "Device");
    ASSERT_NE(device, kAudioObjectUnknown);

    std::uint32_t size = 77;
    std::uint32_t number = 77;
    std::string text = "untouched";
    std::vector<AudioObjectID> ids(2, 77);
    const auto uid = globalAddress(kAudioDevicePropertyDeviceUID);
    EXPECT_EQ(hardware().getPropertyDataSize(kNoSuchObject, uid, size),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(hardware().getPropertyString(kNoSuchObject, uid, text), kAudioHardwareBadObjectError);
    EXPECT_EQ(hardware().getPropertyUInt32(
                  kNoSuchObject, globalAddress(kAudioDevicePropertyTransportType), number),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(hardware().getPropertyObjectIDs(kNoSuchObject,
                                              globalAddress(kAudioHardwarePropertyDevices), ids),
              kAudioHardwareBadObjectError);

    const auto bogus = globalAddress(fourCharCode("zzz?"));
    for (const AudioObjectID object : {kAudioObjectSystemObject, device}) {
        EXPECT_EQ(hardware().getPropertyDataSize(object, bogus, size),
                  kAudioHardwareUnknownPropertyError);
        EXPECT_EQ(hardware().getPropertyString(object, bogus, text),
                  kAudioHardwareUnknownPropertyError);
        EXPECT_EQ(hardware().getPropertyUInt32(object, bogus, number),
                  kAudioHardwareUnknownPropertyError);
    }
    EXPECT_EQ(size, 77u);
    EXPECT_EQ(number, 77u);
    EXPECT_EQ(text, "untouched");
    EXPECT_EQ(ids, std::vector<AudioObjectID>(2, 77));
}

// --- Default output and listeners -------------------------------------------------------------

TEST_P(AudioHardwareContract, DefaultOutputIsWrittenReadAndNotifiedOnTheServiceThread) {
    const AudioObjectID first = world().addOutputDevice("contract-a", "A");
    const AudioObjectID second = world().addOutputDevice("contract-b", "B");
    ASSERT_NE(first, kAudioObjectUnknown);
    ASSERT_NE(second, kAudioObjectUnknown);
    const bool firstIsDefault = defaultOutputID(hardware()) == first;
    const AudioObjectID target = firstIsDefault ? second : first;
    const std::string targetUID = firstIsDefault ? "contract-b" : "contract-a";
    const AudioObjectID other = firstIsDefault ? first : second;
    const std::string otherUID = firstIsDefault ? "contract-a" : "contract-b";

    ListenerLog log{&hardware()};
    const auto address = globalAddress(kAudioHardwarePropertyDefaultOutputDevice);
    const Listening guard{hardware(), kAudioObjectSystemObject, address, ListenerLog::proc, &log};
    ASSERT_EQ(guard.added, noErr);

    // A service may make it the default later; it says so to the listeners.
    ASSERT_EQ(hardware().setPropertyUInt32(kAudioObjectSystemObject, address, target), noErr);
    EXPECT_TRUE(waitUntil([&] { return defaultOutputID(hardware()) == target; }, kPatienceMs));
    EXPECT_TRUE(waitUntil([&] { return world().defaultOutput() == targetUID; }, kPatienceMs));
    ASSERT_TRUE(waitUntil([&] { return log.defaultSeen == target; }, kPatienceMs))
        << "the listener reads the new default on its own thread";
    EXPECT_TRUE(log.allOn(std::this_thread::get_id()));
    {
        std::lock_guard lock(log.mutex);
        EXPECT_EQ(log.addresses.front(), address);
    }

    world().setDefaultOutput(otherUID);
    EXPECT_TRUE(waitUntil([&] { return defaultOutputID(hardware()) == other; }, kPatienceMs));
    EXPECT_TRUE(waitUntil([&] { return log.defaultSeen == other; }, kPatienceMs));

    EXPECT_NE(hardware().setPropertyUInt32(kAudioObjectSystemObject, address, kNoSuchObject),
              noErr);
    EXPECT_EQ(defaultOutputID(hardware()), other);

    EXPECT_EQ(hardware().removePropertyListener(kAudioObjectSystemObject, address,
                                                ListenerLog::proc, &log),
              noErr);
}

TEST_P(AudioHardwareContract, DeviceListListenerFiresOnAddAndRemove) {
    ListenerLog log{&hardware()};
    const auto address = globalAddress(kAudioHardwarePropertyDevices);
    const Listening guard{hardware(), kAudioObjectSystemObject, address, ListenerLog::proc, &log};
    ASSERT_EQ(guard.added, noErr);

    const AudioObjectID device = world().addOutputDevice("contract-hotplug", "Hotplug");
    ASSERT_NE(device, kAudioObjectUnknown);
    EXPECT_TRUE(lists(hardware(), kAudioHardwarePropertyDevices, device));
    ASSERT_TRUE(waitUntil([&] { return log.calls > 0; }, kPatienceMs));
    const int afterAdd = log.calls;

    world().removeDevice("contract-hotplug");
    EXPECT_TRUE(waitUntil([&] { return !lists(hardware(), kAudioHardwarePropertyDevices, device); },
                          kPatienceMs));
    EXPECT_TRUE(waitUntil([&] { return log.calls > afterAdd; }, kPatienceMs));
    EXPECT_TRUE(log.allOn(std::this_thread::get_id()));
}

TEST_P(AudioHardwareContract, TheCallMixIsListedWhileOnAsOutputAndInputAndNeverTheDefault) {
    const auto findCallMix = [&] {
        return listedWith(hardware(), kAudioHardwarePropertyDevices, kAudioDevicePropertyDeviceUID,
                          kCallMixDeviceUID);
    };
    CallMixSettings settings;
    settings.on = true;
    ASSERT_EQ(hardware().setCallMix(settings), noErr);
    ASSERT_TRUE(waitUntil([&] { return findCallMix() != kAudioObjectUnknown; }, kPatienceMs));
    const AudioObjectID callMix = findCallMix();
    EXPECT_EQ(stringProperty(hardware(), callMix, kAudioObjectPropertyName), kCallMixDeviceName);
    EXPECT_EQ(streamSize(hardware(), callMix, kAudioObjectPropertyScopeOutput), 4u);
    EXPECT_EQ(streamSize(hardware(), callMix, kAudioObjectPropertyScopeInput), 4u);
    const auto address = globalAddress(kAudioHardwarePropertyDefaultOutputDevice);
    EXPECT_NE(hardware().setPropertyUInt32(kAudioObjectSystemObject, address, callMix), noErr);

    // Changing its microphone keeps it where it is.
    settings.microphoneUID = std::string();
    settings.microphoneVolume = 0.5f;
    ASSERT_EQ(hardware().setCallMix(settings), noErr);
    EXPECT_EQ(findCallMix(), callMix);

    ASSERT_EQ(hardware().setCallMix({}), noErr);
    EXPECT_TRUE(waitUntil([&] { return findCallMix() == kAudioObjectUnknown; }, kPatienceMs));
}

std::optional<RecordingApplication> recording(AudioHardware& hardware,
                                              const std::string& bundleID) {
    std::vector<RecordingApplication> applications;
    if (hardware.recordingApplications(applications) != noErr) {
        return std::nullopt;
    }
    for (RecordingApplication& application : applications) {
        if (application.bundleID == bundleID) {
            return application;
        }
    }
    return std::nullopt;
}

TEST_P(AudioHardwareContract, ARecordingApplicationRecordsWhereItsChoiceSaysAndTakesAnotherMove) {
    constexpr const char* kRecorder = "org.example.Recorder";
    ASSERT_NE(world().addInputDevice("contract-mic-a", "Microphone A"), kAudioObjectUnknown);
    ASSERT_NE(world().addInputDevice("contract-mic-b", "Microphone B"), kAudioObjectUnknown);
    ListenerLog log{&hardware()};
    const Listening guard{hardware(), kAudioObjectSystemObject,
                          globalAddress(kAudioHardwarePropertyRecordingApplications),
                          ListenerLog::proc, &log};
    ASSERT_EQ(guard.added, noErr);
    ASSERT_TRUE(world().startRecorder(kRecorder, "Recorder"));
    const auto sourceIs = [&](const std::string& uid) {
        return waitUntil(
            [&] {
                const auto listed = recording(hardware(), kRecorder);
                return listed && listed->sourceUID == uid;
            },
            kPatienceMs);
    };
    ASSERT_TRUE(
        waitUntil([&] { return recording(hardware(), kRecorder).has_value(); }, kPatienceMs));
    EXPECT_TRUE(waitUntil([&] { return log.calls > 0; }, kPatienceMs));
    EXPECT_NE(recording(hardware(), kRecorder)->levelObjectID, kAudioObjectUnknown);

    ASSERT_EQ(hardware().setRecordingChoices({{kRecorder, {"contract-mic-b", 0.5f, false}}}),
              noErr);
    EXPECT_TRUE(sourceIs("contract-mic-b"));
    EXPECT_EQ(recording(hardware(), kRecorder)->chosenElsewhere, std::nullopt);

    // Another program's move stands, and says so until a choice is handed in again.
    ASSERT_TRUE(world().moveRecorderElsewhere(kRecorder, "contract-mic-a"));
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto listed = recording(hardware(), kRecorder);
            return listed &&
                   listed->chosenElsewhere == std::optional<std::string>("contract-mic-a");
        },
        kPatienceMs));
    EXPECT_TRUE(sourceIs("contract-mic-a"));
    ASSERT_EQ(hardware().setRecordingChoices({{kRecorder, {"contract-mic-a", 0.5f, false}}}),
              noErr);
    EXPECT_EQ(recording(hardware(), kRecorder)->chosenElsewhere, std::nullopt);

    ASSERT_EQ(hardware().setRecordingChoices({{kRecorder, {"contract-mic-b", 1.0f, true}}}), noErr);
    EXPECT_TRUE(sourceIs("contract-mic-b"));
    world().stopRecorder(kRecorder);
    EXPECT_TRUE(
        waitUntil([&] { return !recording(hardware(), kRecorder).has_value(); }, kPatienceMs));
    // Its choice holds for its next run.
    ASSERT_TRUE(world().startRecorder(kRecorder, "Recorder"));
    EXPECT_TRUE(sourceIs("contract-mic-b"));
}

// Blocks inside its first call until released, so that a removal can race with the call.
struct BlockingListener {
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    std::atomic<bool> exited{false};
    std::atomic<int> calls{0};

    static OSStatus proc(AudioObjectID, std::uint32_t, const AudioObjectPropertyAddress*,
                         void* clientData) {
        auto* self = static_cast<BlockingListener*>(clientData);
        ++self->calls;
        self->entered = true;
        // Bounded, so that a broken removal cannot hang the suite.
        for (int i = 0; i < 10000 && !self->release; ++i) {
            std::this_thread::sleep_for(1ms);
        }
        self->exited = true;
        return noErr;
    }
};

TEST_P(AudioHardwareContract, RemovingAListenerWaitsForItsCallAndStopsFurtherCalls) {
    BlockingListener blocking;
    ListenerLog later{&hardware()};
    const auto address = globalAddress(kAudioHardwarePropertyDevices);
    const Listening blockingGuard{hardware(), kAudioObjectSystemObject, address,
                                  BlockingListener::proc, &blocking};
    ASSERT_EQ(blockingGuard.added, noErr);
    const Listening laterGuard{hardware(), kAudioObjectSystemObject, address, ListenerLog::proc,
                               &later};
    ASSERT_EQ(laterGuard.added, noErr);

    ASSERT_NE(world().addOutputDevice("contract-one", "One"), kAudioObjectUnknown);
    ASSERT_TRUE(waitUntil([&] { return blocking.entered.load(); }, kPatienceMs));

    std::atomic<bool> removeReturned{false};
    std::atomic<bool> exitedBeforeReturn{false};
    std::thread remover([&] {
        hardware().removePropertyListener(kAudioObjectSystemObject, address, BlockingListener::proc,
                                          &blocking);
        exitedBeforeReturn = blocking.exited.load();
        removeReturned = true;
    });
    // Gives a removal that does not wait the chance to return early.
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(removeReturned) << "removal returned while the call was in progress";
    blocking.release = true;
    remover.join();
    EXPECT_TRUE(exitedBeforeReturn);

    const int blockingCalls = blocking.calls;
    const int laterCalls = later.calls;
    world().removeDevice("contract-one");
    ASSERT_TRUE(waitUntil([&] { return later.calls > laterCalls; }, kPatienceMs));
    EXPECT_EQ(blocking.calls, blockingCalls);
}

// --- Processes ----------------------------------------------------------------------------------

TEST_P(AudioHardwareContract, PlayersAreListedWithBundleIDPidAndRunningState) {
    ASSERT_NE(world().addOutputDevice("contract-out", "Out"), kAudioObjectUnknown);
    world().setDefaultOutput("contract-out");
    const AudioObjectID started = world().startPlayer("org.kestrelamp.contract.Player", "Player",
                                                      kSineFrequency, kSineAmplitude);
    ASSERT_NE(started, kAudioObjectUnknown);

    AudioObjectID process = kAudioObjectUnknown;
    ASSERT_TRUE(waitUntil(
        [&] {
            process = listedWith(hardware(), kAudioHardwarePropertyProcessObjectList,
                                 kAudioProcessPropertyBundleID, "org.kestrelamp.contract.Player");
            return process != kAudioObjectUnknown;
        },
        kPatienceMs));
    EXPECT_EQ(process, started);

    std::int32_t pid = 0;
    ASSERT_EQ(hardware().getPropertyInt32(process, globalAddress(kAudioProcessPropertyPID), pid),
              noErr);
    EXPECT_GT(pid, 0);
    EXPECT_TRUE(passTimeUntil(world(), [&] {
        std::uint32_t running = 0;
        return hardware().getPropertyUInt32(process, globalAddress(kAudioProcessPropertyIsRunning),
                                            running) == noErr &&
               running != 0;
    }));

    world().stopPlayer("org.kestrelamp.contract.Player");
    EXPECT_TRUE(passTimeUntil(world(), [&] {
        std::uint32_t running = 0;
        const OSStatus status = hardware().getPropertyUInt32(
            process, globalAddress(kAudioProcessPropertyIsRunning), running);
        return status != noErr || running == 0;
    })) << "a stopped player is gone or no longer running";
}

// --- Taps, aggregates and IO ----------------------------------------------------------------

// Two devices, "contract-default" the default output, and a tone playing on it.
void setUpAudioPath(AudioHardwareContractWorld& world, AudioObjectID& player) {
    ASSERT_NE(world.addOutputDevice("contract-default", "Default"), kAudioObjectUnknown);
    ASSERT_NE(world.addOutputDevice("contract-routed", "Routed"), kAudioObjectUnknown);
    world.setDefaultOutput("contract-default");
    ASSERT_TRUE(
        waitUntil([&] { return world.defaultOutput() == "contract-default"; }, kPatienceMs));
    player =
        world.startPlayer("org.kestrelamp.contract.Tone", "Tone", kSineFrequency, kSineAmplitude);
    ASSERT_NE(player, kAudioObjectUnknown);
}

// A tone and its route, torn down whichever way the test ends; the pass-through comes before the
// route, so that its block outlives the route's IO proc.
struct RoutedTone {
    AudioHardware& hardware;
    AudioObjectID player = kAudioObjectUnknown;
    PassThrough passThrough{};
    Route route{};
    ~RoutedTone() { destroyRoute(hardware, route); }
};

// Routes the tone to "contract-routed" and starts the pass-through on the route's aggregate.
void startRoute(RoutedTone& tone) {
    AudioHardware& hardware = tone.hardware;
    ASSERT_EQ(createRoute(hardware, tone.player, "contract-routed", tone.route), noErr);
    ASSERT_EQ(
        hardware.createIOProcID(tone.route.aggregate, tone.passThrough.block(), tone.route.ioProc),
        noErr);
    ASSERT_EQ(hardware.deviceStart(tone.route.aggregate, tone.route.ioProc), noErr);
}

TEST_P(AudioHardwareContract, TapMutedWhenTappedSilencesTheProcessOnItsOwnOutputUntilDestroyed) {
    RoutedTone tone{hardware()};
    ASSERT_NO_FATAL_FAILURE(setUpAudioPath(world(), tone.player));
    ASSERT_TRUE(waitForLevel(world(), "contract-default", isLoud));

    ASSERT_NO_FATAL_FAILURE(startRoute(tone));
    EXPECT_FALSE(tone.route.tapUID.empty());
    EXPECT_TRUE(waitForLevel(world(), "contract-default", isSilent));
    EXPECT_TRUE(waitForLevel(world(), "contract-routed", isLoud));

    destroyRoute(hardware(), tone.route);
    EXPECT_TRUE(waitForLevel(world(), "contract-default", isLoud));
}

TEST_P(AudioHardwareContract, AggregateHandsTheTapToTheBlockAndTheBlockToTheSubDevice) {
    RoutedTone tone{hardware()};
    ASSERT_NO_FATAL_FAILURE(setUpAudioPath(world(), tone.player));
    tone.passThrough.gain = 0.5f;
    ASSERT_NO_FATAL_FAILURE(startRoute(tone));
    EXPECT_TRUE(lists(hardware(), kAudioHardwarePropertyDevices, tone.route.aggregate));
    EXPECT_EQ(stringProperty(hardware(), tone.route.aggregate, kAudioDevicePropertyDeviceUID),
              tone.route.description.uid);
    const AudioObjectID routed = listedWith(hardware(), kAudioHardwarePropertyDevices,
                                            kAudioDevicePropertyDeviceUID, "contract-routed");
    double aggregateRate = 0;
    double deviceRate = -1;
    ASSERT_EQ(hardware().getPropertyFloat64(tone.route.aggregate,
                                            globalAddress(kAudioDevicePropertyNominalSampleRate),
                                            aggregateRate),
              noErr);
    if (routed != kAudioObjectUnknown) {
        hardware().getPropertyFloat64(routed, globalAddress(kAudioDevicePropertyNominalSampleRate),
                                      deviceRate);
    }
    EXPECT_EQ(aggregateRate, deviceRate) << "the aggregate runs at its sub-device's rate";

    EXPECT_TRUE(passTimeUntil(
        world(), [&] { return std::fabs(tone.passThrough.inputLevel - kSineLevel) < 3; }))
        << "block input level " << tone.passThrough.inputLevel;
    EXPECT_EQ(tone.passThrough.inputBuffers, 2u) << "one mono buffer per tap channel";
    EXPECT_EQ(tone.passThrough.outputBuffers, 2u) << "one mono buffer per tap channel";
    EXPECT_EQ(tone.passThrough.channelsPerBuffer, 1u);
    // Half the input is 6 dB down.
    EXPECT_TRUE(waitForLevel(world(), "contract-routed", [&](double level) {
        return std::fabs(level - (tone.passThrough.inputLevel - 6.02)) < 1.0;
    }));
}

TEST_P(AudioHardwareContract, DeviceStopAndDestroyEndTheBlockForGood) {
    RoutedTone tone{hardware()};
    ASSERT_NO_FATAL_FAILURE(setUpAudioPath(world(), tone.player));
    ASSERT_NO_FATAL_FAILURE(startRoute(tone));
    ASSERT_TRUE(passTimeUntil(world(), [&] { return tone.passThrough.cycles > 0; }));

    ASSERT_EQ(hardware().deviceStop(tone.route.aggregate, tone.route.ioProc), noErr);
    EXPECT_FALSE(tone.passThrough.inside) << "the block still ran after deviceStop returned";
    const int stoppedAt = tone.passThrough.cycles;
    world().letTimePass(100ms);
    EXPECT_EQ(tone.passThrough.cycles, stoppedAt);

    // Destroying a started IO proc stops it as well.
    ASSERT_EQ(hardware().deviceStart(tone.route.aggregate, tone.route.ioProc), noErr);
    ASSERT_TRUE(passTimeUntil(world(), [&] { return tone.passThrough.cycles > stoppedAt; }));
    ASSERT_EQ(hardware().destroyIOProcID(tone.route.aggregate, tone.route.ioProc), noErr);
    tone.route.ioProc = kAudioDeviceIOProcIDNone;
    EXPECT_FALSE(tone.passThrough.inside);
    const int destroyedAt = tone.passThrough.cycles;
    world().letTimePass(100ms);
    EXPECT_EQ(tone.passThrough.cycles, destroyedAt);
}

// Creating and starting a route do not wait for the service: the aggregate says when it carries
// the application, and a tap gives it back ahead of the route's removal.
TEST_P(AudioHardwareContract, AnAggregateSaysWhenItCarriesAndATapGivesItsApplicationBackAhead) {
    RoutedTone tone{hardware()};
    ASSERT_NO_FATAL_FAILURE(setUpAudioPath(world(), tone.player));
    ASSERT_EQ(createRoute(hardware(), tone.player, "contract-routed", tone.route), noErr);
    const auto carriesAddress = globalAddress(kAudioAggregateDevicePropertyCarries);
    ListenerLog log{&hardware()};
    const Listening listening{hardware(), tone.route.aggregate, carriesAddress, &ListenerLog::proc,
                              &log};
    ASSERT_EQ(listening.added, noErr);
    std::uint32_t carries = 2;
    EXPECT_EQ(hardware().getPropertyUInt32(tone.route.aggregate, carriesAddress, carries), noErr);
    EXPECT_EQ(carries, 0u) << "no block started yet";
    std::string reason;
    const auto reasonAddress = globalAddress(kAudioAggregateDevicePropertyFailureReason);
    EXPECT_EQ(hardware().getPropertyString(tone.route.aggregate, reasonAddress, reason),
              kAudioHardwareIllegalOperationError)
        << "nothing failed";

    ASSERT_EQ(hardware().createIOProcID(tone.route.aggregate, tone.passThrough.block(),
                                        tone.route.ioProc),
              noErr);
    ASSERT_EQ(hardware().deviceStart(tone.route.aggregate, tone.route.ioProc), noErr);
    EXPECT_TRUE(passTimeUntil(world(), [&] {
        return hardware().getPropertyUInt32(tone.route.aggregate, carriesAddress, carries) ==
                   noErr &&
               carries == 1;
    }));
    EXPECT_TRUE(waitUntil([&] { return log.calls > 0; }, kPatienceMs)) << "listeners are told";
    EXPECT_TRUE(waitForLevel(world(), "contract-routed", isLoud));

    // Given back, the application plays on its own output again while the route still stands.
    const auto handBack = globalAddress(kAudioTapPropertyHandBack);
    ListenerLog handBackLog;
    const Listening handBackListening{hardware(), tone.route.tap, handBack, &ListenerLog::proc,
                                      &handBackLog};
    ASSERT_EQ(handBackListening.added, noErr);
    ASSERT_EQ(hardware().setPropertyUInt32(tone.route.tap, handBack, 1), noErr);
    std::uint32_t handingBack = 1;
    EXPECT_TRUE(passTimeUntil(world(), [&] {
        return hardware().getPropertyUInt32(tone.route.tap, handBack, handingBack) == noErr &&
               handingBack == 0;
    }));
    EXPECT_TRUE(waitUntil([&] { return handBackLog.calls > 0; }, kPatienceMs));
    EXPECT_TRUE(waitForLevel(world(), "contract-default", isLoud));
    EXPECT_TRUE(waitForLevel(world(), "contract-routed", isSilent));
}

// A route the service was refused what it needs fails, and says why in the server's words.
TEST_P(AudioHardwareContract, ARefusedAggregateSaysWhyInTheServersWords) {
    RoutedTone tone{hardware()};
    ASSERT_NO_FATAL_FAILURE(setUpAudioPath(world(), tone.player));
    const std::string refusal = world().refuseRoutesTo("contract-routed");
    ASSERT_NO_FATAL_FAILURE(startRoute(tone));
    const auto carriesAddress = globalAddress(kAudioAggregateDevicePropertyCarries);
    std::uint32_t carries = 0;
    EXPECT_TRUE(passTimeUntil(world(), [&] {
        return hardware().getPropertyUInt32(tone.route.aggregate, carriesAddress, carries) != noErr;
    }));

    const auto reasonAddress = globalAddress(kAudioAggregateDevicePropertyFailureReason);
    std::uint32_t size = 0;
    EXPECT_EQ(hardware().getPropertyDataSize(tone.route.aggregate, reasonAddress, size), noErr);
    EXPECT_EQ(size, 8u) << "a string";
    std::string reason;
    EXPECT_EQ(hardware().getPropertyString(tone.route.aggregate, reasonAddress, reason), noErr);
    EXPECT_NE(reason.find(refusal), std::string::npos) << reason;

    const AudioObjectID routed = listedWith(hardware(), kAudioHardwarePropertyDevices,
                                            kAudioDevicePropertyDeviceUID, "contract-routed");
    EXPECT_EQ(hardware().getPropertyString(routed, reasonAddress, reason),
              kAudioHardwareUnknownPropertyError)
        << "only aggregates say why";
    EXPECT_EQ(hardware().getPropertyString(kNoSuchObject, reasonAddress, reason),
              kAudioHardwareBadObjectError);
}

TEST_P(AudioHardwareContract, DestroyingInReverseOrderLeavesNothingBehind) {
    RoutedTone tone{hardware()};
    ASSERT_NO_FATAL_FAILURE(setUpAudioPath(world(), tone.player));
    ASSERT_NO_FATAL_FAILURE(startRoute(tone));
    const Route made = tone.route;

    EXPECT_EQ(hardware().deviceStop(made.aggregate, made.ioProc), noErr);
    EXPECT_EQ(hardware().destroyIOProcID(made.aggregate, made.ioProc), noErr);
    EXPECT_EQ(hardware().destroyAggregateDevice(made.aggregate), noErr);
    EXPECT_EQ(hardware().destroyProcessTap(made.tap), noErr);
    tone.route = {};

    EXPECT_TRUE(
        waitUntil([&] { return !lists(hardware(), kAudioHardwarePropertyDevices, made.aggregate); },
                  kPatienceMs));
    std::string text;
    EXPECT_EQ(hardware().getPropertyString(made.aggregate,
                                           globalAddress(kAudioDevicePropertyDeviceUID), text),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(hardware().getPropertyString(made.tap, globalAddress(kAudioTapPropertyUID), text),
              kAudioHardwareBadObjectError);
    EXPECT_NE(hardware().deviceStart(made.aggregate, made.ioProc), noErr);
    EXPECT_NE(hardware().destroyAggregateDevice(made.aggregate), noErr);
    EXPECT_NE(hardware().destroyProcessTap(made.tap), noErr);

    AudioDeviceIOProcID none = kAudioDeviceIOProcIDNone;
    EXPECT_NE(hardware().createIOProcID(made.aggregate, tone.passThrough.block(), none), noErr);
    EXPECT_EQ(none, kAudioDeviceIOProcIDNone);
}

// --- Process objects stand for applications ----------------------------------------------------

constexpr const char* kToneBundleID = "org.kestrelamp.contract.Tone";

TEST_P(AudioHardwareContract, ATapKeepsCapturingItsApplicationAcrossARestart) {
    RoutedTone tone{hardware()};
    ASSERT_NO_FATAL_FAILURE(setUpAudioPath(world(), tone.player));
    ASSERT_NO_FATAL_FAILURE(startRoute(tone));
    ASSERT_TRUE(waitForLevel(world(), "contract-routed", isLoud));

    world().stopPlayer(kToneBundleID);
    EXPECT_TRUE(passTimeUntil(world(), [&] {
        return !lists(hardware(), kAudioHardwarePropertyProcessObjectList, tone.player);
    })) << "a process object is listed only while its application is there";
    EXPECT_TRUE(waitForLevel(world(), "contract-routed", isSilent));

    const AudioObjectID again =
        world().startPlayer(kToneBundleID, "Tone", kSineFrequency, kSineAmplitude);
    EXPECT_EQ(again, tone.player) << "the application keeps its process object";
    EXPECT_TRUE(waitForLevel(world(), "contract-routed", isLoud))
        << "the tap made before the restart carries the new run";
    EXPECT_TRUE(waitForLevel(world(), "contract-default", isSilent));
}

TEST_P(AudioHardwareContract, AnotherClientMovingTheTappedApplicationReleasesTheTap) {
    RoutedTone tone{hardware()};
    ASSERT_NO_FATAL_FAILURE(setUpAudioPath(world(), tone.player));
    ASSERT_NE(world().addOutputDevice("contract-elsewhere", "Elsewhere"), kAudioObjectUnknown);
    ListenerLog released{&hardware()};
    ASSERT_NO_FATAL_FAILURE(startRoute(tone));
    ASSERT_TRUE(waitForLevel(world(), "contract-routed", isLoud));

    const auto isReleased = globalAddress(kAudioTapPropertyIsReleased);
    const auto releaseDevice = globalAddress(kAudioTapPropertyReleaseDeviceUID);
    const Listening listenerGuard{hardware(), tone.route.tap, isReleased, ListenerLog::proc,
                                  &released};
    ASSERT_EQ(listenerGuard.added, noErr);
    std::uint32_t flag = 7;
    ASSERT_EQ(hardware().getPropertyUInt32(tone.route.tap, isReleased, flag), noErr);
    EXPECT_EQ(flag, 0u);
    std::string uid = "untouched";
    EXPECT_NE(hardware().getPropertyString(tone.route.tap, releaseDevice, uid), noErr)
        << "where it plays is known only once released";

    ASSERT_TRUE(world().moveProcessElsewhere(kToneBundleID, "contract-elsewhere"));
    ASSERT_TRUE(waitUntil([&] { return released.calls > 0; }, kPatienceMs));
    EXPECT_TRUE(released.allOn(std::this_thread::get_id()));
    {
        std::lock_guard lock(released.mutex);
        EXPECT_EQ(released.addresses.front(), isReleased);
    }
    ASSERT_EQ(hardware().getPropertyUInt32(tone.route.tap, isReleased, flag), noErr);
    EXPECT_EQ(flag, 1u);
    ASSERT_EQ(hardware().getPropertyString(tone.route.tap, releaseDevice, uid), noErr);
    EXPECT_EQ(uid, "contract-elsewhere");
    EXPECT_TRUE(waitForLevel(world(), "contract-elsewhere", isLoud));
    EXPECT_TRUE(waitForLevel(world(), "contract-routed", isSilent))
        << "the released tap no longer takes the application";

    destroyRoute(hardware(), tone.route);
    world().letTimePass(200ms);
    EXPECT_TRUE(waitForLevel(world(), "contract-elsewhere", isLoud))
        << "destroying the released tap leaves the application where it was sent";
    EXPECT_TRUE(waitForLevel(world(), "contract-default", isSilent));
}

// --- Level monitors -----------------------------------------------------------------------

double monitorLevel(AudioHardware& hardware, AudioObjectID monitor,
                    AudioObjectPropertySelector selector) {
    double level = 1000.0;
    return hardware.getPropertyFloat64(monitor, globalAddress(selector), level) == noErr ? level
                                                                                         : 1000.0;
}

TEST_P(AudioHardwareContract, ALevelMonitorMeasuresWhatItsApplicationPlaysAndMovesNothing) {
    AudioObjectID player = kAudioObjectUnknown;
    ASSERT_NO_FATAL_FAILURE(setUpAudioPath(world(), player));
    AudioObjectID monitor = 77;
    EXPECT_EQ(hardware().createLevelMonitor(kNoSuchObject, monitor), kAudioHardwareBadObjectError);
    EXPECT_EQ(monitor, 77u);
    ASSERT_EQ(hardware().createLevelMonitor(player, monitor), noErr);
    const auto rms = [&] {
        return monitorLevel(hardware(), monitor, kAudioLevelMonitorPropertyRMS);
    };
    const auto peak = [&] {
        return monitorLevel(hardware(), monitor, kAudioLevelMonitorPropertyPeak);
    };
    EXPECT_TRUE(passTimeUntil(world(),
                              [&] {
                                  return std::fabs(rms() - kSineLevel) < 1.0 &&
                                         std::fabs(peak() - (kSineLevel + 3.01)) < 1.0;
                              }))
        << "rms " << rms() << ", peak " << peak();
    double untouched = 3.0;
    EXPECT_EQ(hardware().getPropertyFloat64(
                  monitor, globalAddress(kAudioDevicePropertyNominalSampleRate), untouched),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(untouched, 3.0);
    EXPECT_FALSE(lists(hardware(), kAudioHardwarePropertyDevices, monitor));
    EXPECT_TRUE(waitForLevel(world(), "contract-default", [](double level) {
        return std::fabs(level - kSineLevel) < 1.0;
    })) << "the application plays on as before";

    world().stopPlayer(kToneBundleID);
    EXPECT_TRUE(passTimeUntil(world(), [&] { return rms() <= kAudioLevelMonitorSilenceDb; }))
        << "an application that stopped is silent, not its last level: " << rms();
    ASSERT_EQ(world().startPlayer(kToneBundleID, "Tone", kSineFrequency, kSineAmplitude), player);
    EXPECT_TRUE(passTimeUntil(world(), [&] { return std::fabs(rms() - kSineLevel) < 1.0; }))
        << "the monitor follows the application's new streams: " << rms();

    EXPECT_EQ(hardware().destroyLevelMonitor(monitor), noErr);
    EXPECT_EQ(hardware().destroyLevelMonitor(monitor), kAudioHardwareBadObjectError);
    double level = 0;
    EXPECT_EQ(
        hardware().getPropertyFloat64(monitor, globalAddress(kAudioLevelMonitorPropertyRMS), level),
        kAudioHardwareBadObjectError);
    EXPECT_TRUE(waitForLevel(world(), "contract-default", isLoud));
}

} // namespace
} // namespace kestrelamp::hal::test
