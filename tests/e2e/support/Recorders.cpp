#include "support/Recorders.h"

#include "support/LevelMeter.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

namespace kestrelamp::e2e {

namespace {

constexpr double kRate = 48000.0;

} // namespace

TestMicrophone::TestMicrophone(PipeWireSession& session, const std::string& name,
                               const std::string& description, double frequency)
    : session_(session)
    , name_(name) {
    // A virtual source of its own, as the call mix is one: what plays into its inputs comes out.
    SinkOptions options;
    options.mediaClass = "Audio/Source/Virtual";
    session_.createSink(name, description, options);
    ToneOptions tone;
    tone.frequencies = {frequency};
    toneFile_ = session_.toneFile(tone);
    startVoice();
    MeterFormat format;
    format.source = true;
    listener_ = std::make_unique<LevelMeter>(name, format);
    ensureSounding();
}

std::string TestMicrophone::voiceName() const {
    return name_ + "_voice";
}

void TestMicrophone::startVoice() {
    voice_.reset();
    voice_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"pw-play", "-P",
                                 "{ application.id=org.example.Voice." + name_ +
                                     " node.name=" + voiceName() + " node.autoconnect=false }",
                                 toneFile_},
        session_.logPath(name_ + "-voice"));
    linkVoice();
}

void TestMicrophone::linkVoice() {
    for (const char* channel : {"FL", "FR"}) {
        pollUntil([&] { return link(channel, true); }, 5000);
    }
}

bool TestMicrophone::link(const char* channel, bool connect) {
    std::vector<std::string> argv{"pw-link", voiceName() + ":output_" + channel,
                                  name_ + ":input_" + channel};
    if (!connect) {
        argv.insert(argv.begin() + 1, "-d");
    }
    return runCommand(argv, session_.logPath(name_ + "-link"), 3000).status == 0;
}

// A link made while the player still sets itself up, or a player whose source went idle, now and
// then carries nothing: the links are made again until the source sounds. A player that stays
// silent through that, though linked and running, is stuck: a new one takes its place.
bool TestMicrophone::ensureSounding() {
    const auto sounds = [&] {
        return pollUntil(
            [&] { return listener_->measureDbfs(4800, 1000).value_or(-120.0) > -60.0; }, 2000);
    };
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (sounds()) {
            return true;
        }
        if (attempt < 2) {
            link("FL", false);
            link("FR", false);
            linkVoice();
        } else {
            startVoice();
        }
    }
    return sounds();
}

TestMicrophone::~TestMicrophone() {
    listener_.reset();
    voice_.reset();
    session_.destroyNode(name_);
}

PulseRecorder::PulseRecorder(PipeWireSession& session, const std::string& appID,
                             const std::optional<std::string>& device)
    : file_(session.path() + "/" + appID + "-" +
            std::to_string(reinterpret_cast<std::uintptr_t>(this)) + ".raw") {
    std::vector<std::string> argv{"parecord",
                                  "--raw",
                                  "--latency-msec=20",
                                  "--format=float32le",
                                  "--rate=48000",
                                  "--channels=2",
                                  "--property=application.id=" + appID,
                                  "--property=application.name=" + appID};
    if (device) {
        argv.push_back("--device=" + *device);
    }
    argv.push_back(file_);
    process_ = std::make_unique<ChildProcess>(argv, session.logPath("parecord-" + appID));
}

std::optional<std::vector<float>> PulseRecorder::last(double seconds) const {
    std::ifstream raw(file_, std::ios::binary | std::ios::ate);
    const auto wanted = std::streamoff(std::size_t(seconds * kRate) * 2 * sizeof(float));
    const std::streamoff size = raw ? std::streamoff(raw.tellg()) : 0;
    // Whole frames only: the file grows while it is read.
    const std::streamoff end = size - size % std::streamoff(2 * sizeof(float));
    if (end < wanted) {
        return std::nullopt;
    }
    raw.seekg(end - wanted);
    std::vector<float> frames(std::size_t(wanted) / sizeof(float));
    raw.read(reinterpret_cast<char*>(frames.data()), wanted);
    return frames;
}

std::string PulseRecorder::describe() const {
    std::ifstream raw(file_, std::ios::binary | std::ios::ate);
    return std::to_string(raw ? std::streamoff(raw.tellg()) : 0) + " bytes; " + process_->log();
}

double PulseRecorder::toneDbfs(double frequency) const {
    const auto frames = last(0.5);
    return frames ? toneInRecording(*frames, frequency, kRate) : -120.0;
}

double PulseRecorder::rmsDbfs() const {
    const auto frames = last(0.5);
    if (!frames || frames->empty()) {
        return -120.0;
    }
    double squares = 0;
    for (const float sample : *frames) {
        squares += double(sample) * sample;
    }
    return dbfs(std::sqrt(squares / double(frames->size())));
}

double toneInRecording(const std::vector<float>& samples, double frequency, double rate) {
    const std::size_t frames = samples.size() / 2;
    double re = 0;
    double im = 0;
    double windowSum = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(frames));
        const double phase = 2 * M_PI * frequency * double(i) / rate;
        re += w * samples[2 * i] * std::cos(phase);
        im -= w * samples[2 * i] * std::sin(phase);
        windowSum += w;
    }
    const double amplitude = windowSum > 0 ? 2 * std::hypot(re, im) / windowSum : 0;
    return dbfs(amplitude / std::sqrt(2.0));
}

} // namespace kestrelamp::e2e
