// The audio-service interface on a real PipeWire server with a session manager.

#include "engine/hal/PipeWireAudioHardware.h"
#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"
#include "support/Routing.h"
#include "support/SessionTest.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <map>
#include <set>
#include <thread>

namespace kestrelamp::e2e {
namespace {

using namespace hal;

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
};

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

#ifdef KESTRELAMP_PROGRAM
TEST_F(PipeWireAudioHardwareTest, TheProgramListsTheRealApplicationsAndDevices) {
    auto player = session_->startPlayer(kToneA, "Tone A");
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

// Asking for a new default waits for nobody: the default changes once the server and the session
// manager have made it, and reads meanwhile answer what was last seen.
TEST_F(PipeWireAudioHardwareTest, AHungServerNeitherFreezesTheCallerNorChangesTheDefault) {
    PipeWireAudioHardware hardware;
    const auto a = findDevice(hardware, kSinkA);
    const auto b = findDevice(hardware, kSinkB);
    ASSERT_TRUE(a && b);
    const auto address = globalAddress(kAudioHardwarePropertyDefaultOutputDevice);
    const auto defaultIs = [&](AudioObjectID device) {
        std::uint32_t current = 0;
        return hardware.getPropertyUInt32(kAudioObjectSystemObject, address, current) == noErr &&
               current == device;
    };
    ASSERT_EQ(hardware.setPropertyUInt32(kAudioObjectSystemObject, address, *a), noErr);
    ASSERT_TRUE(pollUntil([&] { return defaultIs(*a); }, 5000));

    session_->pauseServer();
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(hardware.setPropertyUInt32(kAudioObjectSystemObject, address, *b), noErr);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1))
        << "the caller waited for a stopped server";
    std::string name;
    EXPECT_EQ(hardware.getPropertyString(*a, globalAddress(kAudioObjectPropertyName), name), noErr);
    EXPECT_EQ(name, kSinkADescription);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(defaultIs(*a)) << "nothing made b the default yet";
    session_->resumeServer();

    EXPECT_TRUE(pollUntil([&] { return defaultIs(*b); }, 5000));
}

// Routes to one device sum into the same ports of our filter: the device hears each
// application as it would alone, through one link per channel, and keeps hearing one when the
// other's route goes.
TEST_F(PipeWireAudioHardwareTest, RoutesToOneDeviceShareItsLinksAndEachIsHeardInFull) {
    constexpr double kHzA = 440.0;
    constexpr double kHzB = 660.0;
    auto toneA = session_->startPlayer("org.example.ShareA", "Share A", kHzA);
    auto toneB = session_->startPlayer("org.example.ShareB", "Share B", kHzB);
    LevelMeter meterA(kSinkA);
    LevelMeter meterB(kSinkB);
    const double aloneA = steadyTone(meterA, kHzA);
    const double aloneB = steadyTone(meterA, kHzB);
    ASSERT_GT(aloneA, kAudible) << toneA->log();
    ASSERT_GT(aloneB, kAudible) << toneB->log();
    // Links into sink B: from our nodes, and from any other.
    const auto linksIntoSinkB = [&] {
        const nlohmann::json graph = session_->dump();
        const auto sinkB = session_->nodeID(kSinkB);
        std::set<std::uint32_t> ours;
        for (const auto& object : graph) {
            const auto props = object.value("info", nlohmann::json::object())
                                   .value("props", nlohmann::json::object());
            if (props.value("node.name", "").starts_with("com.kestrelamp.")) {
                ours.insert(object.value("id", 0u));
            }
        }
        std::pair<int, int> links{0, 0};
        for (const auto& object : graph) {
            const auto info = object.value("info", nlohmann::json::object());
            if (object.value("type", "") == "PipeWire:Interface:Link" && sinkB &&
                info.value("input-node-id", 0u) == *sinkB) {
                ++(ours.count(info.value("output-node-id", 0u)) > 0 ? links.first : links.second);
            }
        }
        return links;
    };

    PipeWireAudioHardware hardware;
    const auto a = findProcess(hardware, "org.example.ShareA");
    const auto b = findProcess(hardware, "org.example.ShareB");
    ASSERT_TRUE(a && b);
    PassThrough rendererA;
    PassThrough rendererB;
    auto routeA = std::make_unique<TestRoute>(hardware, *a, kSinkB, rendererA);
    ASSERT_EQ(routeA->failure(), "");
    TestRoute routeB(hardware, *b, kSinkB, rendererB);
    ASSERT_EQ(routeB.failure(), "");
    EXPECT_NEAR(steadyTone(meterB, kHzA), aloneA, 1.0) << "A summed with B";
    EXPECT_NEAR(steadyTone(meterB, kHzB), aloneB, 1.0) << "B summed with A";
    EXPECT_LT(silentLevel(meterA), kSilent);
    EXPECT_TRUE(pollUntil([&] { return linksIntoSinkB() == std::pair(2, 0); }, 5000))
        << linksIntoSinkB().first << " of ours, " << linksIntoSinkB().second << " others";

    routeA.reset();
    EXPECT_NEAR(steadyTone(meterA, kHzA), aloneA, 1.0) << "A back on the default";
    EXPECT_NEAR(steadyTone(meterB, kHzB), aloneB, 1.0) << "B lost with A's route";
    EXPECT_LT(toneLevel(meterB, kHzA), -70.0) << "A still on B";
    EXPECT_EQ(linksIntoSinkB(), std::pair(2, 0));
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

// Taps made together (a profile) find their capture nodes made and set up ahead: a tap takes one
// instead of making a node, the spares come back a while later, and go when no longer wanted.
TEST_F(PipeWireAudioHardwareTest, SpareCaptureNodesAreTakenByTapsAndGoWhenNotWanted) {
    const auto captureNodes = [&] {
        std::set<std::string> names;
        for (const auto& object : session_->dump()) {
            const auto props = object.value("info", nlohmann::json::object())
                                   .value("props", nlohmann::json::object());
            if (props.value("node.description", "").starts_with("Kestrelamp tap")) {
                names.insert(props.value("node.name", ""));
            }
        }
        return names;
    };
    const auto expect = [](AudioHardware& hardware, std::uint32_t count) {
        return hardware.setPropertyUInt32(
            kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyTapsMadeTogether), count);
    };
    auto tones = session_->startPlayer("org.example.Spare", "Spare");
    LevelMeter meterB(kSinkB);
    {
        PipeWireAudioHardware hardware;
        ASSERT_EQ(expect(hardware, 2), noErr);
        ASSERT_TRUE(pollUntil([&] { return captureNodes().size() == 2; }, 5000));
        const auto madeAhead = captureNodes();
        const auto process = findProcess(hardware, "org.example.Spare");
        ASSERT_TRUE(process) << tones->log();
        PassThrough renderer;
        TestRoute route(hardware, *process, kSinkB, renderer);
        ASSERT_EQ(route.failure(), "");
        // Before the spares are made again, a second after the tap.
        EXPECT_TRUE(pollUntil([&] { return captureNodes() == madeAhead; }, 500))
            << "the tap made a node of its own";
        EXPECT_GT(audibleLevel(meterB), kAudible);
        EXPECT_TRUE(pollUntil([&] { return captureNodes().size() == 3; }, 5000));

        ASSERT_EQ(expect(hardware, 0), noErr);
        EXPECT_TRUE(pollUntil([&] { return captureNodes().size() == 1; }, 5000));
        EXPECT_GT(audibleLevel(meterB), kAudible) << "the route lost its node with the spares";
        ASSERT_EQ(expect(hardware, 3), noErr);
        EXPECT_TRUE(pollUntil([&] { return captureNodes().size() == 4; }, 5000));
    }
    EXPECT_TRUE(pollUntil([&] { return kestrelampObjects(session_->dump()).empty(); }, 5000));
}

} // namespace
} // namespace kestrelamp::e2e
