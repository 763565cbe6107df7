#include "PipeWireSession.h"

#include "platform/RunningApplications.h"

#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <regex>
#include <set>
#include <unistd.h>

namespace kestrelamp::e2e {

namespace {

std::string sinkObject(const std::string& name, const std::string& description, int priority) {
    return "  { factory = adapter args = { factory.name = support.null-audio-sink node.name = \"" +
           name + "\" node.description = \"" + description +
           "\" media.class = \"Audio/Sink\" audio.position = [ FL FR ] audio.rate = 48000 "
           "priority.session = " +
           std::to_string(priority) + " priority.driver = " + std::to_string(priority) +
           " session.suspend-timeout-seconds = 0 } }\n";
}

// An object's properties as pw-dump prints them.
nlohmann::json propsOf(const nlohmann::json& object) {
    return object.value("info", nlohmann::json::object()).value("props", nlohmann::json::object());
}

} // namespace

// Objects of ours still in the graph: nodes, links owned by our clients, metadata entries.
std::vector<std::string> kestrelampObjects(const nlohmann::json& graph) {
    std::vector<std::string> found;
    std::set<std::uint32_t> ourClients;
    std::set<std::uint32_t> ourNodes;
    for (const auto& object : graph) {
        const auto props = propsOf(object);
        const std::string type = object.value("type", "");
        const std::uint32_t id = object.value("id", 0u);
        if (type == "PipeWire:Interface:Client" &&
            props.value("application.id", "") == kKestrelampBundleIdentifier) {
            ourClients.insert(id);
        }
    }
    for (const auto& object : graph) {
        const auto props = propsOf(object);
        const std::string type = object.value("type", "");
        const std::uint32_t id = object.value("id", 0u);
        const std::string name = props.value("node.name", "");
        if (type == "PipeWire:Interface:Node" &&
            (name.starts_with("com.kestrelamp") ||
             props.value("application.id", "") == kKestrelampBundleIdentifier)) {
            ourNodes.insert(id);
            found.push_back("node " + name + " \"" + props.value("node.description", "") + "\"");
        }
        if (type == "PipeWire:Interface:Link" && props.contains("client.id") &&
            ourClients.count(props.value("client.id", 0u)) > 0) {
            found.push_back("link " + std::to_string(id));
        }
        if (type == "PipeWire:Interface:Metadata" && object.contains("metadata")) {
            for (const auto& entry : object["metadata"]) {
                const auto value = entry.value("value", nlohmann::json());
                const std::string key = entry.value("key", std::string());
                if ((value.is_string() && value.get<std::string>().starts_with("com.kestrelamp")) ||
                    key.starts_with("com.kestrelamp")) {
                    found.push_back("metadata " + key + "=" +
                                    (value.is_string() ? value.get<std::string>() : value.dump()));
                }
            }
        }
    }
    return found;
}

bool pollUntil(const std::function<bool()>& predicate, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!predicate()) {
        if (deadline.hasExpired()) {
            return predicate();
        }
        QThread::msleep(20);
    }
    return true;
}

PipeWireSession::PipeWireSession(std::vector<std::string> modulesLeftOut)
    : modulesLeftOut_(std::move(modulesLeftOut)) {
    const std::string root = path();
    for (const char* sub : {"/run", "/config/pipewire/pipewire.conf.d", "/state", "/data", "/cache",
                            "/logs", "/tones"}) {
        QDir().mkpath(QString::fromStdString(root + sub));
    }
    QFile::setPermissions(QString::fromStdString(root + "/run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    writeConfiguration();
    // Every PipeWire client of this process, and every process it starts, talks to this server.
    ::setenv("XDG_RUNTIME_DIR", (root + "/run").c_str(), 1);
    ::setenv("PIPEWIRE_RUNTIME_DIR", (root + "/run").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (root + "/state").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (root + "/cache").c_str(), 1);
    ::unsetenv("PIPEWIRE_REMOTE");
    ::unsetenv("PULSE_SERVER");
}

PipeWireSession::~PipeWireSession() {
    stop();
}

void PipeWireSession::writeConfiguration() const {
    std::ofstream config(path() + "/config/pipewire/pipewire.conf.d/kestrelamp-e2e.conf");
    // 44.1 kHz too, so that the graph switches rate for such an application, as desktops do.
    config << "context.properties = { default.clock.rate = 48000 "
              "default.clock.allowed-rates = [ 44100 48000 ] }\n"
           << "context.objects = [\n"
           << sinkObject(kSinkA, kSinkADescription, 2000)
           << sinkObject(kSinkB, kSinkBDescription, 1000) << "]\n";
    if (modulesLeftOut_.empty()) {
        return;
    }
    // A module cannot be taken away by a drop-in: the user's copy of the whole file replaces the
    // system's, and the drop-ins above still apply to it.
    const char* system = QFile::exists("/etc/pipewire/pipewire.conf")
                             ? "/etc/pipewire/pipewire.conf"
                             : "/usr/share/pipewire/pipewire.conf";
    std::ifstream in(system);
    std::ofstream out(path() + "/config/pipewire/pipewire.conf");
    for (std::string line; std::getline(in, line);) {
        const bool leftOut =
            std::any_of(modulesLeftOut_.begin(), modulesLeftOut_.end(), [&](const std::string& m) {
                return std::regex_match(line,
                                        std::regex("\\s*\\{\\s*name\\s*=\\s*" + m + "\\s*\\}\\s*"));
            });
        if (!leftOut) {
            out << line << "\n";
        }
    }
}

std::string PipeWireSession::logPath(const std::string& name) const {
    return path() + "/logs/" + name + ".log";
}

bool PipeWireSession::start() {
    stop();
    error_.clear();
    ++starts_;
    const std::string log = logPath("session-" + std::to_string(starts_));
    // The shell reports both pids, so that each can be ended by its own, and ends both if the
    // test process dies without doing so.
    const std::string script =
        "pipewire & pw=$!; echo \"pipewire-pid=$pw\"; "
        // The session manager gives up at once when the server is not listening yet.
        "i=0; while [ ! -S \"$XDG_RUNTIME_DIR/pipewire-0\" ] && [ $i -lt 200 ]; do sleep 0.05; "
        "i=$((i+1)); done; "
        "wireplumber & wp=$!; echo \"wireplumber-pid=$wp\"; "
        "pipewire-pulse & pp=$!; echo \"pulse-pid=$pp\"; "
        "(while kill -0 " +
        std::to_string(::getpid()) +
        " 2>/dev/null; do sleep 1; done; kill $pw $wp $pp 2>/dev/null) & dog=$!; "
        "wait $pw $wp; kill $pp $dog 2>/dev/null";
    session_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"dbus-run-session", "--", "sh", "-c", script}, log);
    if (!session_->started()) {
        error_ = "dbus-run-session could not be started";
        session_.reset();
        return false;
    }
    const std::regex pidPattern("(pipewire|wireplumber|pulse)-pid=([0-9]+)");
    const bool pidsKnown = pollUntil(
        [&] {
            const std::string text = session_->log();
            for (auto it = std::sregex_iterator(text.begin(), text.end(), pidPattern);
                 it != std::sregex_iterator(); ++it) {
                const int pid = std::stoi((*it)[2]);
                ((*it)[1] == "pipewire"      ? pipewirePid_
                 : (*it)[1] == "wireplumber" ? wireplumberPid_
                                             : pulsePid_) = pid;
            }
            return pipewirePid_ > 0 && wireplumberPid_ > 0 && pulsePid_ > 0;
        },
        5000);
    // Up once the session manager has made sink A the default and listed sink B.
    const bool up =
        pidsKnown &&
        pollUntil([&] { return defaultSink() == kSinkA && nodeID(kSinkB).has_value(); }, 15000);
    if (!up) {
        error_ = "the PipeWire session did not come up:\n" + session_->log();
        stop();
        return false;
    }
    return true;
}

void PipeWireSession::stop() {
    if (!session_) {
        return;
    }
    for (int* pid : {&pulsePid_, &wireplumberPid_, &pipewirePid_}) {
        if (*pid > 0) {
            ::kill(*pid, SIGCONT);
            ::kill(*pid, SIGTERM);
        }
    }
    if (!session_->waitForExit(5000)) {
        for (int* pid : {&pulsePid_, &wireplumberPid_, &pipewirePid_}) {
            if (*pid > 0) {
                ::kill(*pid, SIGKILL);
            }
        }
    }
    session_->stop();
    wireplumberPid_ = -1;
    pipewirePid_ = -1;
    pulsePid_ = -1;
    session_.reset();
}

void PipeWireSession::pauseServer() {
    if (pipewirePid_ > 0) {
        ::kill(pipewirePid_, SIGSTOP);
    }
}

void PipeWireSession::resumeServer() {
    if (pipewirePid_ > 0) {
        ::kill(pipewirePid_, SIGCONT);
    }
}

std::string PipeWireSession::logs() const {
    return session_ ? session_->log() : std::string();
}

nlohmann::json PipeWireSession::dump() const {
    // A dump taken while the graph changes now and then fails or is cut short: an empty graph
    // would read as every node gone.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto result = runCommand({"pw-dump"}, logPath("pw-dump"), 10000);
        // The log also catches stderr; the JSON array starts at the first '['.
        const auto start = result.output.find('[');
        if (result.status != 0 || start == std::string::npos) {
            continue;
        }
        auto parsed = nlohmann::json::parse(result.output.substr(start), nullptr, false);
        if (parsed.is_array()) {
            return parsed;
        }
    }
    return nlohmann::json::array();
}

std::optional<PipeWireSession::NodeIdentity>
PipeWireSession::nodeIdentity(const std::string& nodeName) const {
    for (const auto& object : dump()) {
        if (object.value("type", "") != "PipeWire:Interface:Node") {
            continue;
        }
        const auto props = propsOf(object);
        if (props.value("node.name", "") == nodeName) {
            const auto serial = props.find("object.serial");
            return NodeIdentity{object.value("id", 0u),
                                serial != props.end() && serial->is_number_unsigned()
                                    ? serial->get<std::uint64_t>()
                                    : 0};
        }
    }
    return std::nullopt;
}

std::optional<std::uint32_t> PipeWireSession::nodeID(const std::string& nodeName) const {
    const auto identity = nodeIdentity(nodeName);
    return identity ? std::optional(identity->id) : std::nullopt;
}

std::vector<PipeWireSession::NodeIdentity>
PipeWireSession::streamNodes(const std::string& appID, const std::string& mediaClass) const {
    std::vector<NodeIdentity> ids;
    for (const auto& object : dump()) {
        const auto props = propsOf(object);
        if (object.value("type", "") == "PipeWire:Interface:Node" &&
            props.value("media.class", "") == mediaClass &&
            props.value("application.id", "") == appID) {
            ids.push_back({object.value("id", 0u), props.value("object.serial", std::uint64_t(0))});
        }
    }
    return ids;
}

PipeWireSession::NodeIdentity PipeWireSession::onlyStream(const std::string& appID) const {
    std::vector<NodeIdentity> streams;
    pollUntil(
        [&] {
            streams = streamNodes(appID);
            return streams.size() == 1;
        },
        5000);
    return streams.size() == 1 ? streams.front() : NodeIdentity{};
}

std::optional<std::string> PipeWireSession::metadataValue(std::uint32_t subject,
                                                          const std::string& key) const {
    for (const auto& object : dump()) {
        if (object.value("type", "") != "PipeWire:Interface:Metadata" ||
            object.value("props", nlohmann::json::object()).value("metadata.name", "") !=
                "default" ||
            !object.contains("metadata")) {
            continue;
        }
        for (const auto& entry : object["metadata"]) {
            if (entry.value("subject", 0u) == subject && entry.value("key", "") == key) {
                const auto value = entry.value("value", nlohmann::json());
                return value.is_string() ? value.get<std::string>() : value.dump();
            }
        }
    }
    return std::nullopt;
}

bool PipeWireSession::moveWithPactl(const NodeIdentity& stream, const std::string& sinkName,
                                    const std::string& command) const {
    const auto before = metadataValue(stream.id, "target.object");
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto moved = runCommand({"pactl", command, std::to_string(stream.serial), sinkName},
                                      logPath("pactl-move"));
        if (moved.status != 0) {
            return false;
        }
        if (pollUntil([&] { return metadataValue(stream.id, "target.object") != before; }, 1500)) {
            return true;
        }
    }
    return false;
}

bool PipeWireSession::denyFactory(const std::string& applicationID,
                                  const std::string& factoryName) {
    std::optional<std::uint32_t> factory;
    std::vector<std::uint32_t> clients;
    for (const auto& object : dump()) {
        const auto props = propsOf(object);
        const std::string type = object.value("type", "");
        if (type == "PipeWire:Interface:Factory" &&
            props.value("factory.name", "") == factoryName) {
            factory = object.value("id", 0u);
        }
        if (type == "PipeWire:Interface:Client" &&
            props.value("application.id", "") == applicationID) {
            clients.push_back(object.value("id", 0u));
        }
    }
    if (!factory || clients.empty()) {
        return false;
    }
    return std::all_of(clients.begin(), clients.end(), [&](std::uint32_t client) {
        return runCommand(
                   {"pw-cli", "permissions", std::to_string(client), std::to_string(*factory), "0"},
                   logPath("pw-cli-" + std::to_string(++commands_)))
                   .status == 0;
    });
}

bool PipeWireSession::createSink(const std::string& name, const std::string& description,
                                 const SinkOptions& options) {
    if (nodeID(name)) {
        destroyNode(name);
    }
    std::string positions;
    for (const std::string& position : options.positions) {
        positions += position + " ";
    }
    const std::string rate =
        options.rate > 0 ? " audio.rate = " + std::to_string(options.rate) : std::string();
    const std::string properties =
        "{ factory.name = support.null-audio-sink node.name = \"" + name +
        "\" node.description = \"" + description + "\" media.class = " + options.mediaClass +
        " audio.position = [ " + positions + "]" + rate +
        " object.linger = true priority.session = 100 session.suspend-timeout-seconds = 0 }";
    const auto result = runCommand({"pw-cli", "create-node", "adapter", properties},
                                   logPath("pw-cli-" + std::to_string(++commands_)));
    // A sink is ready once the session manager has given it its ports.
    const bool sink = options.mediaClass == "Audio/Sink";
    const int ports = int(options.positions.size()) * 2;
    return result.status == 0 &&
           pollUntil([&] { return sink ? portCount(name) >= ports : nodeID(name).has_value(); },
                     5000);
}

int PipeWireSession::portCount(const std::string& nodeName) const {
    const auto node = nodeID(nodeName);
    int ports = 0;
    for (const auto& object : dump()) {
        ports += node && object.value("type", "") == "PipeWire:Interface:Port" &&
                 propsOf(object).value("node.id", 0u) == *node;
    }
    return ports;
}

bool PipeWireSession::destroyNode(const std::string& nodeName) {
    bool found = false;
    // Every node of that name: one left over from an earlier attempt goes as well.
    while (const auto id = nodeID(nodeName)) {
        found = true;
        runCommand({"pw-cli", "destroy", std::to_string(*id)},
                   logPath("pw-cli-" + std::to_string(++commands_)));
        if (!pollUntil([&] { return nodeID(nodeName) != id; }, 5000)) {
            return false;
        }
    }
    return found;
}

std::string PipeWireSession::defaultSink() const {
    const auto result = runCommand({"pw-metadata", "-n", "default", "0", "default.audio.sink"},
                                   logPath("pw-metadata"), 3000);
    const std::regex name("value:'\\{ *\"name\" *: *\"([^\"]*)\" *\\}'");
    std::smatch match;
    return std::regex_search(result.output, match, name) ? match[1].str() : std::string();
}

bool PipeWireSession::setDefaultSink(const std::string& nodeName) {
    runCommand({"pw-metadata", "-n", "default", "0", "default.configured.audio.sink",
                "{\"name\":\"" + nodeName + "\"}", "Spa:String:JSON"},
               logPath("pw-metadata-set"), 3000);
    const bool done = pollUntil([&] { return defaultSink() == nodeName; }, 5000);
    if (!done) {
        std::fprintf(stderr, "default sink is not %s after 5 s; the metadata:\n%s\n",
                     nodeName.c_str(),
                     runCommand({"pw-metadata", "-n", "default"}, logPath("pw-metadata"), 3000)
                         .output.c_str());
        const std::string log = logs();
        std::fprintf(stderr, "session log:\n%s\n",
                     log.substr(log.size() > 4000 ? log.size() - 4000 : 0).c_str());
    }
    return done;
}

std::string PipeWireSession::toneFile(const ToneOptions& tone) {
    std::string name = "tone";
    for (const double frequency : tone.frequencies) {
        name += "-" + std::to_string(int(frequency));
    }
    for (const std::string& position : tone.positions) {
        name += "-" + position;
    }
    name += "-" + std::to_string(int(tone.amplitude * 1000)) + "-" + std::to_string(tone.rate) +
            "-" + std::to_string(tone.seconds);
    const std::string file = path() + "/tones/" + name + ".wav";
    if (QFile::exists(QString::fromStdString(file))) {
        return file;
    }
    const auto channels = quint16(tone.positions.size());
    const quint32 frames = tone.rate * quint32(tone.seconds);
    const quint32 dataBytes = frames * channels * 2;
    QFile out(QString::fromStdString(file));
    if (!out.open(QIODevice::WriteOnly)) {
        return file;
    }
    QDataStream wav(&out);
    wav.setByteOrder(QDataStream::LittleEndian);
    wav.writeRawData("RIFF", 4);
    wav << quint32(36 + dataBytes);
    wav.writeRawData("WAVEfmt ", 8);
    wav << quint32(16) << quint16(1) << channels << quint32(tone.rate)
        << quint32(tone.rate * channels * 2) << quint16(channels * 2) << quint16(16);
    wav.writeRawData("data", 4);
    wav << dataBytes;
    for (quint32 frame = 0; frame < frames; ++frame) {
        for (std::size_t c = 0; c < channels; ++c) {
            const double frequency = tone.frequencies[std::min(c, tone.frequencies.size() - 1)];
            const double value =
                tone.amplitude * std::sin(2.0 * std::numbers::pi * frequency * frame / tone.rate);
            wav << qint16(std::lround(value * 32767.0));
        }
    }
    return file;
}

std::unique_ptr<ChildProcess> PipeWireSession::startPlayer(const std::string& appID,
                                                           const std::string& appName,
                                                           double frequency, double amplitude) {
    ToneOptions tone;
    tone.frequencies = {frequency};
    tone.amplitude = amplitude;
    return startPlayer(appID, appName, tone);
}

std::unique_ptr<ChildProcess> PipeWireSession::startPlayer(const std::string& appID,
                                                           const std::string& appName,
                                                           const ToneOptions& tone) {
    const std::string properties =
        "{ application.id=" + appID + " application.name=\"" + appName + "\" }";
    std::string map;
    for (const std::string& position : tone.positions) {
        map += (map.empty() ? "" : ",") + position;
    }
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{"pw-play", "-P", properties, "--channels",
                                 std::to_string(tone.positions.size()), "--channel-map", map,
                                 toneFile(tone)},
        logPath("player-" + std::to_string(++commands_)));
}

} // namespace kestrelamp::e2e
