// The audio-service contract on a private PipeWire server: devices are virtual sinks and sources
// made at run time, players are pw-play processes, levels are read from the sinks' monitors.

#include "AudioHardwareContract.h"
#include "engine/hal/PipeWireAudioHardware.h"
#include "platform/RunningApplications.h"
#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"
#include "support/Routing.h"

#include <QThread>

#include <algorithm>
#include <map>

namespace kestrelamp::hal::test {
namespace {

using e2e::PipeWireSession;

constexpr const char* kCaptureClass = "Stream/Input/Audio";

// One server for the whole run; each world adds its devices and players and removes them again.
PipeWireSession* shared = nullptr;

class SessionEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        shared = new PipeWireSession;
        shared->start();
    }
    void TearDown() override {
        delete shared;
        shared = nullptr;
    }
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new SessionEnvironment);

PipeWireSession& session() {
    return *shared;
}

class PipeWireContractWorld final : public AudioHardwareContractWorld {
public:
    PipeWireContractWorld() {
        EXPECT_TRUE(session().isRunning()) << session().error();
        hardware_ = std::make_unique<PipeWireAudioHardware>();
    }

    ~PipeWireContractWorld() override {
        players_.clear();
        meters_.clear();
        // The recorders outlive the service, which gives them back unmuted: the session manager
        // keeps a stream's last volume for the next stream like it.
        hardware_.reset();
        recorders_.clear();
        for (const std::string& uid : devices_) {
            session().destroyNode(uid);
        }
        session().setDefaultSink(e2e::kSinkA);
    }

    AudioHardware& hardware() override { return *hardware_; }

    AudioObjectID addOutputDevice(const std::string& uid, const std::string& description) override {
        return addDevice(uid, description, "Audio/Sink");
    }

    AudioObjectID addInputDevice(const std::string& uid, const std::string& description) override {
        return addDevice(uid, description, "Audio/Source");
    }

    void removeDevice(const std::string& uid) override {
        meters_.erase(uid);
        session().destroyNode(uid);
        std::erase(devices_, uid);
    }

    AudioObjectID startPlayer(const std::string& bundleID, const std::string& name,
                              double frequency, float amplitude) override {
        players_[bundleID] = session().startPlayer(bundleID, name, frequency, amplitude);
        return e2e::findProcess(*hardware_, bundleID, 10000).value_or(kAudioObjectUnknown);
    }

    void stopPlayer(const std::string& bundleID) override { players_.erase(bundleID); }

    // As a PulseAudio client does it; its sink inputs are numbered by serial.
    bool moveProcessElsewhere(const std::string& bundleID, const std::string& uid) override {
        const auto streams = session().streamNodes(bundleID);
        return !streams.empty() && std::all_of(streams.begin(), streams.end(), [&](const auto& s) {
            return session().moveWithPactl(s, uid);
        });
    }

    bool startRecorder(const std::string& bundleID, const std::string& name) override {
        recorders_[bundleID] = std::make_unique<e2e::ChildProcess>(
            std::vector<std::string>{"pw-record", "-P",
                                     "{ application.id=" + bundleID + " application.name=\"" +
                                         name + "\" }",
                                     "--channels", "2", session().path() + "/" + bundleID + ".wav"},
            session().logPath("recorder"));
        return e2e::pollUntil(
            [&] { return !session().streamNodes(bundleID, kCaptureClass).empty(); }, 10000);
    }

    void stopRecorder(const std::string& bundleID) override { recorders_.erase(bundleID); }

    bool moveRecorderElsewhere(const std::string& bundleID, const std::string& uid) override {
        const auto streams = session().streamNodes(bundleID, kCaptureClass);
        return !streams.empty() && std::all_of(streams.begin(), streams.end(), [&](const auto& s) {
            return session().moveWithPactl(s, uid, "move-source-output");
        });
    }

    // Every route: our client no longer sees the factory the taps' capture nodes are made by.
    std::string refuseRoutesTo(const std::string&) override {
        EXPECT_TRUE(session().denyFactory(kKestrelampBundleIdentifier, "adapter"));
        return "unknown factory name adapter";
    }

    void letTimePass(std::chrono::milliseconds duration) override {
        QThread::msleep(static_cast<unsigned long>(duration.count()));
    }

    std::optional<double> playedLevel(const std::string& uid,
                                      std::chrono::milliseconds window) override {
        const auto meter = meters_.find(uid);
        if (meter == meters_.end()) {
            return std::nullopt;
        }
        return meter->second->recentDbfs(std::uint32_t(window.count() * 48));
    }

    void setDefaultOutput(const std::string& uid) override { session().setDefaultSink(uid); }
    std::string defaultOutput() override { return session().defaultSink(); }

private:
    AudioObjectID addDevice(const std::string& uid, const std::string& description,
                            const std::string& mediaClass) {
        e2e::SinkOptions options;
        options.mediaClass = mediaClass;
        if (!session().createSink(uid, description, options)) {
            return kAudioObjectUnknown;
        }
        devices_.push_back(uid);
        if (mediaClass == "Audio/Sink") {
            meters_[uid] = std::make_unique<e2e::LevelMeter>(uid);
        }
        return e2e::findDevice(*hardware_, uid, 10000).value_or(kAudioObjectUnknown);
    }

    std::unique_ptr<PipeWireAudioHardware> hardware_;
    std::vector<std::string> devices_;
    std::map<std::string, std::unique_ptr<e2e::LevelMeter>> meters_;
    std::map<std::string, std::unique_ptr<e2e::ChildProcess>> players_;
    std::map<std::string, std::unique_ptr<e2e::ChildProcess>> recorders_;
};

} // namespace

KESTRELAMP_INSTANTIATE_AUDIO_HARDWARE_CONTRACT(PipeWire, [] {
    return std::make_unique<PipeWireContractWorld>();
});

} // namespace kestrelamp::hal::test
