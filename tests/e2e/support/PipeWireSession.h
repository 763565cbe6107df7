#pragma once

// A private PipeWire world for end-to-end tests: pipewire, wireplumber and pipewire-pulse (for
// PulseAudio clients such as pactl) under their own D-Bus session, with the runtime directory and
// every XDG home in a temporary folder, two virtual sinks
// ("test_sink_a", the default, and "test_sink_b"), and tone players. The test process's own
// environment points at it, so PipeWire clients made by the test connect to it.

#include "ChildProcess.h"

#include <QTemporaryDir>
#include <nlohmann/json.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrelamp::e2e {

inline constexpr const char* kSinkA = "test_sink_a";
inline constexpr const char* kSinkB = "test_sink_b";
inline constexpr const char* kSinkADescription = "Test Sink A";
inline constexpr const char* kSinkBDescription = "Test Sink B";
// The application most tests play.
inline constexpr const char* kToneA = "org.example.ToneA";

// A virtual sink made at run time.
struct SinkOptions {
    std::string mediaClass = "Audio/Sink";
    std::vector<std::string> positions{"FL", "FR"};
    // 0: none given, so that the sink runs at whatever rate the graph runs at.
    std::uint32_t rate = 48000;
};

// A player's sound: one sine per channel (a single frequency plays on every channel).
struct ToneOptions {
    std::vector<double> frequencies{440.0};
    std::vector<std::string> positions{"FL", "FR"};
    std::uint32_t rate = 48000;
    double amplitude = 0.5;
    int seconds = 30;
};

class PipeWireSession {
public:
    // modulesLeftOut: modules of the server's own configuration it runs without, by name
    // ("libpipewire-module-link-factory"), as on a system set up without them.
    explicit PipeWireSession(std::vector<std::string> modulesLeftOut = {});
    ~PipeWireSession();
    PipeWireSession(const PipeWireSession&) = delete;
    PipeWireSession& operator=(const PipeWireSession&) = delete;

    // Starts the server and the session manager and waits until test_sink_a is the default.
    // On failure the reason and the logs are in error().
    bool start();
    // Ends both by their pids.
    void stop();
    // SIGSTOP / SIGCONT to the server: a hung server, and one that comes back.
    void pauseServer();
    void resumeServer();
    bool isRunning() const { return session_ != nullptr; }
    const std::string& error() const { return error_; }
    std::string logs() const;

    std::string path() const { return dir_.path().toStdString(); }
    std::string logPath(const std::string& name) const;

    // The graph as pw-dump prints it.
    nlohmann::json dump() const;
    // The server reuses the ids of removed objects; the serial tells a new object from an old one.
    struct NodeIdentity {
        std::uint32_t id = 0;
        std::uint64_t serial = 0;
    };
    std::optional<NodeIdentity> nodeIdentity(const std::string& nodeName) const;
    std::optional<std::uint32_t> nodeID(const std::string& nodeName) const;
    // The playback (or capture) streams of the application with this id.
    std::vector<NodeIdentity>
    streamNodes(const std::string& appID,
                const std::string& mediaClass = "Stream/Output/Audio") const;
    // The application's one stream once it has exactly one; zeros when it did not come to that.
    NodeIdentity onlyStream(const std::string& appID) const;
    // An entry of the "default" metadata; nothing when it is not there.
    std::optional<std::string> metadataValue(std::uint32_t subject, const std::string& key) const;

    // As a PulseAudio client moves a stream (sink inputs are numbered by serial). pipewire-pulse
    // 0.3.65 now and then acknowledges a move without making it (a few in a hundred, with no
    // route of ours anywhere), so the move is made again until the stream's target entry
    // changes. False when pactl refuses it or it never takes place.
    bool moveWithPactl(const NodeIdentity& stream, const std::string& sinkName,
                       const std::string& command = "move-sink-input") const;

    // As a permission manager denies a client a factory: the clients announcing that application
    // id no longer see the factory, so that the server refuses what they ask of it. False when
    // there is no such client or factory, or pw-cli refused.
    bool denyFactory(const std::string& applicationID, const std::string& factoryName);

    // A virtual sink (or source) of its own, created and removed at run time.
    bool createSink(const std::string& name, const std::string& description,
                    const SinkOptions& options = {});
    bool destroyNode(const std::string& nodeName);
    int portCount(const std::string& nodeName) const;

    // A WAV file of the tone, made once per tone.
    std::string toneFile(const ToneOptions& tone);

    // The default sink's node name as the session manager chose it; "" when there is none.
    std::string defaultSink() const;
    // As desktop tools set it; returns once the session manager has made it the default.
    bool setDefaultSink(const std::string& nodeName);

    // pw-play of a tone, announcing the application id and name; the first form plays one sine
    // on both channels.
    std::unique_ptr<ChildProcess> startPlayer(const std::string& appID, const std::string& appName,
                                              double frequency = 440.0, double amplitude = 0.5);
    std::unique_ptr<ChildProcess> startPlayer(const std::string& appID, const std::string& appName,
                                              const ToneOptions& tone);

private:
    void writeConfiguration() const;

    std::vector<std::string> modulesLeftOut_;
    QTemporaryDir dir_;
    std::unique_ptr<ChildProcess> session_;
    int pipewirePid_ = -1;
    int wireplumberPid_ = -1;
    int pulsePid_ = -1;
    int starts_ = 0;
    int commands_ = 0;
    std::string error_;
};

// Nodes, links and metadata entries of Kestrelamp in a pw-dump graph, described for messages.
std::vector<std::string> kestrelampObjects(const nlohmann::json& graph);

// Repeats until the predicate holds or the time is up; returns the predicate.
bool pollUntil(const std::function<bool()>& predicate, int timeoutMs);

} // namespace kestrelamp::e2e
