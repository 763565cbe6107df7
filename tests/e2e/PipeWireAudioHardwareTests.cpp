// The audio-service interface on a real PipeWire server with a session manager.

#include "engine/DeviceEnumerator.h"
#include "engine/ProcessEnumerator.h"
#include "engine/hal/PipeWireAudioHardware.h"
#include "platform/LinuxRunningApplications.h"
#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"
#include "support/Routing.h"
#include "support/SessionTest.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QThread>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <unistd.h>

namespace kestrelamp::e2e {
namespace {

using namespace hal;

constexpr const char* kToneA = "org.example.ToneA";
constexpr double kAudible = -30.0;

class PipeWireAudioHardwareTest : public SessionTest {
protected:
    // Every test leaves the graph as it found it: nothing of ours, default back on A.
    void TearDown() override {
        if (!session_->isRunning()) {
            return;
        }
        if (const auto id = session_->nodeID(kSinkA)) {
            runCommand({"pw-metadata", "-n", "default", "0", "default.configured.audio.sink",
                        "{\"name\":\"test_sink_a\"}", "Spa:String:JSON"},
                       session_->logPath("teardown"));
        }
    }

    std::unique_ptr<ChildProcess> startToneA() {
        auto player = session_->startPlayer(kToneA, "Tone A");
        EXPECT_TRUE(player->started());
        return player;
    }

    // The level of a sink once something plays on it and it has settled.
    static double audibleLevel(LevelMeter& meter) {
        settledLevel(meter, [](double l) { return l > kAudible; });
        return steadyLevel(meter, [](double) { return true; });
    }

    // Tone A's process routed to a sink through the renderer.
    static void routeToneA(AudioHardware& hardware, const char* uid, PassThrough& renderer,
                           std::optional<TestRoute>& route) {
        const auto process = findProcess(hardware, kToneA);
        ASSERT_TRUE(process);
        route.emplace(hardware, *process, uid, renderer);
        ASSERT_EQ(route->failure(), "");
    }
};

std::string stringProperty(AudioHardware& hardware, AudioObjectID id,
                           AudioObjectPropertySelector selector) {
    std::string value;
    EXPECT_EQ(hardware.getPropertyString(id, globalAddress(selector), value), noErr)
        << fourCharCodeString(selector);
    return value;
}

std::uint32_t streamSize(AudioHardware& hardware, AudioObjectID id,
                         AudioObjectPropertyScope scope) {
    std::uint32_t size = 0;
    hardware.getPropertyDataSize(id, {kAudioDevicePropertyStreams, scope, 0}, size);
    return size;
}

// Counts calls of a listener; the client data is the counter.
OSStatus countCall(AudioObjectID, std::uint32_t, const AudioObjectPropertyAddress*, void* data) {
    static_cast<std::atomic<int>*>(data)->fetch_add(1);
    return noErr;
}

TEST_F(PipeWireAudioHardwareTest, ListsBothSinksWithTheirPropertiesAndTheDefault) {
    PipeWireAudioHardware hardware;
    ASSERT_TRUE(hardware.isConnected());
    const auto a = findDevice(hardware, kSinkA);
    const auto b = findDevice(hardware, kSinkB);
    ASSERT_TRUE(a && b);

    EXPECT_EQ(stringProperty(hardware, *a, kAudioObjectPropertyName), kSinkADescription);
    EXPECT_EQ(stringProperty(hardware, *b, kAudioObjectPropertyName), kSinkBDescription);
    EXPECT_EQ(streamSize(hardware, *a, kAudioObjectPropertyScopeOutput), 4u);
    EXPECT_EQ(streamSize(hardware, *a, kAudioObjectPropertyScopeInput), 0u);
    std::uint32_t defaultID = 0;
    EXPECT_EQ(hardware.getPropertyUInt32(kAudioObjectSystemObject,
                                         globalAddress(kAudioHardwarePropertyDefaultOutputDevice),
                                         defaultID),
              noErr);
    EXPECT_EQ(defaultID, *a);

    // As the program's lists show them.
    DeviceEnumerator enumerator(hardware);
    const auto outputs = enumerator.getOutputDevices();
    for (const char* uid : {kSinkA, kSinkB}) {
        const auto it = std::find_if(outputs.begin(), outputs.end(),
                                     [&](const AudioDeviceInfo& d) { return d.uid == uid; });
        ASSERT_NE(it, outputs.end()) << uid;
        EXPECT_EQ(it->transportType, AudioDeviceTransportType::virtualDevice);
        EXPECT_EQ(it->sampleRate, 48000.0);
        EXPECT_TRUE(it->hasOutput);
        EXPECT_FALSE(it->hasInput);
    }
    const auto defaultDevice = enumerator.getDefaultOutputDevice();
    ASSERT_TRUE(defaultDevice);
    EXPECT_EQ(defaultDevice->uid, kSinkA);
}

TEST_F(PipeWireAudioHardwareTest, WritingTheDefaultOutputIsReportedThroughTheListener) {
    PipeWireAudioHardware hardware;
    const auto a = findDevice(hardware, kSinkA);
    const auto b = findDevice(hardware, kSinkB);
    ASSERT_TRUE(a && b);
    std::atomic<int> calls{0};
    const auto address = globalAddress(kAudioHardwarePropertyDefaultOutputDevice);
    ASSERT_EQ(hardware.addPropertyListener(kAudioObjectSystemObject, address, &countCall, &calls),
              noErr);

    ASSERT_EQ(hardware.setPropertyUInt32(kAudioObjectSystemObject, address, *b), noErr);
    EXPECT_TRUE(pollUntil([&] { return calls.load() > 0; }, 5000));
    std::uint32_t current = 0;
    hardware.getPropertyUInt32(kAudioObjectSystemObject, address, current);
    EXPECT_EQ(current, *b);

    // What the session manager was told is what other desktop tools read.
    const auto shown =
        runCommand({"pw-metadata", "-n", "default", "0", "default.configured.audio.sink"},
                   session_->logPath("configured"));
    EXPECT_NE(shown.output.find(kSinkB), std::string::npos) << shown.output;

    // A source or an unknown object is refused and changes nothing.
    EXPECT_NE(hardware.setPropertyUInt32(kAudioObjectSystemObject, address, 999999), noErr);
    ASSERT_EQ(hardware.setPropertyUInt32(kAudioObjectSystemObject, address, *a), noErr);
    EXPECT_EQ(
        hardware.removePropertyListener(kAudioObjectSystemObject, address, &countCall, &calls),
        noErr);
}

TEST_F(PipeWireAudioHardwareTest, ListsThePlayerAsOneProcessWithItsIdentifierPidAndState) {
    auto player = startToneA();
    PipeWireAudioHardware hardware;
    const auto process = findProcess(hardware, kToneA);
    ASSERT_TRUE(process) << player->log();

    std::int32_t pid = 0;
    EXPECT_EQ(hardware.getPropertyInt32(*process, globalAddress(kAudioProcessPropertyPID), pid),
              noErr);
    EXPECT_EQ(pid, player->pid());
    EXPECT_TRUE(pollUntil(
        [&] {
            std::uint32_t running = 0;
            hardware.getPropertyUInt32(*process, globalAddress(kAudioProcessPropertyIsRunning),
                                       running);
            return running == 1;
        },
        5000));

    // The program's list shows it by the name it announced.
    LinuxRunningApplications running(hardware);
    ProcessEnumerator enumerator(hardware, running);
    const auto apps = enumerator.getAudioApps();
    const auto it = std::find_if(apps.begin(), apps.end(),
                                 [](const AudioApp& app) { return app.id == kToneA; });
    ASSERT_NE(it, apps.end());
    EXPECT_EQ(it->displayName, "Tone A");
    EXPECT_EQ(it->processID, player->pid());

    // The process disappears with its last stream.
    std::atomic<int> calls{0};
    const auto list = globalAddress(kAudioHardwarePropertyProcessObjectList);
    hardware.addPropertyListener(kAudioObjectSystemObject, list, &countCall, &calls);
    player->stop();
    EXPECT_TRUE(pollUntil([&] { return !findProcess(hardware, kToneA, 0); }, 5000));
    EXPECT_GT(calls.load(), 0);
    hardware.removePropertyListener(kAudioObjectSystemObject, list, &countCall, &calls);
}

TEST_F(PipeWireAudioHardwareTest, RouteSilencesTheAppAndPlaysItOnTheChosenDeviceAtUnity) {
    auto player = startToneA();
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    const double unrouted = audibleLevel(meterA);
    ASSERT_GT(unrouted, kAudible);
    {
        PipeWireAudioHardware hardware;
        PassThrough renderer;
        std::optional<TestRoute> route;
        ASSERT_NO_FATAL_FAILURE(routeToneA(hardware, kSinkB, renderer, route));

        const double routedB = levelNear(meterB, unrouted);
        EXPECT_NEAR(routedB, unrouted, 0.3);
        EXPECT_LT(silentLevel(meterA), kSilent);

        // The aggregate is listed, with the sub-device's rate, and hidden from the program.
        double rate = 0;
        EXPECT_EQ(hardware.getPropertyFloat64(route->aggregate(),
                                              globalAddress(kAudioDevicePropertyNominalSampleRate),
                                              rate),
                  noErr);
        EXPECT_EQ(rate, 48000.0);
        DeviceEnumerator enumerator(hardware);
        for (const auto& device : enumerator.getAllDevices()) {
            EXPECT_FALSE(device.uid.starts_with("com.kestrelamp")) << device.uid;
        }

        // Half the gain is 6 dB less.
        renderer.gain.store(0.5f);
        const double halved = levelNear(meterB, unrouted - 6.02);
        EXPECT_NEAR(halved, unrouted - 6.02, 0.3);

        route->destroy();
        EXPECT_GT(levelNear(meterA, unrouted), unrouted - 0.3);
        EXPECT_LT(silentLevel(meterB), kSilent);
    }
    EXPECT_TRUE(pollUntil([&] { return kestrelampObjects(session_->dump()).empty(); }, 5000))
        << ::testing::PrintToString(kestrelampObjects(session_->dump()));
}

TEST_F(PipeWireAudioHardwareTest, TwoAggregatesOfOneTapFanOutToBothSinks) {
    auto player = startToneA();
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    const double unrouted = audibleLevel(meterA);
    PipeWireAudioHardware hardware;
    PassThrough toB;
    PassThrough toA;
    std::optional<TestRoute> routeB;
    ASSERT_NO_FATAL_FAILURE(routeToneA(hardware, kSinkB, toB, routeB));
    TestRoute routeA(hardware, routeB->process(), kSinkA, toA, routeB->tap());
    ASSERT_EQ(routeA.failure(), "");

    const auto near = [&](double l) { return std::abs(l - unrouted) < 0.3; };
    EXPECT_NEAR(settledLevel(meterA, near), unrouted, 0.3);
    EXPECT_NEAR(settledLevel(meterB, near), unrouted, 0.3);

    // Silencing one path leaves the other.
    toA.gain.store(0.0f);
    EXPECT_LT(silentLevel(meterA), kSilent);
    EXPECT_NEAR(settledLevel(meterB, near), unrouted, 0.3);
}

TEST_F(PipeWireAudioHardwareTest, AStoppedBlockIsNeverCalledAgain) {
    auto player = startToneA();
    LevelMeter meterB(kSinkB);
    PipeWireAudioHardware hardware;
    PassThrough renderer;
    std::optional<TestRoute> route;
    ASSERT_NO_FATAL_FAILURE(routeToneA(hardware, kSinkB, renderer, route));
    ASSERT_TRUE(pollUntil([&] { return renderer.calls.load() > 10; }, 5000));

    ASSERT_EQ(hardware.deviceStop(route->aggregate(), route->ioProc()), noErr);
    renderer.stopped.store(true);
    const std::uint64_t callsAtStop = renderer.calls.load();
    // Let the graph run on for a while: a tenth of a second of audio passes the meter.
    ASSERT_TRUE(meterB.measureDbfs(4800));
    EXPECT_EQ(renderer.calls.load(), callsAtStop);
    EXPECT_EQ(renderer.callsAfterStop.load(), 0u);
    // A stopped aggregate plays silence.
    EXPECT_LT(silentLevel(meterB), kSilent);

    // Started again, it runs again; destroying the aggregate stops it for good.
    renderer.stopped.store(false);
    ASSERT_EQ(hardware.deviceStart(route->aggregate(), route->ioProc()), noErr);
    ASSERT_TRUE(pollUntil([&] { return renderer.calls.load() > callsAtStop + 5; }, 5000));
    const AudioObjectID aggregate = route->aggregate();
    ASSERT_EQ(hardware.destroyAggregateDevice(aggregate), noErr);
    renderer.stopped.store(true);
    ASSERT_TRUE(meterB.measureDbfs(4800));
    EXPECT_EQ(renderer.callsAfterStop.load(), 0u);
    // The route manager stops its engine after the aggregate is gone: an error, no crash.
    EXPECT_NE(hardware.deviceStop(aggregate, route->ioProc()), noErr);
}

TEST_F(PipeWireAudioHardwareTest, SessionManagerRescansDoNotUndoARoute) {
    auto player = startToneA();
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    const double unrouted = audibleLevel(meterA);
    PipeWireAudioHardware hardware;
    const auto b = findDevice(hardware, kSinkB);
    const auto a = findDevice(hardware, kSinkA);
    ASSERT_TRUE(a && b);
    PassThrough renderer;
    std::optional<TestRoute> route;
    ASSERT_NO_FATAL_FAILURE(routeToneA(hardware, kSinkB, renderer, route));

    // Default changed there and back, a device and another player coming and going.
    const auto address = globalAddress(kAudioHardwarePropertyDefaultOutputDevice);
    ASSERT_EQ(hardware.setPropertyUInt32(kAudioObjectSystemObject, address, *b), noErr);
    ASSERT_EQ(hardware.setPropertyUInt32(kAudioObjectSystemObject, address, *a), noErr);
    ASSERT_TRUE(session_->createSink("test_sink_rescan", "Rescan Sink"));
    auto other = session_->startPlayer("org.example.ToneC", "Tone C", 880.0, 0.1);
    ASSERT_TRUE(findProcess(hardware, "org.example.ToneC"));
    ASSERT_TRUE(session_->destroyNode("test_sink_rescan"));
    other->stop();

    // Tone C played on A meanwhile; once it is gone A must be silent again and B still routed.
    EXPECT_LT(silentLevel(meterA), kSilent);
    EXPECT_NEAR(levelNear(meterB, unrouted), unrouted, 0.3);
}

TEST_F(PipeWireAudioHardwareTest, ATapSinkRemovedByAnotherProgramIsMadeAgain) {
    auto player = startToneA();
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    const double unrouted = audibleLevel(meterA);
    PipeWireAudioHardware hardware;
    PassThrough renderer;
    std::optional<TestRoute> route;
    ASSERT_NO_FATAL_FAILURE(routeToneA(hardware, kSinkB, renderer, route));
    // The sink Tone A plays into.
    std::string sinkName;
    const auto graph = session_->dump();
    std::map<std::uint32_t, nlohmann::json> props;
    for (const auto& object : graph) {
        props[object.value("id", 0u)] =
            object.value("info", nlohmann::json::object()).value("props", nlohmann::json::object());
    }
    for (const auto& object : graph) {
        if (object.value("type", "") != "PipeWire:Interface:Link") {
            continue;
        }
        const auto& link = props[object.value("id", 0u)];
        const auto& from = props[link.value("link.output.node", 0u)];
        const auto& to = props[link.value("link.input.node", 0u)];
        if (from.value("application.id", "") == kToneA) {
            sinkName = to.value("node.name", "");
        }
    }
    ASSERT_TRUE(sinkName.starts_with("com.kestrelamp.aggregate.tap.")) << sinkName;
    ASSERT_FALSE(sinkName.empty());
    const auto first = session_->nodeIdentity(sinkName);
    ASSERT_TRUE(first);
    runCommand({"pw-cli", "destroy", std::to_string(first->id)}, session_->logPath("destroy-tap"));

    EXPECT_TRUE(pollUntil(
        [&] {
            const auto again = session_->nodeIdentity(sinkName);
            return again && again->serial != first->serial;
        },
        5000));
    EXPECT_LT(silentLevel(meterA), kSilent);
    EXPECT_NEAR(levelNear(meterB, unrouted), unrouted, 0.3);
}

TEST_F(PipeWireAudioHardwareTest, ANewStreamOfATappedProcessIsTappedToo) {
    const std::string player = std::string(KESTRELAMP_E2E_TONE_PLAYER);
    ChildProcess tones({player, "org.example.TwoStreams", "Two Streams", "440"},
                       session_->logPath("two-streams"));
    ASSERT_TRUE(tones.started());
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    PipeWireAudioHardware hardware;
    const auto process = findProcess(hardware, "org.example.TwoStreams");
    ASSERT_TRUE(process) << tones.log();
    PassThrough renderer;
    TestRoute route(hardware, *process, kSinkB, renderer);
    ASSERT_EQ(route.failure(), "");
    const double oneStream = audibleLevel(meterB);
    ASSERT_GT(oneStream, kAudible);
    ASSERT_LT(silentLevel(meterA), kSilent);

    tones.signal(SIGUSR1);
    ASSERT_TRUE(
        pollUntil([&] { return tones.log().find("streams=2") != std::string::npos; }, 5000));
    // Both streams on B, twice the power; nothing on A.
    EXPECT_NEAR(levelNear(meterB, oneStream + 3.01), oneStream + 3.01, 0.3);
    EXPECT_LT(silentLevel(meterA), kSilent);
    // Still one process object, whatever the number of its streams.
    const auto processes = listedObjects(hardware, kAudioHardwarePropertyProcessObjectList);
    EXPECT_EQ(std::count(processes.begin(), processes.end(), *process), 1);
}

// Whether the application plays on the default meanwhile is the route manager's part: it removes
// the route of a device that went. The service keeps the objects usable and plays on the device
// again once it is back under its name.
TEST_F(PipeWireAudioHardwareTest, AnAggregateWhoseDeviceGoesPlaysOnItAgainWhenItIsBack) {
    auto player = startToneA();
    LevelMeter meterA(kSinkA);
    const double unrouted = audibleLevel(meterA);
    ASSERT_TRUE(session_->createSink("test_sink_c", "Test Sink C"));
    PipeWireAudioHardware hardware;
    const auto process = findProcess(hardware, kToneA);
    ASSERT_TRUE(process);
    ASSERT_TRUE(findDevice(hardware, "test_sink_c"));
    PassThrough renderer;
    TestRoute route(hardware, *process, "test_sink_c", renderer);
    ASSERT_EQ(route.failure(), "");
    std::atomic<int> calls{0};
    const auto devices = globalAddress(kAudioHardwarePropertyDevices);
    hardware.addPropertyListener(kAudioObjectSystemObject, devices, &countCall, &calls);

    ASSERT_TRUE(session_->destroyNode("test_sink_c"));
    EXPECT_TRUE(pollUntil([&] { return calls.load() > 0; }, 5000));
    EXPECT_FALSE(findDevice(hardware, "test_sink_c", 0));
    EXPECT_EQ(hardware.deviceStop(route.aggregate(), route.ioProc()), noErr);
    EXPECT_EQ(hardware.deviceStart(route.aggregate(), route.ioProc()), noErr);

    ASSERT_TRUE(session_->createSink("test_sink_c", "Test Sink C"));
    LevelMeter meterC("test_sink_c");
    EXPECT_NEAR(levelNear(meterC, unrouted), unrouted, 0.3);
    hardware.removePropertyListener(kAudioObjectSystemObject, devices, &countCall, &calls);
    route.destroy();
    EXPECT_GT(settledLevel(meterA, [](double l) { return l > kAudible; }), kAudible);
    session_->destroyNode("test_sink_c");
}

TEST_F(PipeWireAudioHardwareTest, AKilledRouteOwnerGivesThePlayerBackToTheDefaultSink) {
    auto player = startToneA();
    LevelMeter meterA(kSinkA);
    const double unrouted = audibleLevel(meterA);
    ChildProcess holder({KESTRELAMP_E2E_ROUTE_HOLDER, kToneA, kSinkB},
                        session_->logPath("route-holder"));
    ASSERT_TRUE(pollUntil([&] { return holder.log().find("ready") != std::string::npos; }, 10000))
        << holder.log();
    ASSERT_LT(silentLevel(meterA), kSilent);

    holder.signal(SIGKILL);
    const double back = settledLevel(
        meterA, [&](double l) { return std::abs(l - unrouted) < 0.5; }, 10000);
    EXPECT_NEAR(back, unrouted, 0.5);
    holder.waitForExit(2000);

    // The server removed what the dead process owned; only its metadata entry remains, and the
    // next start clears it.
    std::vector<std::string> left;
    ASSERT_TRUE(pollUntil(
        [&] {
            left = kestrelampObjects(session_->dump());
            return left.size() == 1;
        },
        5000))
        << ::testing::PrintToString(left);
    EXPECT_TRUE(left.front().starts_with("metadata target.object=")) << left.front();
    PipeWireAudioHardware hardware;
    EXPECT_TRUE(pollUntil([&] { return kestrelampObjects(session_->dump()).empty(); }, 5000))
        << ::testing::PrintToString(kestrelampObjects(session_->dump()));
}

#ifdef KESTRELAMP_PROGRAM
TEST_F(PipeWireAudioHardwareTest, TheProgramListsTheRealApplicationsAndDevices) {
    auto player = startToneA();
    {
        PipeWireAudioHardware hardware;
        ASSERT_TRUE(findProcess(hardware, kToneA));
    }
    const auto json = [&](const char* option) {
        const auto result = runCommand({KESTRELAMP_PROGRAM, option},
                                       session_->logPath(std::string("program") + option));
        EXPECT_EQ(result.status, 0) << result.output;
        return nlohmann::json::parse(result.output, nullptr, false);
    };
    const auto apps = json("--list-apps");
    ASSERT_TRUE(apps.is_array()) << apps;
    const auto tone = std::find_if(apps.begin(), apps.end(), [](const nlohmann::json& app) {
        return app.value("id", "") == kToneA;
    });
    ASSERT_NE(tone, apps.end()) << apps;
    EXPECT_EQ(tone->value("displayName", ""), "Tone A");
    EXPECT_EQ(tone->value("processID", 0), player->pid());

    const auto devices = json("--list-devices");
    ASSERT_TRUE(devices.is_array()) << devices;
    for (const auto& [uid, name] :
         {std::pair{kSinkA, kSinkADescription}, {kSinkB, kSinkBDescription}}) {
        const auto device =
            std::find_if(devices.begin(), devices.end(),
                         [&](const nlohmann::json& d) { return d.value("uid", "") == uid; });
        ASSERT_NE(device, devices.end()) << devices;
        EXPECT_EQ(device->value("name", ""), name);
        EXPECT_EQ(device->value("transportType", ""), "virtual");
        EXPECT_EQ(device->value("sampleRate", 0.0), 48000.0);
        EXPECT_TRUE(device->value("hasOutput", false));
    }
    EXPECT_EQ(json("--default-output").value("uid", ""), kSinkA);
}

// Players and desktop entries may carry any bytes. pw-play carries them in bare values and in
// quoted ones that merely look like UTF-8 (overlong forms, surrogates); the listing shows them
// as valid UTF-8 with U+FFFD where they were not, and the program does not abort on them.
TEST_F(PipeWireAudioHardwareTest, NamesThatAreNotUtf8AreListedAsValidText) {
    const std::string applications = std::string(std::getenv("XDG_DATA_HOME")) + "/applications";
    QDir().mkpath(QString::fromStdString(applications));
    std::ofstream(applications + "/org.example.CafeRadio.desktop", std::ios::binary)
        << "[Desktop Entry]\nType=Application\nName=Caf\xE9 Radio\n";
    auto radio = session_->startPlayer("org.example.CafeRadio", "Cafe Radio");
    auto bytes = session_->startPlayer("org.example.Bytes\xFF", "Bad \xC0\xAF \xED\xA0\x80 Name");
    ASSERT_TRUE(radio->started() && bytes->started());

    const std::string r = "\xEF\xBF\xBD";
    std::map<std::string, std::string> named;
    const bool listed = pollUntil(
        [&] {
            const auto result =
                runCommand({KESTRELAMP_PROGRAM, "--list-apps"}, session_->logPath("list-bytes"));
            EXPECT_EQ(result.status, 0) << result.output;
            // Strict: a string that is not UTF-8 makes the whole text unreadable.
            const auto apps = nlohmann::json::parse(result.output, nullptr, false);
            EXPECT_TRUE(apps.is_array()) << result.output;
            named.clear();
            for (const auto& app : apps) {
                named[app.value("id", "")] = app.value("displayName", "");
            }
            return (named.count("org.example.CafeRadio") && named.count("org.example.Bytes" + r)) ||
                   result.status != 0;
        },
        10000);
    ASSERT_TRUE(listed) << testing::PrintToString(named);
    EXPECT_EQ(named["org.example.CafeRadio"], "Caf" + r + " Radio");
    EXPECT_EQ(named["org.example.Bytes" + r], "Bad " + r + r + " " + r + r + r + " Name")
        << testing::PrintToString(named);
}
#endif

TEST_F(PipeWireAudioHardwareTest, AHungServerGivesTimeoutsNotAFrozenInterface) {
    PipeWireOptions options;
    options.timeoutMs = 300;
    PipeWireAudioHardware hardware(options);
    const auto a = findDevice(hardware, kSinkA);
    const auto b = findDevice(hardware, kSinkB);
    ASSERT_TRUE(a && b);
    const auto address = globalAddress(kAudioHardwarePropertyDefaultOutputDevice);

    session_->pauseServer();
    EXPECT_EQ(hardware.setPropertyUInt32(kAudioObjectSystemObject, address, *b),
              kAudioHardwareTimeoutError);
    // Reads are answered from what was last seen.
    std::string name;
    EXPECT_EQ(hardware.getPropertyString(*a, globalAddress(kAudioObjectPropertyName), name), noErr);
    EXPECT_EQ(name, kSinkADescription);
    session_->resumeServer();

    // Back to normal once it answers again.
    EXPECT_TRUE(pollUntil(
        [&] { return hardware.setPropertyUInt32(kAudioObjectSystemObject, address, *a) == noErr; },
        5000));
    std::uint32_t current = 0;
    hardware.getPropertyUInt32(kAudioObjectSystemObject, address, current);
    EXPECT_EQ(current, *a);
}

// Where a click lands on a sink, as a graph clock position modulo the click period.
std::optional<std::int64_t> clickPhase(LevelMeter& meter) {
    std::optional<std::int64_t> phase;
    pollUntil(
        [&] {
            const auto capture = meter.capture(24000);
            if (!capture) {
                return false;
            }
            for (std::size_t i = 0; i < capture->samples.size(); ++i) {
                if (capture->samples[i] > 0.5f) {
                    phase = std::int64_t((capture->clockPosition + i) % 24000);
                    return true;
                }
            }
            return false;
        },
        5000);
    return phase;
}

// A route is one more pass through the graph: the clicks come out at most a quantum or two
// later than they play unrouted, and a route left waiting runs nothing.
TEST_F(PipeWireAudioHardwareTest, ARouteAddsLittleLatencyAndAWaitingRouteRunsNothing) {
    ChildProcess clicks({KESTRELAMP_E2E_TONE_PLAYER, "org.example.Clicks", "Clicks", "0"},
                        session_->logPath("clicks"));
    // One meter for both paths, so that its own clock offset cancels out.
    auto meter = std::make_unique<LevelMeter>(kSinkB);
    ASSERT_TRUE(session_->setDefaultSink(kSinkB));
    const auto direct = clickPhase(*meter);
    ASSERT_TRUE(direct) << clicks.log();
    ASSERT_TRUE(session_->setDefaultSink(kSinkA));
    ASSERT_TRUE(meter->measureDbfs(3 * 48000, 10000));

    PipeWireAudioHardware hardware;
    const auto process = findProcess(hardware, "org.example.Clicks");
    ASSERT_TRUE(process);
    PassThrough first;
    TestRoute route(hardware, *process, kSinkB, first);
    ASSERT_EQ(route.failure(), "");
    // Skips clicks that were on their way when the route was made.
    ASSERT_TRUE(meter->measureDbfs(48000, 5000));
    const auto routed = clickPhase(*meter);
    ASSERT_TRUE(routed);
    // Within half a click period either way: a route may even come out a quantum earlier, when
    // the sink's own monitor lags the path through it.
    std::int64_t added = ((*routed - *direct) % 24000 + 24000) % 24000;
    if (added > 12000) {
        added -= 24000;
    }
    EXPECT_LE(std::abs(added), 2 * std::int64_t(meter->quantum()))
        << added << " frames, quantum " << meter->quantum();

    std::vector<std::unique_ptr<PassThrough>> renderers;
    std::vector<std::unique_ptr<TestRoute>> more;
    for (int i = 0; i < 3; ++i) {
        renderers.push_back(std::make_unique<PassThrough>());
        more.push_back(std::make_unique<TestRoute>(hardware, *process, kSinkB, *renderers.back(),
                                                   route.tap()));
        ASSERT_EQ(more.back()->failure(), "");
    }
    ASSERT_TRUE(meter->measureDbfs(3 * 48000, 10000));

    // The application gone and nothing else listening: the routes wait, and nothing runs.
    clicks.stop();
    meter.reset();
    EXPECT_TRUE(pollUntil([&] { return !findProcess(hardware, "org.example.Clicks", 0); }, 5000));
    const std::uint64_t callsBefore = first.calls.load();
    QThread::sleep(3);
    EXPECT_EQ(first.calls.load(), callsBefore) << "a waiting route still runs its block";
}

// Last: it takes the server away.
TEST_F(PipeWireAudioHardwareTest, ZZ_ServerGoingAwayEmptiesTheListsUntilItIsBack) {
    PipeWireOptions options;
    options.reconnectIntervalMs = 500;
    PipeWireAudioHardware hardware(options);
    ASSERT_TRUE(findDevice(hardware, kSinkA));
    std::atomic<int> calls{0};
    const auto devices = globalAddress(kAudioHardwarePropertyDevices);
    hardware.addPropertyListener(kAudioObjectSystemObject, devices, &countCall, &calls);

    session_->stop();
    EXPECT_TRUE(pollUntil([&] { return !hardware.isConnected(); }, 5000));
    EXPECT_TRUE(pollUntil([&] { return calls.load() > 0; }, 5000));
    EXPECT_TRUE(listedObjects(hardware, kAudioHardwarePropertyDevices).empty());
    EXPECT_TRUE(listedObjects(hardware, kAudioHardwarePropertyProcessObjectList).empty());
    std::uint32_t defaultID = 1;
    hardware.getPropertyUInt32(kAudioObjectSystemObject,
                               globalAddress(kAudioHardwarePropertyDefaultOutputDevice), defaultID);
    EXPECT_EQ(defaultID, 0u);
    AudioObjectID tap = 0;
    EXPECT_EQ(hardware.createProcessTap(CATapDescription::stereoMixdownOfProcesses({2}), tap),
              kAudioHardwareNotRunningError);

    const int before = calls.load();
    ASSERT_TRUE(session_->start()) << session_->error();
    EXPECT_TRUE(findDevice(hardware, kSinkA, 10000));
    EXPECT_TRUE(findDevice(hardware, kSinkB, 1000));
    EXPECT_GT(calls.load(), before);
    hardware.removePropertyListener(kAudioObjectSystemObject, devices, &countCall, &calls);
}

} // namespace
} // namespace kestrelamp::e2e
