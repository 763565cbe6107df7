#pragma once

// Programs nobody here wrote, as Debian ships them, each playing a sine of its own on the
// session's server until ended: a PulseAudio player, a GStreamer pipeline, an ALSA player and a
// headless browser with an autoplaying page.

#include "ChildProcess.h"
#include "PipeWireSession.h"

#include <memory>
#include <string>

namespace kestrelamp::e2e {

enum class ClientKind { paplay, gstreamer, aplay, firefox };

// The key Kestrelamp lists the client's application under.
std::string clientAppID(ClientKind kind);
// For messages.
std::string clientName(ClientKind kind);

// What every client plays at: 0.25, a level several of them can share a sink with.
inline constexpr double kClientAmplitude = 0.25;

class RealClients {
public:
    explicit RealClients(PipeWireSession& session);

    // The client playing the sine from its start, for a minute (the browser loops it).
    std::unique_ptr<ChildProcess> start(ClientKind kind, double frequency);
    // A browser page that plays `first` for firstSeconds and, once that ended, opens a new
    // audio element for `then`, looped.
    std::unique_ptr<ChildProcess> startBrowser(double first, int firstSeconds, double then);
    // pacat whose stream exists delayMs before its first sound.
    std::unique_ptr<ChildProcess> startLatePacat(double frequency, int delayMs);

private:
    std::string tone(double frequency, int seconds = 240);
    std::string page(const std::string& first, bool loopFirst, const std::string& then);
    std::unique_ptr<ChildProcess> startFirefox(const std::string& page);
    std::string logPath(const std::string& what);

    PipeWireSession& session_;
    int started_ = 0;
};

} // namespace kestrelamp::e2e
