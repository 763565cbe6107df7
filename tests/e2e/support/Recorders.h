#pragma once

// Microphones of the tests' own and programs that record, heard through what they record.

#include "support/ChildProcess.h"
#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrelamp::e2e {

// A source of its own (node name `name`) that sounds a sine.
class TestMicrophone {
public:
    TestMicrophone(PipeWireSession& session, const std::string& name,
                   const std::string& description, double frequency);
    ~TestMicrophone();
    TestMicrophone(const TestMicrophone&) = delete;
    TestMicrophone& operator=(const TestMicrophone&) = delete;

    // True once it sounds (it is linked to its player again if need be).
    bool ensureSounding();

private:
    std::string voiceName() const;
    void startVoice();
    void linkVoice();
    bool link(const char* channel, bool connect);

    PipeWireSession& session_;
    std::string name_;
    std::string toneFile_;
    std::unique_ptr<ChildProcess> voice_;
    // A source nothing records from goes idle, and its player does not always come back with it.
    std::unique_ptr<LevelMeter> listener_;
};

// parecord recording two channels of floats at 48 kHz into a file, as a call program records: from
// the default source, or from `device`.
class PulseRecorder {
public:
    PulseRecorder(PipeWireSession& session, const std::string& appID,
                  const std::optional<std::string>& device = std::nullopt);
    // The interleaved stereo frames of the last `seconds`; nothing before that much was recorded.
    std::optional<std::vector<float>> last(double seconds) const;
    // The sine's level in channel 0 of the last half second; -120 before there is one.
    double toneDbfs(double frequency) const;
    // RMS over both channels of the last half second, in dBFS; -120 before there is one.
    double rmsDbfs() const;
    // What it said, and how much it recorded: for failure messages.
    std::string describe() const;

private:
    std::string file_;
    std::unique_ptr<ChildProcess> process_;
};

// The level (dBFS, as LevelMeter::toneDbfs gives it) of a sine in channel 0 of interleaved
// stereo floats, over a Hann window.
double toneInRecording(const std::vector<float>& samples, double frequency, double rate);

} // namespace kestrelamp::e2e
