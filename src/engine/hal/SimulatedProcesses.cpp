#include "engine/hal/SimulatedAudioHardware.h"

#include "engine/hal/SimulatedAudioHardwareObjects.h"

#include <algorithm>

// The processes that play, as tests and scenarios add, change and move them.

namespace kestrelamp::hal {

ApplicationIdentity simulatedProcessIdentity(const SimulatedProcess& process) {
    ApplicationIdentity identity = identifyApplication(
        process.clientProperties, process.streamProperties, [&](std::string_view host) {
            std::string program = programRunBy(host, process.commandLine);
            return program.empty() ? programOfHelper(host, process.parentCommandLine) : program;
        });
    if (!process.bundleID.empty()) {
        identity.key = process.bundleID;
    }
    return identity;
}

std::vector<AudioClient> SimulatedAudioHardware::audioClients(const std::string& bundleID) const {
    std::lock_guard lock(mutex_);
    std::vector<AudioClient> clients;
    for (const auto& process : processes_) {
        const SimulatedProcess& config = process->config;
        if (config.bundleID != bundleID ||
            (config.clientProperties.empty() && config.streamProperties.empty())) {
            continue;
        }
        AudioClient client{bundleID, config.pid, config.clientProperties, process->identity};
        for (const auto& [key, value] : config.streamProperties) {
            client.properties.insert_or_assign(key, value);
        }
        clients.push_back(std::move(client));
    }
    return clients;
}

AudioObjectID SimulatedAudioHardware::addProcess(const SimulatedProcess& announced) {
    ApplicationIdentity identity = simulatedProcessIdentity(announced);
    SimulatedProcess config = announced;
    config.bundleID = identity.key;
    std::lock_guard lock(mutex_);
    AudioObjectID id = kAudioObjectUnknown;
    if (const auto known = applicationObjects_.find(config.bundleID);
        known != applicationObjects_.end()) {
        id = known->second;
    } else {
        id = nextObjectID_++;
        if (!config.bundleID.empty()) {
            applicationObjects_.emplace(config.bundleID, id);
        }
    }
    const bool wasListed = findProcess(id) != nullptr;
    const bool wasRunning = isObjectRunning(id);
    auto process = std::make_unique<Process>();
    process->id = id;
    process->config = config;
    process->identity = std::move(identity);
    process->generator = SignalGenerator(config.signal, id);
    processes_.push_back(std::move(process));
    if (!wasListed) {
        listeners_.notify(kAudioObjectSystemObject,
                          globalAddress(kAudioHardwarePropertyProcessObjectList));
    } else if (isObjectRunning(id) != wasRunning) {
        listeners_.notify(id, globalAddress(kAudioProcessPropertyIsRunning));
    }
    return id;
}

bool SimulatedAudioHardware::removeProcess(AudioObjectID processID) {
    std::lock_guard lock(mutex_);
    const auto removed = std::erase_if(
        processes_, [&](const std::unique_ptr<Process>& p) { return p->id == processID; });
    if (removed == 0) {
        return false;
    }
    listeners_.notify(kAudioObjectSystemObject,
                      globalAddress(kAudioHardwarePropertyProcessObjectList));
    return true;
}

bool SimulatedAudioHardware::setProcessRunning(AudioObjectID processID, bool running) {
    std::lock_guard lock(mutex_);
    if (!findProcess(processID)) {
        return false;
    }
    const bool wasRunning = isObjectRunning(processID);
    for (const auto& process : processes_) {
        if (process->id == processID) {
            process->config.running = running;
        }
    }
    if (running != wasRunning) {
        listeners_.notify(processID, globalAddress(kAudioProcessPropertyIsRunning));
    }
    return true;
}

bool SimulatedAudioHardware::setProcessSignal(AudioObjectID processID,
                                              const SimulatedSignal& signal) {
    std::lock_guard lock(mutex_);
    if (!findProcess(processID)) {
        return false;
    }
    for (const auto& process : processes_) {
        if (process->id == processID) {
            process->config.signal = signal;
            process->generator.setSignal(signal);
        }
    }
    return true;
}

bool SimulatedAudioHardware::moveProcessElsewhere(AudioObjectID processID,
                                                  const std::string& deviceUID) {
    std::lock_guard lock(mutex_);
    if (!findProcess(processID)) {
        return false;
    }
    const Device* device = findDeviceByUID(deviceUID);
    const bool isOutput = device && !device->aggregate && outputStreamCount(*device) > 0;
    if (isOutput) {
        playbackTargets_[processID] = deviceUID;
    } else {
        playbackTargets_.erase(processID);
    }
    for (const auto& tap : taps_) {
        if (tap->holds(processID)) {
            tap->released = true;
            tap->releaseDeviceUID = isOutput ? deviceUID : std::string();
            listeners_.notify(tap->id, globalAddress(kAudioTapPropertyIsReleased));
        }
    }
    return true;
}

AudioObjectID SimulatedAudioHardware::processID(const std::string& bundleID) const {
    std::lock_guard lock(mutex_);
    for (const auto& process : processes_) {
        if (process->config.bundleID == bundleID) {
            return process->id;
        }
    }
    return kAudioObjectUnknown;
}

} // namespace kestrelamp::hal
