// Simulated-scenario files (--simulate): what parses is valid text and can be written back as a
// scenario that parses to the same world; the world can be built from it.

#include "FuzzCheck.h"

#include "engine/hal/SimulatedScenario.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>

using namespace kestrelamp;
using namespace kestrelamp::fuzz;
using namespace kestrelamp::hal;
using nlohmann::json;

namespace {

std::string codeText(std::uint32_t code) {
    return {char(code >> 24), char(code >> 16), char(code >> 8), char(code)};
}

// Every key written out, so that no default stands in for a value.
json toJson(const Scenario& scenario) {
    json root = json::object();
    json processes = json::array();
    for (const SimulatedProcess& process : scenario.processes) {
        const SimulatedSignal& signal = process.signal;
        const char* type = signal.type == SimulatedSignal::Type::sine    ? "sine"
                           : signal.type == SimulatedSignal::Type::noise ? "noise"
                                                                         : "silence";
        processes.push_back({{"bundleID", process.bundleID},
                             {"pid", process.pid},
                             {"running", process.running},
                             {"signal",
                              {{"type", type},
                               {"frequency", signal.frequency},
                               {"amplitude", double(signal.amplitude)},
                               {"channels", signal.channels}}},
                             {"client", process.clientProperties},
                             {"stream", process.streamProperties},
                             {"commandLine", process.commandLine},
                             {"parentCommandLine", process.parentCommandLine}});
    }
    root["processes"] = processes;
    json desktopEntries = json::array();
    for (const DesktopEntry& entry : scenario.desktopEntries) {
        json object = {{"id", entry.id},
                       {"name", entry.name},
                       {"executable", entry.executable},
                       {"startupWMClass", entry.startupWMClass},
                       {"noDisplay", entry.noDisplay}};
        if (entry.icon) {
            object["icon"] = *entry.icon;
        }
        desktopEntries.push_back(object);
    }
    root["desktopEntries"] = desktopEntries;
    json runningApps = json::array();
    for (const auto& [bundleID, application] : scenario.runningApps) {
        json app = {{"bundleID", bundleID}};
        if (application.localizedName) {
            app["name"] = *application.localizedName;
        }
        if (application.icon) {
            app["icon"] = *application.icon;
        }
        app["activationPolicy"] =
            application.activationPolicy == ActivationPolicy::regular     ? "regular"
            : application.activationPolicy == ActivationPolicy::accessory ? "accessory"
                                                                          : "prohibited";
        runningApps.push_back(app);
    }
    root["runningApps"] = runningApps;
    json devices = json::array();
    for (const SimulatedDevice& device : scenario.devices) {
        json object = {{"uid", device.uid},
                       {"manufacturer", device.manufacturer},
                       {"outputStreams", device.outputStreams},
                       {"inputStreams", device.inputStreams},
                       {"transport", device.transportType},
                       {"channels", device.outputChannels}};
        if (device.name) {
            object["name"] = *device.name;
        }
        if (device.nominalSampleRate) {
            object["sampleRate"] = *device.nominalSampleRate;
        }
        devices.push_back(object);
    }
    root["devices"] = devices;
    if (scenario.defaultOutput) {
        root["defaultOutput"] = *scenario.defaultOutput;
    }
    json failures = json::array();
    for (const ScenarioFailure& failure : scenario.failures) {
        json target;
        switch (failure.target) {
        case ScenarioFailure::Target::system:
            target = "system";
            break;
        case ScenarioFailure::Target::process:
            target = "process:" + failure.name;
            break;
        case ScenarioFailure::Target::device:
            target = "device:" + failure.name;
            break;
        case ScenarioFailure::Target::objectID:
            target = failure.objectID;
            break;
        }
        failures.push_back({{"object", target},
                            {"selector", failure.selector},
                            {"scope", codeText(failure.scope)},
                            {"status", failure.status}});
    }
    root["failures"] = failures;
    json refusals = json::array();
    for (const ScenarioRefusal& refusal : scenario.refusedConnections) {
        refusals.push_back({{"device", refusal.deviceUID},
                            {"status", refusal.status},
                            {"reason", refusal.reason}});
    }
    root["refusedConnections"] = refusals;
    return root;
}

bool sameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool sameSignal(const SimulatedSignal& a, const SimulatedSignal& b) {
    return a.type == b.type && sameBits(a.frequency, b.frequency) &&
           sameBits(double(a.amplitude), double(b.amplitude)) && a.channels == b.channels;
}

bool sameScenario(const Scenario& a, const Scenario& b) {
    if (a.processes.size() != b.processes.size() || a.runningApps.size() != b.runningApps.size() ||
        a.desktopEntries.size() != b.desktopEntries.size() ||
        a.devices.size() != b.devices.size() || a.failures.size() != b.failures.size() ||
        a.refusedConnections.size() != b.refusedConnections.size() ||
        a.defaultOutput != b.defaultOutput) {
        return false;
    }
    for (std::size_t i = 0; i < a.processes.size(); ++i) {
        const auto& p = a.processes[i];
        const auto& q = b.processes[i];
        if (p.bundleID != q.bundleID || p.pid != q.pid || p.running != q.running ||
            !sameSignal(p.signal, q.signal) || p.clientProperties != q.clientProperties ||
            p.streamProperties != q.streamProperties || p.commandLine != q.commandLine ||
            p.parentCommandLine != q.parentCommandLine) {
            return false;
        }
    }
    for (std::size_t i = 0; i < a.desktopEntries.size(); ++i) {
        const auto& d = a.desktopEntries[i];
        const auto& e = b.desktopEntries[i];
        if (d.id != e.id || d.name != e.name || d.icon != e.icon || d.executable != e.executable ||
            d.startupWMClass != e.startupWMClass || d.noDisplay != e.noDisplay) {
            return false;
        }
    }
    for (std::size_t i = 0; i < a.runningApps.size(); ++i) {
        const auto& [idA, appA] = a.runningApps[i];
        const auto& [idB, appB] = b.runningApps[i];
        if (idA != idB || appA.localizedName != appB.localizedName || appA.icon != appB.icon ||
            appA.activationPolicy != appB.activationPolicy) {
            return false;
        }
    }
    for (std::size_t i = 0; i < a.devices.size(); ++i) {
        const auto& d = a.devices[i];
        const auto& e = b.devices[i];
        const bool sameRate =
            d.nominalSampleRate.has_value() == e.nominalSampleRate.has_value() &&
            (!d.nominalSampleRate || sameBits(*d.nominalSampleRate, *e.nominalSampleRate));
        if (d.uid != e.uid || d.name != e.name || d.manufacturer != e.manufacturer ||
            d.outputStreams != e.outputStreams || d.inputStreams != e.inputStreams ||
            d.transportType != e.transportType || !sameRate ||
            d.outputChannels != e.outputChannels) {
            return false;
        }
    }
    for (std::size_t i = 0; i < a.failures.size(); ++i) {
        const auto& f = a.failures[i];
        const auto& g = b.failures[i];
        if (f.target != g.target || f.name != g.name || f.objectID != g.objectID ||
            f.selector != g.selector || f.scope != g.scope || f.status != g.status) {
            return false;
        }
    }
    for (std::size_t i = 0; i < a.refusedConnections.size(); ++i) {
        const auto& r = a.refusedConnections[i];
        const auto& t = b.refusedConnections[i];
        if (r.deviceUID != t.deviceUID || r.status != t.status || r.reason != t.reason) {
            return false;
        }
    }
    return true;
}

void checkText(const Scenario& scenario) {
    for (const auto& process : scenario.processes) {
        requireUtf8(process.bundleID, "process bundleID");
    }
    for (const auto& entry : scenario.desktopEntries) {
        requireUtf8(entry.id, "desktop entry id");
        requireUtf8(entry.name, "desktop entry name");
        requireUtf8(entry.executable, "desktop entry executable");
    }
    for (const auto& [bundleID, application] : scenario.runningApps) {
        requireUtf8(bundleID, "running app bundleID");
        requireUtf8(application.localizedName, "running app name");
        requireUtf8(application.icon, "running app icon");
    }
    for (const auto& device : scenario.devices) {
        requireUtf8(device.uid, "device uid");
        requireUtf8(device.name, "device name");
        requireUtf8(device.manufacturer, "device manufacturer");
    }
    for (const auto& refusal : scenario.refusedConnections) {
        requireUtf8(refusal.reason, "refusal reason");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parsed = parseScenario(bytesOf(data, size));
    if (!parsed) {
        requireUtf8(parsed.error().description, "scenario error");
        return 0;
    }
    checkText(*parsed);
    for (const auto& process : parsed->processes) {
        const SimulatedSignal& signal = process.signal;
        require(std::isfinite(signal.frequency) && signal.frequency > 0, "signal frequency");
        require(std::isfinite(signal.amplitude), "signal amplitude");
    }
    const std::string written = toJson(*parsed).dump();
    const auto reparsed = parseScenario(written);
    require(reparsed.hasValue(), "written scenario parses",
            reparsed ? written : reparsed.error().description + "\n" + written);
    require(sameScenario(*parsed, *reparsed), "same scenario after a round trip", written);

    const SimulatedWorld world = makeSimulatedWorld(*parsed);
    for (const SimulatedDevice& device : parsed->devices) {
        require(world.hardware->deviceID(device.uid) != kAudioObjectUnknown, "device in the world",
                device.uid);
    }
    // A process is listed under the key it was parsed with, and one that announces something is
    // a client named in valid text.
    for (const SimulatedProcess& process : parsed->processes) {
        if (process.bundleID.empty()) {
            continue;
        }
        require(world.hardware->processID(process.bundleID) != kAudioObjectUnknown,
                "process in the world", process.bundleID);
        if (process.clientProperties.empty() && process.streamProperties.empty()) {
            continue;
        }
        require(!world.hardware->audioClients(process.bundleID).empty(), "process is a client",
                process.bundleID);
        if (const auto running =
                world.runningApplications->firstRunningApplication(process.bundleID)) {
            requireUtf8(running->localizedName, "client name");
        }
    }
    return 0;
}
