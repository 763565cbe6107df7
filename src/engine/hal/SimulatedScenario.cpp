#include "engine/hal/SimulatedScenario.h"

#include "platform/Utf8.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

namespace kestrelamp::hal {
namespace {

using nlohmann::json;

// Thrown inside the parser only; parseScenario() turns it into a ScenarioError.
struct Failure {
    std::string description;
};

[[noreturn]] void fail(const std::string& path, const std::string& problem) {
    throw Failure{path + ": " + problem};
}

std::string keyPath(const std::string& parent, const char* key) {
    return parent.empty() ? std::string(key) : parent + "." + key;
}

std::string indexPath(const std::string& parent, std::size_t index) {
    return parent + "[" + std::to_string(index) + "]";
}

// The value under key, or nothing when it is missing or null.
const json* member(const json& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() || it->is_null() ? nullptr : &*it;
}

std::optional<std::int64_t> wholeNumber(const json& value) {
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number <= std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
            return std::int64_t(number);
        }
        return std::nullopt;
    }
    if (value.is_number_integer()) {
        return value.get<std::int64_t>();
    }
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) < 9.0e18) {
            return std::int64_t(number);
        }
    }
    return std::nullopt;
}

std::int64_t integerIn(const json& value, const std::string& path, std::int64_t low,
                       std::int64_t high) {
    const auto number = wholeNumber(value);
    if (!number) {
        fail(path, "expected an integer");
    }
    if (*number < low || *number > high) {
        fail(path, "must be from " + std::to_string(low) + " to " + std::to_string(high));
    }
    return *number;
}

std::optional<std::string> optionalString(const json& object, const std::string& parent,
                                          const char* key) {
    const json* value = member(object, key);
    if (!value) {
        return std::nullopt;
    }
    if (!value->is_string()) {
        fail(keyPath(parent, key), "expected a string");
    }
    return value->get<std::string>();
}

std::string requiredString(const json& object, const std::string& parent, const char* key) {
    auto value = optionalString(object, parent, key);
    if (!value) {
        fail(keyPath(parent, key), "is missing");
    }
    return std::move(*value);
}

bool optionalBool(const json& object, const std::string& parent, const char* key, bool fallback) {
    const json* value = member(object, key);
    if (!value) {
        return fallback;
    }
    if (!value->is_boolean()) {
        fail(keyPath(parent, key), "expected true or false");
    }
    return value->get<bool>();
}

std::int64_t optionalInteger(const json& object, const std::string& parent, const char* key,
                             std::int64_t fallback, std::int64_t low, std::int64_t high) {
    const json* value = member(object, key);
    return value ? integerIn(*value, keyPath(parent, key), low, high) : fallback;
}

std::optional<double> optionalNumber(const json& object, const std::string& parent,
                                     const char* key) {
    const json* value = member(object, key);
    if (!value) {
        return std::nullopt;
    }
    if (!value->is_number() || !std::isfinite(value->get<double>())) {
        fail(keyPath(parent, key), "expected a number");
    }
    return value->get<double>();
}

// "bltn" or 1651274862.
std::uint32_t codeOrInteger(const json& value, const std::string& path) {
    if (value.is_string()) {
        const auto text = value.get<std::string>();
        if (text.size() != 4) {
            fail(path, "expected a four-character code or an integer");
        }
        char code[5] = {text[0], text[1], text[2], text[3], '\0'};
        return fourCharCode(code);
    }
    if (!wholeNumber(value)) {
        fail(path, "expected a four-character code or an integer");
    }
    return std::uint32_t(integerIn(value, path, std::numeric_limits<std::int32_t>::min(),
                                   std::numeric_limits<std::uint32_t>::max()));
}

const json& arrayMember(const json& object, const char* key) {
    static const json empty = json::array();
    const json* value = member(object, key);
    if (!value) {
        return empty;
    }
    if (!value->is_array()) {
        fail(key, "expected an array");
    }
    return *value;
}

void requireObject(const json& value, const std::string& path) {
    if (!value.is_object()) {
        fail(path, "expected an object");
    }
}

constexpr std::int64_t kMaxChannels = 64;

SimulatedSignal parseSignal(const json& object, const std::string& path) {
    requireObject(object, path);
    const std::string type = requiredString(object, path, "type");
    SimulatedSignal signal;
    if (type == "sine") {
        signal.type = SimulatedSignal::Type::sine;
    } else if (type == "noise") {
        signal.type = SimulatedSignal::Type::noise;
    } else if (type == "silence") {
        signal.type = SimulatedSignal::Type::silence;
    } else {
        fail(keyPath(path, "type"), "expected \"sine\", \"noise\" or \"silence\"");
    }
    const double frequency = optionalNumber(object, path, "frequency").value_or(440.0);
    if (frequency <= 0) {
        fail(keyPath(path, "frequency"), "must be above 0");
    }
    signal.frequency = frequency;
    signal.amplitude = float(optionalNumber(object, path, "amplitude").value_or(0.5));
    signal.channels = std::uint32_t(optionalInteger(object, path, "channels", 2, 1, kMaxChannels));
    if (signal.type == SimulatedSignal::Type::silence) {
        signal.amplitude = 0.0f;
    }
    return signal;
}

ClientProperties optionalProperties(const json& object, const std::string& parent,
                                    const char* key) {
    const json* value = member(object, key);
    if (!value) {
        return {};
    }
    const std::string path = keyPath(parent, key);
    requireObject(*value, path);
    ClientProperties properties;
    for (const auto& [name, text] : value->items()) {
        if (!text.is_string()) {
            fail(keyPath(path, name.c_str()), "expected a string");
        }
        properties.emplace(name, text.get<std::string>());
    }
    return properties;
}

std::vector<std::string> optionalStrings(const json& object, const std::string& parent,
                                         const char* key) {
    const json* value = member(object, key);
    if (!value) {
        return {};
    }
    const std::string path = keyPath(parent, key);
    if (!value->is_array()) {
        fail(path, "expected an array");
    }
    std::vector<std::string> strings;
    for (std::size_t index = 0; index < value->size(); ++index) {
        if (!(*value)[index].is_string()) {
            fail(indexPath(path, index), "expected a string");
        }
        strings.push_back((*value)[index].get<std::string>());
    }
    return strings;
}

SimulatedProcess parseProcess(const json& object, const std::string& path) {
    requireObject(object, path);
    SimulatedProcess process;
    process.bundleID = optionalString(object, path, "bundleID").value_or("");
    process.pid = std::int32_t(optionalInteger(object, path, "pid", 0,
                                               std::numeric_limits<std::int32_t>::min(),
                                               std::numeric_limits<std::int32_t>::max()));
    process.running = optionalBool(object, path, "running", true);
    process.signal = SimulatedSignal::silence();
    if (const json* signal = member(object, "signal")) {
        process.signal = parseSignal(*signal, keyPath(path, "signal"));
    }
    process.clientProperties = optionalProperties(object, path, "client");
    process.streamProperties = optionalProperties(object, path, "stream");
    process.commandLine = optionalStrings(object, path, "commandLine");
    process.parentCommandLine = optionalStrings(object, path, "parentCommandLine");
    // Failures and tests refer to it by the key it is listed under.
    process.bundleID = simulatedProcessIdentity(process).key;
    return process;
}

DesktopEntry parseDesktopEntryObject(const json& object, const std::string& path) {
    requireObject(object, path);
    DesktopEntry entry;
    entry.id = requiredString(object, path, "id");
    entry.name = requiredString(object, path, "name");
    entry.icon = optionalString(object, path, "icon");
    entry.executable = optionalString(object, path, "executable").value_or("");
    entry.startupWMClass = optionalString(object, path, "startupWMClass").value_or("");
    entry.noDisplay = optionalBool(object, path, "noDisplay", false);
    return entry;
}

std::pair<std::string, RunningApplication> parseRunningApp(const json& object,
                                                           const std::string& path) {
    requireObject(object, path);
    std::string bundleID = requiredString(object, path, "bundleID");
    RunningApplication application;
    application.localizedName = optionalString(object, path, "name");
    application.icon = optionalString(object, path, "icon");
    const std::string policy = optionalString(object, path, "activationPolicy").value_or("regular");
    if (policy == "regular") {
        application.activationPolicy = ActivationPolicy::regular;
    } else if (policy == "accessory") {
        application.activationPolicy = ActivationPolicy::accessory;
    } else if (policy == "prohibited") {
        application.activationPolicy = ActivationPolicy::prohibited;
    } else {
        fail(keyPath(path, "activationPolicy"),
             "expected \"regular\", \"accessory\" or \"prohibited\"");
    }
    return {std::move(bundleID), std::move(application)};
}

SimulatedDevice parseDevice(const json& object, const std::string& path) {
    requireObject(object, path);
    constexpr std::int64_t maxStreams = 1024;
    SimulatedDevice device;
    device.uid = requiredString(object, path, "uid");
    device.name = optionalString(object, path, "name");
    device.manufacturer = optionalString(object, path, "manufacturer").value_or("");
    device.outputStreams =
        std::uint32_t(optionalInteger(object, path, "outputStreams", 1, 0, maxStreams));
    device.inputStreams =
        std::uint32_t(optionalInteger(object, path, "inputStreams", 0, 0, maxStreams));
    if (const json* transport = member(object, "transport")) {
        device.transportType = codeOrInteger(*transport, keyPath(path, "transport"));
    }
    device.nominalSampleRate = optionalNumber(object, path, "sampleRate");
    if (device.nominalSampleRate && *device.nominalSampleRate <= 0) {
        fail(keyPath(path, "sampleRate"), "must be above 0");
    }
    device.outputChannels =
        std::uint32_t(optionalInteger(object, path, "channels", 2, 1, kMaxChannels));
    return device;
}

SimulatedRecorder parseRecorder(const json& object, const std::string& path) {
    requireObject(object, path);
    SimulatedRecorder recorder;
    recorder.bundleID = requiredString(object, path, "bundleID");
    recorder.name = optionalString(object, path, "name").value_or(recorder.bundleID);
    recorder.pid = std::int32_t(optionalInteger(object, path, "pid", 0,
                                                std::numeric_limits<std::int32_t>::min(),
                                                std::numeric_limits<std::int32_t>::max()));
    recorder.levelDb = optionalNumber(object, path, "level").value_or(kAudioLevelMonitorSilenceDb);
    if (recorder.levelDb < kAudioLevelMonitorSilenceDb || recorder.levelDb > 0) {
        fail(keyPath(path, "level"), "must be from -120 to 0 dBFS");
    }
    return recorder;
}

// The device a top-level key names, which must have streams that way.
void requireDevice(const Scenario& scenario, const char* key, const std::string& uid, bool output) {
    const auto device = std::find_if(scenario.devices.begin(), scenario.devices.end(),
                                     [&](const SimulatedDevice& d) { return d.uid == uid; });
    if (device == scenario.devices.end()) {
        fail(key, "no device has the UID \"" + uid + "\"");
    }
    if ((output ? device->outputStreams : device->inputStreams) == 0) {
        fail(key, "the device \"" + uid + "\" has no " + (output ? "output" : "input") + " stream");
    }
}

OSStatus requiredFailureStatus(const json& object, const std::string& path) {
    const json* status = member(object, "status");
    if (!status) {
        fail(keyPath(path, "status"), "is missing");
    }
    const auto value = OSStatus(codeOrInteger(*status, keyPath(path, "status")));
    if (value == noErr) {
        fail(keyPath(path, "status"), "must not be 0, which means success");
    }
    return value;
}

ScenarioFailure parseFailure(const json& object, const std::string& path,
                             const Scenario& scenario) {
    requireObject(object, path);
    ScenarioFailure failure;
    const std::string objectPath = keyPath(path, "object");
    const json* target = member(object, "object");
    if (!target) {
        fail(objectPath, "is missing");
    }
    if (target->is_string()) {
        const auto text = target->get<std::string>();
        const auto hasPrefix = [&](std::string_view prefix) { return text.starts_with(prefix); };
        if (text == "system") {
            failure.target = ScenarioFailure::Target::system;
        } else if (hasPrefix("process:")) {
            failure.target = ScenarioFailure::Target::process;
            failure.name = text.substr(8);
            if (std::none_of(scenario.processes.begin(), scenario.processes.end(),
                             [&](const auto& p) { return p.bundleID == failure.name; })) {
                fail(objectPath, "no process has the bundle identifier \"" + failure.name + "\"");
            }
        } else if (hasPrefix("device:")) {
            failure.target = ScenarioFailure::Target::device;
            failure.name = text.substr(7);
            if (std::none_of(scenario.devices.begin(), scenario.devices.end(),
                             [&](const auto& d) { return d.uid == failure.name; })) {
                fail(objectPath, "no device has the UID \"" + failure.name + "\"");
            }
        } else {
            fail(objectPath, "expected \"system\", \"process:BUNDLEID\" or \"device:UID\"");
        }
    } else {
        const std::int64_t lastID = std::int64_t(
            kAudioObjectSystemObject + scenario.processes.size() + scenario.devices.size());
        failure.target = ScenarioFailure::Target::objectID;
        failure.objectID = AudioObjectID(
            integerIn(*target, objectPath, std::int64_t(kAudioObjectSystemObject), lastID));
    }

    const json* selector = member(object, "selector");
    if (!selector) {
        fail(keyPath(path, "selector"), "is missing");
    }
    failure.selector = codeOrInteger(*selector, keyPath(path, "selector"));

    const std::string scope = optionalString(object, path, "scope").value_or("glob");
    if (scope != "glob" && scope != "outp" && scope != "inpt") {
        fail(keyPath(path, "scope"), "expected \"glob\", \"outp\" or \"inpt\"");
    }
    failure.scope = codeOrInteger(json(scope), keyPath(path, "scope"));

    failure.status = requiredFailureStatus(object, path);
    return failure;
}

ScenarioRefusal parseRefusal(const json& object, const std::string& path,
                             const Scenario& scenario) {
    requireObject(object, path);
    ScenarioRefusal refusal;
    refusal.deviceUID = requiredString(object, path, "device");
    if (std::none_of(scenario.devices.begin(), scenario.devices.end(),
                     [&](const auto& d) { return d.uid == refusal.deviceUID; })) {
        fail(keyPath(path, "device"), "no device has the UID \"" + refusal.deviceUID + "\"");
    }
    refusal.status = requiredFailureStatus(object, path);
    refusal.reason = optionalString(object, path, "reason").value_or("");
    return refusal;
}

template <class T, class F>
std::vector<T> parseArray(const json& root, const char* key, F&& parseElement) {
    const json& array = arrayMember(root, key);
    std::vector<T> values;
    for (std::size_t index = 0; index < array.size(); ++index) {
        values.push_back(parseElement(array[index], indexPath(key, index)));
    }
    return values;
}

Scenario parseDocument(const json& root) {
    if (!root.is_object()) {
        throw Failure{"the scenario is not a JSON object"};
    }
    Scenario scenario;
    scenario.processes = parseArray<SimulatedProcess>(root, "processes", parseProcess);
    scenario.runningApps = parseArray<std::pair<std::string, RunningApplication>>(
        root, "runningApps", parseRunningApp);
    scenario.desktopEntries =
        parseArray<DesktopEntry>(root, "desktopEntries", parseDesktopEntryObject);
    scenario.devices = parseArray<SimulatedDevice>(root, "devices", parseDevice);
    scenario.defaultOutput = optionalString(root, "", "defaultOutput");
    if (scenario.defaultOutput) {
        requireDevice(scenario, "defaultOutput", *scenario.defaultOutput, true);
    }
    scenario.defaultInput = optionalString(root, "", "defaultInput");
    if (scenario.defaultInput) {
        requireDevice(scenario, "defaultInput", *scenario.defaultInput, false);
    }
    scenario.recorders = parseArray<SimulatedRecorder>(root, "recorders", parseRecorder);
    scenario.failures = parseArray<ScenarioFailure>(
        root, "failures", [&](const json& object, const std::string& path) {
            return parseFailure(object, path, scenario);
        });
    scenario.refusedConnections = parseArray<ScenarioRefusal>(
        root, "refusedConnections", [&](const json& object, const std::string& path) {
            return parseRefusal(object, path, scenario);
        });
    return scenario;
}

} // namespace

Expected<Scenario, ScenarioError> parseScenario(std::string_view text) {
    json root;
    try {
        root = json::parse(text.begin(), text.end());
    } catch (const json::exception& error) {
        // Syntax errors, and numbers too large for a double (out_of_range.406). what() starts
        // with the library's own tag, "[json.exception.parse_error.101] ".
        std::string reason = error.what();
        if (const auto end = reason.find("] "); reason.starts_with("[") && end != reason.npos) {
            reason.erase(0, end + 2);
        }
        // The reason quotes the bytes last read, which may be the broken text itself.
        reason = validUtf8(reason);
        return unexpected(ScenarioError{"not valid JSON: " + reason});
    }
    try {
        return parseDocument(root);
    } catch (const Failure& failure) {
        return unexpected(ScenarioError{failure.description});
    }
}

SimulatedWorld makeSimulatedWorld(const Scenario& scenario) {
    SimulatedWorld world{std::make_unique<SimulatedAudioHardware>(),
                         std::make_unique<SimulatedRunningApplications>()};
    SimulatedAudioHardware& hardware = *world.hardware;
    for (const SimulatedProcess& process : scenario.processes) {
        hardware.addProcess(process);
    }
    for (const SimulatedDevice& device : scenario.devices) {
        hardware.addDevice(device);
    }
    if (scenario.defaultOutput) {
        hardware.setDefaultOutputDevice(hardware.deviceID(*scenario.defaultOutput));
    }
    if (scenario.defaultInput) {
        hardware.setDefaultInputDevice(hardware.deviceID(*scenario.defaultInput));
    }
    for (const SimulatedRecorder& recorder : scenario.recorders) {
        hardware.addRecorder(recorder);
    }
    for (const ScenarioFailure& failure : scenario.failures) {
        AudioObjectID object = failure.objectID;
        switch (failure.target) {
        case ScenarioFailure::Target::system:
            object = kAudioObjectSystemObject;
            break;
        case ScenarioFailure::Target::process:
            object = hardware.processID(failure.name);
            break;
        case ScenarioFailure::Target::device:
            object = hardware.deviceID(failure.name);
            break;
        case ScenarioFailure::Target::objectID:
            break;
        }
        hardware.failRead(object, failure.selector, failure.scope, failure.status);
    }
    for (const ScenarioRefusal& refusal : scenario.refusedConnections) {
        hardware.refuseConnections(refusal.deviceUID, refusal.status, refusal.reason);
    }
    for (const auto& [bundleID, application] : scenario.runningApps) {
        world.runningApplications->add(bundleID, application);
    }
    world.runningApplications->nameFromClients(*world.hardware,
                                               DesktopEntryIndex(scenario.desktopEntries));
    return world;
}

Expected<SimulatedWorld, ScenarioError> loadScenario(std::string_view json) {
    auto scenario = parseScenario(json);
    if (!scenario) {
        return unexpected(scenario.error());
    }
    return makeSimulatedWorld(*scenario);
}

Expected<SimulatedWorld, ScenarioError> loadScenarioFile(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        return unexpected(ScenarioError{path + ": cannot be read: it is a folder"});
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        const int code = errno;
        return unexpected(ScenarioError{
            path + ": cannot be read: " + (code ? std::strerror(code) : "unknown error")});
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    if (file.bad()) {
        return unexpected(ScenarioError{path + ": cannot be read"});
    }
    auto world = loadScenario(contents.str());
    if (!world) {
        return unexpected(ScenarioError{path + ": " + world.error().description});
    }
    return world;
}

} // namespace kestrelamp::hal
