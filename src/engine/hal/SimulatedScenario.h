#pragma once

// Scenario files: a simulated audio world described in JSON.
//
//   {
//     "processes":   [ { "bundleID": "org.example.Player", "pid": 4242, "running": true,
//                        "signal": { "type": "sine", "frequency": 440, "amplitude": 0.5,
//                                    "channels": 2 } },
//                      { "pid": 4243,
//                        "client": { "application.process.binary": "python3",
//                                    "application.name": "python3" },
//                        "stream": { "media.name": "Playback" },
//                        "commandLine": [ "python3", "/usr/bin/radio.py" ],
//                        "parentCommandLine": [ "bash" ] } ],
//     "runningApps": [ { "bundleID": "org.example.Player", "name": "Player",
//                        "icon": "multimedia-player", "activationPolicy": "regular" } ],
//     "desktopEntries": [ { "id": "org.example.Radio", "name": "Radio", "icon": "radio",
//                           "executable": "radio", "startupWMClass": "Radio",
//                           "noDisplay": false } ],
//     "devices":     [ { "uid": "speakers", "name": "Speakers", "manufacturer": "Acme",
//                        "outputStreams": 1, "inputStreams": 0, "transport": "bltn",
//                        "sampleRate": 48000, "channels": 2 } ],
//     "defaultOutput": "speakers",
//     "defaultInput":  "microphone",
//     "recorders":   [ { "bundleID": "org.example.Recorder", "name": "Recorder", "pid": 4250,
//                        "level": -20 } ],
//     "failures":    [ { "object": "device:speakers", "selector": "lnam", "scope": "glob",
//                        "status": 2003332927 } ],
//     "refusedConnections": [ { "device": "speakers", "status": "nope",
//                               "reason": "the sound server refused a link: …" } ]
//   }
//
// Object ids follow file order, processes first, then devices, then recorders, from 2 upwards;
// processes with the same bundle identifier share one process object (see SimulatedAudioHardware).
// A process without "bundleID" is keyed by what its "client" and "stream" properties and its
// command lines tell (simulatedProcessIdentity); one announcing properties is an audio client,
// named as on Linux from them and the "desktopEntries" unless "runningApps" holds its key. Every
// key is optional except a device's "uid", a recorder's "bundleID", a running application's
// "bundleID" and a desktop entry's "id" and "name"; a null value counts as absent; unknown keys are
// ignored. Defaults: empty bundle identifier, pid 0, running, silence; a recorder named by its
// bundle identifier, receiving silence (its "level" is in dBFS, -120 to 0); one output stream, no
// input stream, transport 0, two channels, no sample rate (its read fails), the UID as name, an
// empty manufacturer; activation policy "regular"; no default output; the first device with an
// input stream as the default input; scope "glob". A signal's "type" is "sine", "noise" or
// "silence" (frequency 440, amplitude 0.5, two channels unless given). "transport" and "selector"
// are four-character codes or integers; "status" is an integer or a four-character code; "object"
// is "system", "process:BUNDLEID" (the first such process), "device:UID" (the first such device) or
// an object id. A refused connection has every route to its device refused as the service connects
// it
// ("acr?" answers the status, "why?" the reason, which defaults to the status in words); its
// "device" and "status" are required.

#include "engine/hal/SimulatedAudioHardware.h"
#include "platform/Expected.h"
#include "platform/SimulatedRunningApplications.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrelamp::hal {

// Names the key at fault, and the file when there is one.
struct ScenarioError {
    std::string description;
};

struct ScenarioFailure {
    enum class Target { system, process, device, objectID };

    Target target = Target::system;
    std::string name; // bundle identifier or device UID
    AudioObjectID objectID = kAudioObjectUnknown;
    AudioObjectPropertySelector selector = 0;
    AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal;
    OSStatus status = noErr;
};

// Routes to the device are refused: see SimulatedAudioHardware::refuseConnections.
struct ScenarioRefusal {
    std::string deviceUID;
    OSStatus status = noErr;
    std::string reason;
};

// A parsed scenario, every reference checked.
struct Scenario {
    std::vector<SimulatedProcess> processes;
    std::vector<std::pair<std::string, RunningApplication>> runningApps;
    std::vector<DesktopEntry> desktopEntries;
    std::vector<SimulatedDevice> devices;
    std::optional<std::string> defaultOutput;
    std::optional<std::string> defaultInput;
    std::vector<SimulatedRecorder> recorders;
    std::vector<ScenarioFailure> failures;
    std::vector<ScenarioRefusal> refusedConnections;
};

struct SimulatedWorld {
    std::unique_ptr<SimulatedAudioHardware> hardware;
    std::unique_ptr<SimulatedRunningApplications> runningApplications;
};

Expected<Scenario, ScenarioError> parseScenario(std::string_view json);
SimulatedWorld makeSimulatedWorld(const Scenario& scenario);

// Both all or nothing: a scenario with one fault yields only the error.
Expected<SimulatedWorld, ScenarioError> loadScenario(std::string_view json);
Expected<SimulatedWorld, ScenarioError> loadScenarioFile(const std::string& path);

} // namespace kestrelamp::hal
