#include "AudioHardwareContract.h"

#include "TempHome.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>
#include <type_traits>
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
constexpr const char* kToneBundleID = "org.kestrelamp.contract.Tone";

template <class Condition>
bool eventually(Condition condition) {
    return waitUntil(condition, kPatienceMs);
}

template <class T>
OSStatus get(AudioHardware& hardware, AudioObjectID object, AudioObjectPropertySelector selector,
             T& value) {
    const auto address = globalAddress(selector);
    if constexpr (std::is_same_v<T, std::string>) {
        return hardware.getPropertyString(object, address, value);
    } else if constexpr (std::is_same_v<T, double>) {
        return hardware.getPropertyFloat64(object, address, value);
    } else if constexpr (std::is_same_v<T, std::int32_t>) {
        return hardware.getPropertyInt32(object, address, value);
    } else {
        return hardware.getPropertyUInt32(object, address, value);
    }
}

// A global property's value; nothing when it cannot be read.
template <class T = std::uint32_t>
std::optional<T> read(AudioHardware& hardware, AudioObjectID object,
                      AudioObjectPropertySelector selector) {
    T value{};
    return get(hardware, object, selector, value) == noErr ? std::optional<T>(value) : std::nullopt;
}

std::vector<AudioObjectID> systemList(AudioHardware& hardware,
                                      AudioObjectPropertySelector selector) {
    return readObjectIDs(hardware, kAudioObjectSystemObject, globalAddress(selector))
        .value_or(std::vector<AudioObjectID>{});
}

bool lists(AudioHardware& hardware, AudioObjectID id,
           AudioObjectPropertySelector list = kAudioHardwarePropertyDevices) {
    const auto ids = systemList(hardware, list);
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// The object of the system's list whose string property has the value.
AudioObjectID listedWith(AudioHardware& hardware, AudioObjectPropertySelector list,
                         AudioObjectPropertySelector property, const std::string& value) {
    for (const AudioObjectID id : systemList(hardware, list)) {
        if (read<std::string>(hardware, id, property) == value) {
            return id;
        }
    }
    return kAudioObjectUnknown;
}

AudioObjectID deviceWithUID(AudioHardware& hardware, const std::string& uid) {
    return listedWith(hardware, kAudioHardwarePropertyDevices, kAudioDevicePropertyDeviceUID, uid);
}

AudioObjectID defaultOutputID(AudioHardware& hardware) {
    return read(hardware, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice)
        .value_or(kAudioObjectUnknown);
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
    return eventually([&] {
        world.letTimePass(20ms);
        return condition();
    });
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

// Adds a listener and removes it however the test ends, before its client data goes.
struct Listening {
    AudioHardware& hardware;
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    AudioObjectPropertyListenerProc proc;
    void* clientData;
    OSStatus added = hardware.addPropertyListener(object, address, proc, clientData);
    ~Listening() { hardware.removePropertyListener(object, address, proc, clientData); }
};

// Listens to one property: counts calls and remembers whether one came on the test's thread and
// what the first was for; for "dOut" it reads the new default on the notifying thread, as the
// device monitor does.
struct ListenerLog {
    ListenerLog(AudioHardware& hardware, AudioObjectID object, AudioObjectPropertySelector selector)
        : hardware(hardware)
        , listening{hardware, object, globalAddress(selector), proc, this} {
        EXPECT_EQ(listening.added, noErr) << "adding the listener";
    }

    static OSStatus proc(AudioObjectID, std::uint32_t count,
                         const AudioObjectPropertyAddress* changed, void* clientData) {
        auto* self = static_cast<ListenerLog*>(clientData);
        if (std::this_thread::get_id() == self->testThread) {
            self->onTestThread = true;
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            std::lock_guard lock(self->mutex);
            self->first = self->first.value_or(changed[i]);
            if (changed[i].selector == kAudioHardwarePropertyDefaultOutputDevice) {
                self->defaultSeen = defaultOutputID(self->hardware);
            }
        }
        ++self->calls;
        return noErr;
    }

    bool calledElsewhere() const { return calls > 0 && !onTestThread; }
    std::optional<AudioObjectPropertyAddress> firstAddress() {
        std::lock_guard lock(mutex);
        return first;
    }

    AudioHardware& hardware;
    const std::thread::id testThread = std::this_thread::get_id();
    std::atomic<int> calls{0};
    std::atomic<bool> onTestThread{false};
    std::atomic<AudioObjectID> defaultSeen{kAudioObjectUnknown};
    std::mutex mutex{};
    std::optional<AudioObjectPropertyAddress> first{};
    // Last, so that it is removed before anything it writes goes.
    Listening listening;
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
            channelsPerBuffer = input.numberBuffers > 0 ? input.buffers[0].numberChannels : 0;
            double sum = 0.0;
            std::size_t count = 0;
            const float g = gain;
            for (std::uint32_t b = 0; b < std::min(input.numberBuffers, output.numberBuffers);
                 ++b) {
                const auto* in = static_cast<const float*>(input.buffers[b].data);
                auto* out = static_cast<float*>(output.buffers[b].data);
                const std::uint32_t samples =
                    std::min(input.buffers[b].dataByteSize, output.buffers[b].dataByteSize) / 4;
                for (std::uint32_t i = 0; in && out && i < samples; ++i, ++count) {
                    sum += double(in[i]) * in[i];
                    out[i] = g * in[i];
                }
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

// A tone playing on "contract-default" beside "contract-routed", and its route there, torn down
// whichever way the test ends; the pass-through comes before the route, so that its block
// outlives the route's IO proc.
struct RoutedTone {
    AudioHardware& hardware;
    AudioObjectID player = kAudioObjectUnknown;
    PassThrough passThrough{};
    Route route{};
    ~RoutedTone() { destroy(); }

    void play(AudioHardwareContractWorld& world) {
        ASSERT_NE(world.addOutputDevice("contract-default", "Default"), kAudioObjectUnknown);
        ASSERT_NE(world.addOutputDevice("contract-routed", "Routed"), kAudioObjectUnknown);
        world.setDefaultOutput("contract-default");
        ASSERT_TRUE(eventually([&] { return world.defaultOutput() == "contract-default"; }));
        player = world.startPlayer(kToneBundleID, "Tone", kSineFrequency, kSineAmplitude);
        ASSERT_NE(player, kAudioObjectUnknown);
    }

    // A tap that mutes the tone where it plays, and an aggregate from it to "contract-routed".
    OSStatus create() {
        CATapDescription tap = CATapDescription::stereoMixdownOfProcesses({player});
        tap.muteBehavior = CATapMuteBehavior::mutedWhenTapped;
        if (const OSStatus status = hardware.createProcessTap(tap, route.tap); status != noErr) {
            return status;
        }
        if (const OSStatus status = get(hardware, route.tap, kAudioTapPropertyUID, route.tapUID);
            status != noErr) {
            return status;
        }
        route.description = {"Kestrelamp-Contract",
                             "com.kestrelamp.aggregate.0C0A7AC7-0000-4000-8000-00000000C0DE",
                             {"contract-routed"},
                             {route.tapUID}};
        return hardware.createAggregateDevice(route.description, route.aggregate);
    }

    // Creates the route and starts the pass-through on its aggregate.
    void start() {
        ASSERT_EQ(create(), noErr);
        ASSERT_EQ(hardware.createIOProcID(route.aggregate, passThrough.block(), route.ioProc),
                  noErr);
        ASSERT_EQ(hardware.deviceStart(route.aggregate, route.ioProc), noErr);
    }

    void destroy() {
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
};

TEST_P(AudioHardwareContract, DevicesDescribeThemselves) {
    const AudioObjectID output = world().addOutputDevice("contract-speakers", "Contract Speakers");
    const AudioObjectID input = world().addInputDevice("contract-microphone", "Contract Mic");
    ASSERT_NE(output, kAudioObjectUnknown);
    ASSERT_NE(input, kAudioObjectUnknown);

    AudioHardware& hw = hardware();
    EXPECT_EQ(read<std::string>(hw, output, kAudioDevicePropertyDeviceUID), "contract-speakers");
    EXPECT_EQ(read<std::string>(hw, output, kAudioObjectPropertyName), "Contract Speakers");
    EXPECT_TRUE(read<std::string>(hw, output, kAudioObjectPropertyManufacturer));
    EXPECT_TRUE(read(hw, output, kAudioDevicePropertyTransportType));
    EXPECT_GT(read<double>(hw, output, kAudioDevicePropertyNominalSampleRate).value_or(0), 0.0);

    EXPECT_GE(streamSize(hw, output, kAudioObjectPropertyScopeOutput), 4u);
    EXPECT_EQ(streamSize(hw, output, kAudioObjectPropertyScopeInput), 0u);
    EXPECT_GE(streamSize(hw, input, kAudioObjectPropertyScopeInput), 4u);
    EXPECT_EQ(streamSize(hw, input, kAudioObjectPropertyScopeOutput), 0u);
}

TEST_P(AudioHardwareContract, UnknownObjectsAndSelectorsFailAndLeaveOutputsAlone) {
    const AudioObjectID device = world().addOutputDevice("contract-device", "Device");
    ASSERT_NE(device, kAudioObjectUnknown);

    AudioHardware& hw = hardware();
    std::uint32_t size = 77;
    std::uint32_t number = 77;
    std::string text = "untouched";
    std::vector<AudioObjectID> ids(2, 77);
    constexpr OSStatus kBadObject = kAudioHardwareBadObjectError;
    const auto uid = globalAddress(kAudioDevicePropertyDeviceUID);
    EXPECT_EQ(hw.getPropertyDataSize(kNoSuchObject, uid, size), kBadObject);
    EXPECT_EQ(hw.getPropertyString(kNoSuchObject, uid, text), kBadObject);
    EXPECT_EQ(get(hw, kNoSuchObject, kAudioDevicePropertyTransportType, number), kBadObject);
    EXPECT_EQ(
        hw.getPropertyObjectIDs(kNoSuchObject, globalAddress(kAudioHardwarePropertyDevices), ids),
        kBadObject);

    const auto bogus = globalAddress(fourCharCode("zzz?"));
    for (const AudioObjectID object : {kAudioObjectSystemObject, device}) {
        constexpr OSStatus kUnknown = kAudioHardwareUnknownPropertyError;
        EXPECT_EQ(hw.getPropertyDataSize(object, bogus, size), kUnknown);
        EXPECT_EQ(hw.getPropertyString(object, bogus, text), kUnknown);
        EXPECT_EQ(hw.getPropertyUInt32(object, bogus, number), kUnknown);
    }
    EXPECT_EQ(size, 77u);
    EXPECT_EQ(number, 77u);
    EXPECT_EQ(text, "untouched");
    EXPECT_EQ(ids, std::vector<AudioObjectID>(2, 77));
}

TEST_P(AudioHardwareContract, DefaultOutputIsWrittenReadAndNotifiedOnTheServiceThread) {
    struct Device {
        AudioObjectID id;
        std::string uid;
    };
    Device target{world().addOutputDevice("contract-a", "A"), "contract-a"};
    Device other{world().addOutputDevice("contract-b", "B"), "contract-b"};
    ASSERT_NE(target.id, kAudioObjectUnknown);
    ASSERT_NE(other.id, kAudioObjectUnknown);
    if (defaultOutputID(hardware()) == target.id) {
        std::swap(target, other);
    }

    ListenerLog log{hardware(), kAudioObjectSystemObject,
                    kAudioHardwarePropertyDefaultOutputDevice};
    const auto address = log.listening.address;

    // A service may make it the default later; it says so to the listeners.
    ASSERT_EQ(hardware().setPropertyUInt32(kAudioObjectSystemObject, address, target.id), noErr);
    EXPECT_TRUE(eventually([&] { return world().defaultOutput() == target.uid; }));
    ASSERT_TRUE(eventually([&] { return log.defaultSeen == target.id; }))
        << "the listener reads the new default on its own thread";
    EXPECT_TRUE(log.calledElsewhere());
    EXPECT_EQ(log.firstAddress(), address);

    world().setDefaultOutput(other.uid);
    EXPECT_TRUE(eventually([&] { return log.defaultSeen == other.id; }));

    EXPECT_NE(hardware().setPropertyUInt32(kAudioObjectSystemObject, address, kNoSuchObject),
              noErr);
    EXPECT_EQ(defaultOutputID(hardware()), other.id);
    EXPECT_EQ(hardware().removePropertyListener(kAudioObjectSystemObject, address,
                                                ListenerLog::proc, &log),
              noErr);
}

TEST_P(AudioHardwareContract, TheCallMixIsListedWhileOnAsOutputAndInputAndNeverTheDefault) {
    const auto findCallMix = [&] { return deviceWithUID(hardware(), kCallMixDeviceUID); };
    CallMixSettings settings;
    settings.on = true;
    ASSERT_EQ(hardware().setCallMix(settings), noErr);
    ASSERT_TRUE(eventually([&] { return findCallMix() != kAudioObjectUnknown; }));
    const AudioObjectID callMix = findCallMix();
    EXPECT_EQ(read<std::string>(hardware(), callMix, kAudioObjectPropertyName), kCallMixDeviceName);
    EXPECT_EQ(streamSize(hardware(), callMix, kAudioObjectPropertyScopeOutput), 4u);
    EXPECT_EQ(streamSize(hardware(), callMix, kAudioObjectPropertyScopeInput), 4u);
    EXPECT_NE(hardware().setPropertyUInt32(kAudioObjectSystemObject,
                                           globalAddress(kAudioHardwarePropertyDefaultOutputDevice),
                                           callMix),
              noErr);

    // Changing its microphone keeps it where it is.
    settings.microphoneUID = std::string();
    settings.microphoneVolume = 0.5f;
    ASSERT_EQ(hardware().setCallMix(settings), noErr);
    EXPECT_EQ(findCallMix(), callMix);

    ASSERT_EQ(hardware().setCallMix({}), noErr);
    EXPECT_TRUE(eventually([&] { return findCallMix() == kAudioObjectUnknown; }));
}

TEST_P(AudioHardwareContract, ARecordingApplicationRecordsWhereItsChoiceSaysAndTakesAnotherMove) {
    constexpr const char* kRecorder = "org.example.Recorder";
    ASSERT_NE(world().addInputDevice("contract-mic-a", "Microphone A"), kAudioObjectUnknown);
    ASSERT_NE(world().addInputDevice("contract-mic-b", "Microphone B"), kAudioObjectUnknown);
    ListenerLog log{hardware(), kAudioObjectSystemObject,
                    kAudioHardwarePropertyRecordingApplications};
    ASSERT_TRUE(world().startRecorder(kRecorder, "Recorder"));
    const auto listed = [&]() -> std::optional<RecordingApplication> {
        std::vector<RecordingApplication> applications;
        hardware().recordingApplications(applications);
        const auto it = std::find_if(applications.begin(), applications.end(),
                                     [&](const auto& a) { return a.bundleID == kRecorder; });
        return it == applications.end() ? std::nullopt : std::optional(*it);
    };
    const auto listedWhere = [&](auto condition) {
        return eventually([&] {
            const auto application = listed();
            return application && condition(*application);
        });
    };
    const auto sourceIs = [&](const std::string& uid) {
        return listedWhere([&](const RecordingApplication& a) { return a.sourceUID == uid; });
    };
    ASSERT_TRUE(listedWhere([](const RecordingApplication&) { return true; }));
    EXPECT_TRUE(eventually([&] { return log.calls > 0; }));
    EXPECT_NE(listed()->levelObjectID, kAudioObjectUnknown);

    ASSERT_EQ(hardware().setRecordingChoices({{kRecorder, {"contract-mic-b", 0.5f, false}}}),
              noErr);
    EXPECT_TRUE(sourceIs("contract-mic-b"));
    EXPECT_EQ(listed()->chosenElsewhere, std::nullopt);

    // Another program's move stands, and says so until a choice is handed in again.
    ASSERT_TRUE(world().moveRecorderElsewhere(kRecorder, "contract-mic-a"));
    EXPECT_TRUE(listedWhere([](const RecordingApplication& a) {
        return a.chosenElsewhere == std::optional<std::string>("contract-mic-a");
    }));
    EXPECT_TRUE(sourceIs("contract-mic-a"));
    ASSERT_EQ(hardware().setRecordingChoices({{kRecorder, {"contract-mic-a", 0.5f, false}}}),
              noErr);
    EXPECT_EQ(listed()->chosenElsewhere, std::nullopt);

    ASSERT_EQ(hardware().setRecordingChoices({{kRecorder, {"contract-mic-b", 1.0f, true}}}), noErr);
    EXPECT_TRUE(sourceIs("contract-mic-b"));
    world().stopRecorder(kRecorder);
    EXPECT_TRUE(eventually([&] { return !listed(); }));
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

// The device list's listeners hear of a device added and removed; removing one waits for its call.
TEST_P(AudioHardwareContract, RemovingAListenerWaitsForItsCallAndStopsFurtherCalls) {
    BlockingListener blocking;
    const auto address = globalAddress(kAudioHardwarePropertyDevices);
    const Listening blockingGuard{hardware(), kAudioObjectSystemObject, address,
                                  BlockingListener::proc, &blocking};
    ASSERT_EQ(blockingGuard.added, noErr);
    ListenerLog later{hardware(), kAudioObjectSystemObject, kAudioHardwarePropertyDevices};

    const AudioObjectID device = world().addOutputDevice("contract-one", "One");
    ASSERT_NE(device, kAudioObjectUnknown);
    EXPECT_TRUE(lists(hardware(), device));
    ASSERT_TRUE(eventually([&] { return blocking.entered.load(); }));

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
    ASSERT_TRUE(eventually([&] { return later.calls > 0; })) << "told of the device added";

    const int blockingCalls = blocking.calls;
    const int laterCalls = later.calls;
    world().removeDevice("contract-one");
    EXPECT_TRUE(eventually([&] { return !lists(hardware(), device); }));
    ASSERT_TRUE(eventually([&] { return later.calls > laterCalls; })) << "told of its removal";
    EXPECT_EQ(blocking.calls, blockingCalls);
    EXPECT_TRUE(later.calledElsewhere());
}

TEST_P(AudioHardwareContract, PlayersAreListedWithBundleIDPidAndRunningState) {
    constexpr const char* kPlayer = "org.kestrelamp.contract.Player";
    ASSERT_NE(world().addOutputDevice("contract-out", "Out"), kAudioObjectUnknown);
    world().setDefaultOutput("contract-out");
    const AudioObjectID started =
        world().startPlayer(kPlayer, "Player", kSineFrequency, kSineAmplitude);
    ASSERT_NE(started, kAudioObjectUnknown);
    ASSERT_TRUE(eventually([&] {
        return listedWith(hardware(), kAudioHardwarePropertyProcessObjectList,
                          kAudioProcessPropertyBundleID, kPlayer) == started;
    }));

    EXPECT_GT(read<std::int32_t>(hardware(), started, kAudioProcessPropertyPID).value_or(0), 0);
    const auto running = [&] {
        return read(hardware(), started, kAudioProcessPropertyIsRunning).value_or(0) != 0;
    };
    EXPECT_TRUE(passTimeUntil(world(), running));
    world().stopPlayer(kPlayer);
    EXPECT_TRUE(passTimeUntil(world(), [&] { return !running(); }))
        << "a stopped player is gone or no longer running";
}

TEST_P(AudioHardwareContract, TapMutedWhenTappedSilencesTheProcessOnItsOwnOutputUntilDestroyed) {
    RoutedTone tone{hardware()};
    ASSERT_NO_FATAL_FAILURE(tone.play(world()));
    ASSERT_TRUE(waitForLevel(world(), "contract-default", isLoud));

    ASSERT_NO_FATAL_FAILURE(tone.start());
    EXPECT_FALSE(tone.route.tapUID.empty());
    EXPECT_TRUE(waitForLevel(world(), "contract-default", isSilent));
    EXPECT_TRUE(waitForLevel(world(), "contract-routed", isLoud));

    tone.destroy();
    EXPECT_TRUE(waitForLevel(world(), "contract-default", isLoud));
}

TEST_P(AudioHardwareContract, AggregateHandsTheTapToTheBlockAndTheBlockToTheSubDevice) {
    RoutedTone tone{hardware()};
    ASSERT_NO_FATAL_FAILURE(tone.play(world()));
    tone.passThrough.gain = 0.5f;
    ASSERT_NO_FATAL_FAILURE(tone.start());
    const AudioObjectID aggregate = tone.route.aggregate;
    EXPECT_TRUE(lists(hardware(), aggregate));
    EXPECT_EQ(read<std::string>(hardware(), aggregate, kAudioDevicePropertyDeviceUID),
              tone.route.description.uid);
    const auto rate = read<double>(hardware(), aggregate, kAudioDevicePropertyNominalSampleRate);
    ASSERT_TRUE(rate);
    EXPECT_EQ(rate, read<double>(hardware(), deviceWithUID(hardware(), "contract-routed"),
                                 kAudioDevicePropertyNominalSampleRate))
        << "the aggregate runs at its sub-device's rate";

    PassThrough& block = tone.passThrough;
    EXPECT_TRUE(
        passTimeUntil(world(), [&] { return std::fabs(block.inputLevel - kSineLevel) < 3; }))
        << "block input level " << block.inputLevel;
    // One mono buffer per tap channel.
    EXPECT_EQ(block.inputBuffers, 2u);
    EXPECT_EQ(block.outputBuffers, 2u);
    EXPECT_EQ(block.channelsPerBuffer, 1u);
    // Half the input is 6 dB down.
    EXPECT_TRUE(waitForLevel(world(), "contract-routed", [&](double level) {
        return std::fabs(level - (block.inputLevel - 6.02)) < 1.0;
    }));
}

TEST_P(AudioHardwareContract, DeviceStopAndDestroyEndTheBlockForGood) {
    RoutedTone tone{hardware()};
    ASSERT_NO_FATAL_FAILURE(tone.play(world()));
    ASSERT_NO_FATAL_FAILURE(tone.start());
    PassThrough& block = tone.passThrough;
    ASSERT_TRUE(passTimeUntil(world(), [&] { return block.cycles > 0; }));

    ASSERT_EQ(hardware().deviceStop(tone.route.aggregate, tone.route.ioProc), noErr);
    EXPECT_FALSE(block.inside) << "the block still ran after deviceStop returned";
    const int stoppedAt = block.cycles;
    world().letTimePass(100ms);
    EXPECT_EQ(block.cycles, stoppedAt);

    // Destroying a started IO proc stops it as well.
    ASSERT_EQ(hardware().deviceStart(tone.route.aggregate, tone.route.ioProc), noErr);
    ASSERT_TRUE(passTimeUntil(world(), [&] { return block.cycles > stoppedAt; }));
    ASSERT_EQ(hardware().destroyIOProcID(tone.route.aggregate, tone.route.ioProc), noErr);
    tone.route.ioProc = kAudioDeviceIOProcIDNone;
    EXPECT_FALSE(block.inside);
    const int destroyedAt = block.cycles;
    world().letTimePass(100ms);
    EXPECT_EQ(block.cycles, destroyedAt);
}

// Creating and starting a route do not wait for the service: the aggregate says when it carries
// the application, and a tap gives it back ahead of the route's removal.
TEST_P(AudioHardwareContract, AnAggregateSaysWhenItCarriesAndATapGivesItsApplicationBackAhead) {
    RoutedTone tone{hardware()};
    ASSERT_NO_FATAL_FAILURE(tone.play(world()));
    Route& route = tone.route;
    ASSERT_EQ(tone.create(), noErr);
    ListenerLog log{hardware(), route.aggregate, kAudioAggregateDevicePropertyCarries};
    const auto carries = [&] {
        return read(hardware(), route.aggregate, kAudioAggregateDevicePropertyCarries);
    };
    EXPECT_EQ(carries(), 0u) << "no block started yet";
    std::string reason;
    EXPECT_EQ(get(hardware(), route.aggregate, kAudioAggregateDevicePropertyFailureReason, reason),
              kAudioHardwareIllegalOperationError)
        << "nothing failed";

    ASSERT_EQ(hardware().createIOProcID(route.aggregate, tone.passThrough.block(), route.ioProc),
              noErr);
    ASSERT_EQ(hardware().deviceStart(route.aggregate, route.ioProc), noErr);
    EXPECT_TRUE(passTimeUntil(world(), [&] { return carries() == 1u; }));
    EXPECT_TRUE(eventually([&] { return log.calls > 0; })) << "listeners are told";
    EXPECT_TRUE(waitForLevel(world(), "contract-routed", isLoud));

    // Given back, the application plays on its own output again while the route still stands.
    ListenerLog handBackLog{hardware(), route.tap, kAudioTapPropertyHandBack};
    ASSERT_EQ(hardware().setPropertyUInt32(route.tap, globalAddress(kAudioTapPropertyHandBack), 1),
              noErr);
    EXPECT_TRUE(passTimeUntil(
        world(), [&] { return read(hardware(), route.tap, kAudioTapPropertyHandBack) == 0u; }));
    EXPECT_TRUE(eventually([&] { return handBackLog.calls > 0; }));
    EXPECT_TRUE(waitForLevel(world(), "contract-default", isLoud));
    EXPECT_TRUE(waitForLevel(world(), "contract-routed", isSilent));
}

// A route the service was refused what it needs fails, and says why in the server's words.
TEST_P(AudioHardwareContract, ARefusedAggregateSaysWhyInTheServersWords) {
    RoutedTone tone{hardware()};
    ASSERT_NO_FATAL_FAILURE(tone.play(world()));
    const std::string refusal = world().refuseRoutesTo("contract-routed");
    ASSERT_NO_FATAL_FAILURE(tone.start());
    const AudioObjectID aggregate = tone.route.aggregate;
    EXPECT_TRUE(passTimeUntil(world(), [&] {
        return !read(hardware(), aggregate, kAudioAggregateDevicePropertyCarries);
    }));

    constexpr auto kWhy = kAudioAggregateDevicePropertyFailureReason;
    std::uint32_t size = 0;
    EXPECT_EQ(hardware().getPropertyDataSize(aggregate, globalAddress(kWhy), size), noErr);
    EXPECT_EQ(size, 8u) << "a string";
    const std::string reason = read<std::string>(hardware(), aggregate, kWhy).value_or("unread");
    EXPECT_NE(reason.find(refusal), std::string::npos) << reason;

    std::string text;
    EXPECT_EQ(get(hardware(), deviceWithUID(hardware(), "contract-routed"), kWhy, text),
              kAudioHardwareUnknownPropertyError)
        << "only aggregates say why";
    EXPECT_EQ(get(hardware(), kNoSuchObject, kWhy, text), kAudioHardwareBadObjectError);
}

TEST_P(AudioHardwareContract, DestroyingInReverseOrderLeavesNothingBehind) {
    RoutedTone tone{hardware()};
    ASSERT_NO_FATAL_FAILURE(tone.play(world()));
    ASSERT_NO_FATAL_FAILURE(tone.start());
    const Route made = tone.route;
    tone.route = {};

    EXPECT_EQ(hardware().deviceStop(made.aggregate, made.ioProc), noErr);
    EXPECT_EQ(hardware().destroyIOProcID(made.aggregate, made.ioProc), noErr);
    EXPECT_EQ(hardware().destroyAggregateDevice(made.aggregate), noErr);
    EXPECT_EQ(hardware().destroyProcessTap(made.tap), noErr);

    EXPECT_TRUE(eventually([&] { return !lists(hardware(), made.aggregate); }));
    std::string text;
    EXPECT_EQ(get(hardware(), made.aggregate, kAudioDevicePropertyDeviceUID, text),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(get(hardware(), made.tap, kAudioTapPropertyUID, text), kAudioHardwareBadObjectError);
    EXPECT_NE(hardware().deviceStart(made.aggregate, made.ioProc), noErr);
    EXPECT_NE(hardware().destroyAggregateDevice(made.aggregate), noErr);
    EXPECT_NE(hardware().destroyProcessTap(made.tap), noErr);

    AudioDeviceIOProcID none = kAudioDeviceIOProcIDNone;
    EXPECT_NE(hardware().createIOProcID(made.aggregate, tone.passThrough.block(), none), noErr);
    EXPECT_EQ(none, kAudioDeviceIOProcIDNone);
}

TEST_P(AudioHardwareContract, ATapKeepsCapturingItsApplicationAcrossARestart) {
    RoutedTone tone{hardware()};
    ASSERT_NO_FATAL_FAILURE(tone.play(world()));
    ASSERT_NO_FATAL_FAILURE(tone.start());
    ASSERT_TRUE(waitForLevel(world(), "contract-routed", isLoud));

    world().stopPlayer(kToneBundleID);
    EXPECT_TRUE(passTimeUntil(world(), [&] {
        return !lists(hardware(), tone.player, kAudioHardwarePropertyProcessObjectList);
    })) << "a process object is listed only while its application is there";
    EXPECT_TRUE(waitForLevel(world(), "contract-routed", isSilent));

    EXPECT_EQ(world().startPlayer(kToneBundleID, "Tone", kSineFrequency, kSineAmplitude),
              tone.player)
        << "the application keeps its process object";
    EXPECT_TRUE(waitForLevel(world(), "contract-routed", isLoud))
        << "the tap made before the restart carries the new run";
    EXPECT_TRUE(waitForLevel(world(), "contract-default", isSilent));
}

TEST_P(AudioHardwareContract, AnotherClientMovingTheTappedApplicationReleasesTheTap) {
    RoutedTone tone{hardware()};
    ASSERT_NO_FATAL_FAILURE(tone.play(world()));
    ASSERT_NE(world().addOutputDevice("contract-elsewhere", "Elsewhere"), kAudioObjectUnknown);
    ASSERT_NO_FATAL_FAILURE(tone.start());
    ASSERT_TRUE(waitForLevel(world(), "contract-routed", isLoud));

    const AudioObjectID tap = tone.route.tap;
    ListenerLog released{hardware(), tap, kAudioTapPropertyIsReleased};
    EXPECT_EQ(read(hardware(), tap, kAudioTapPropertyIsReleased), 0u);
    EXPECT_FALSE(read<std::string>(hardware(), tap, kAudioTapPropertyReleaseDeviceUID))
        << "where it plays is known only once released";

    ASSERT_TRUE(world().moveProcessElsewhere(kToneBundleID, "contract-elsewhere"));
    ASSERT_TRUE(eventually([&] { return released.calls > 0; }));
    EXPECT_TRUE(released.calledElsewhere());
    EXPECT_EQ(released.firstAddress(), globalAddress(kAudioTapPropertyIsReleased));
    EXPECT_EQ(read(hardware(), tap, kAudioTapPropertyIsReleased), 1u);
    EXPECT_EQ(read<std::string>(hardware(), tap, kAudioTapPropertyReleaseDeviceUID),
              "contract-elsewhere");
    EXPECT_TRUE(waitForLevel(world(), "contract-elsewhere", isLoud));
    EXPECT_TRUE(waitForLevel(world(), "contract-routed", isSilent))
        << "the released tap no longer takes the application";

    tone.destroy();
    world().letTimePass(200ms);
    EXPECT_TRUE(waitForLevel(world(), "contract-elsewhere", isLoud))
        << "destroying the released tap leaves the application where it was sent";
    EXPECT_TRUE(waitForLevel(world(), "contract-default", isSilent));
}

TEST_P(AudioHardwareContract, ALevelMonitorMeasuresWhatItsApplicationPlaysAndMovesNothing) {
    RoutedTone tone{hardware()};
    ASSERT_NO_FATAL_FAILURE(tone.play(world()));
    const AudioObjectID player = tone.player;
    AudioObjectID monitor = 77;
    EXPECT_EQ(hardware().createLevelMonitor(kNoSuchObject, monitor), kAudioHardwareBadObjectError);
    EXPECT_EQ(monitor, 77u);
    ASSERT_EQ(hardware().createLevelMonitor(player, monitor), noErr);
    const auto level = [&](AudioObjectPropertySelector selector) {
        return read<double>(hardware(), monitor, selector).value_or(1000.0);
    };
    const auto rms = [&] { return level(kAudioLevelMonitorPropertyRMS); };
    const auto peak = [&] { return level(kAudioLevelMonitorPropertyPeak); };
    EXPECT_TRUE(passTimeUntil(world(),
                              [&] {
                                  return std::fabs(rms() - kSineLevel) < 1.0 &&
                                         std::fabs(peak() - (kSineLevel + 3.01)) < 1.0;
                              }))
        << "rms " << rms() << ", peak " << peak();
    double untouched = 3.0;
    EXPECT_EQ(get(hardware(), monitor, kAudioDevicePropertyNominalSampleRate, untouched),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(untouched, 3.0);
    EXPECT_FALSE(lists(hardware(), monitor));
    EXPECT_TRUE(waitForLevel(world(), "contract-default", [](double played) {
        return std::fabs(played - kSineLevel) < 1.0;
    })) << "the application plays on as before";

    world().stopPlayer(kToneBundleID);
    EXPECT_TRUE(passTimeUntil(world(), [&] { return rms() <= kAudioLevelMonitorSilenceDb; }))
        << "an application that stopped is silent, not its last level: " << rms();
    ASSERT_EQ(world().startPlayer(kToneBundleID, "Tone", kSineFrequency, kSineAmplitude), player);
    EXPECT_TRUE(passTimeUntil(world(), [&] { return std::fabs(rms() - kSineLevel) < 1.0; }))
        << "the monitor follows the application's new streams: " << rms();

    EXPECT_EQ(hardware().destroyLevelMonitor(monitor), noErr);
    EXPECT_EQ(hardware().destroyLevelMonitor(monitor), kAudioHardwareBadObjectError);
    double gone = 0;
    EXPECT_EQ(get(hardware(), monitor, kAudioLevelMonitorPropertyRMS, gone),
              kAudioHardwareBadObjectError);
    EXPECT_TRUE(waitForLevel(world(), "contract-default", isLoud));
}

} // namespace
} // namespace kestrelamp::hal::test
