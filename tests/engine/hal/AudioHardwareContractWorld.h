#pragma once

// A running audio system behind an AudioHardware, as the contract tests drive it. One
// implementation per AudioHardware: the simulated one renders on demand, the PipeWire one runs a
// private server in real time. Calls that change the world return once hardware() shows the
// change; audio itself takes time, so tests poll levels with waitUntil.

#include "engine/hal/AudioHardware.h"

#include <chrono>
#include <optional>
#include <string>

namespace kestrelamp::hal::test {

class AudioHardwareContractWorld {
public:
    virtual ~AudioHardwareContractWorld() = default;

    virtual AudioHardware& hardware() = 0;

    // A two-channel device with output streams only (or input streams only), whose "lnam" is the
    // description. Returns its object id, or kAudioObjectUnknown when it could not be made.
    virtual AudioObjectID addOutputDevice(const std::string& uid,
                                          const std::string& description) = 0;
    virtual AudioObjectID addInputDevice(const std::string& uid,
                                         const std::string& description) = 0;
    virtual void removeDevice(const std::string& uid) = 0;

    // A process with that bundle identifier (its running application named name) playing a sine
    // on both channels into the default output device. Returns its process object id, or
    // kAudioObjectUnknown.
    virtual AudioObjectID startPlayer(const std::string& bundleID, const std::string& name,
                                      double frequency, float amplitude) = 0;
    virtual void stopPlayer(const std::string& bundleID) = 0;
    // As another client would (a desktop's sound settings, another mixer): sends the player's
    // streams to the output device with that UID. False when it could not be done.
    virtual bool moveProcessElsewhere(const std::string& bundleID, const std::string& uid) = 0;

    // A program with that bundle identifier recording two channels from the default input.
    // False when it could not be started.
    virtual bool startRecorder(const std::string& bundleID, const std::string& name) = 0;
    virtual void stopRecorder(const std::string& bundleID) = 0;
    // As another client would: has the recorder record from the input device with that UID.
    virtual bool moveRecorderElsewhere(const std::string& bundleID, const std::string& uid) = 0;

    // From now on the service is refused what routes to the device need, as a server that denies
    // this client something does (a server may refuse it for every device); returns the words the
    // refusal comes with, which the aggregate's "why?" is to hold.
    virtual std::string refuseRoutesTo(const std::string& uid) = 0;

    // Lets about that much audio flow.
    virtual void letTimePass(std::chrono::milliseconds duration) = 0;
    // dBFS (20·log10 of the RMS over every channel, never below −120) of what the device played
    // in the last window; nothing for a device the world does not know.
    virtual std::optional<double> playedLevel(const std::string& uid,
                                              std::chrono::milliseconds window) = 0;

    // The default output device as another program sees and changes it; "" when there is none.
    virtual void setDefaultOutput(const std::string& uid) = 0;
    virtual std::string defaultOutput() = 0;
};

} // namespace kestrelamp::hal::test
