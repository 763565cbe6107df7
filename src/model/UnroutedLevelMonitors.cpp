#include "model/UnroutedLevelMonitors.h"

#include "engine/EQProcessor.h"

#include <algorithm>
#include <cmath>

namespace kestrelamp {

using namespace hal;

UnroutedLevelMonitors::UnroutedLevelMonitors(AudioHardware& hardware, LevelHandler handler,
                                             QObject* parent)
    : QObject(parent)
    , hardware_(hardware)
    , handler_(std::move(handler)) {
    asked_.setSingleShot(true);
    asked_.setInterval(kAskedHoldMs);
    connect(&asked_, &QTimer::timeout, this, &UnroutedLevelMonitors::apply);
    pollTimer_.setInterval(kPollIntervalMs);
    connect(&pollTimer_, &QTimer::timeout, this, &UnroutedLevelMonitors::poll);
}

UnroutedLevelMonitors::~UnroutedLevelMonitors() {
    for (const auto& [appID, monitors] : monitors_) {
        for (const auto& [process, monitor] : monitors) {
            hardware_.destroyLevelMonitor(monitor);
        }
    }
}

void UnroutedLevelMonitors::setWatched(bool watched) {
    watched_ = watched;
    apply();
}

void UnroutedLevelMonitors::levelsAsked() {
    const bool wasActive = isActive();
    asked_.start();
    if (!wasActive) {
        apply();
    }
}

void UnroutedLevelMonitors::setCandidates(Candidates candidates) {
    candidates_ = std::move(candidates);
    apply();
}

std::vector<std::string> UnroutedLevelMonitors::monitoredApps() const {
    std::vector<std::string> apps;
    for (const auto& [appID, monitors] : monitors_) {
        apps.push_back(appID);
    }
    return apps;
}

void UnroutedLevelMonitors::stopApp(const std::string& appID) {
    const auto it = monitors_.find(appID);
    if (it == monitors_.end()) {
        return;
    }
    for (const auto& [process, monitor] : it->second) {
        hardware_.destroyLevelMonitor(monitor);
    }
    monitors_.erase(it);
    handler_(appID, kSilentLevel);
}

void UnroutedLevelMonitors::apply() {
    const Candidates wanted = isActive() ? candidates_ : Candidates{};
    std::vector<std::string> gone;
    for (auto& [appID, monitors] : monitors_) {
        const auto candidate = wanted.find(appID);
        if (candidate == wanted.end()) {
            gone.push_back(appID);
            continue;
        }
        std::erase_if(monitors, [&](const auto& entry) {
            const auto& processes = candidate->second;
            if (std::find(processes.begin(), processes.end(), entry.first) != processes.end()) {
                return false;
            }
            hardware_.destroyLevelMonitor(entry.second);
            return true;
        });
    }
    for (const std::string& appID : gone) {
        stopApp(appID);
    }
    for (const auto& [appID, processes] : wanted) {
        for (const AudioObjectID process : processes) {
            if (monitors_.count(appID) > 0 && monitors_[appID].count(process) > 0) {
                continue;
            }
            AudioObjectID monitor = kAudioObjectUnknown;
            // A failed monitor leaves the meter where it is; the next change tries again.
            if (hardware_.createLevelMonitor(process, monitor) == noErr) {
                monitors_[appID][process] = monitor;
            }
        }
    }
    if (monitors_.empty()) {
        pollTimer_.stop();
    } else if (!pollTimer_.isActive()) {
        pollTimer_.start();
    }
    if (isActive() != announcedActive_) {
        announcedActive_ = isActive();
        Q_EMIT activeChanged(announcedActive_);
    }
}

// Several processes of one application play at once into one output: their powers add.
void UnroutedLevelMonitors::poll() {
    for (const auto& [appID, monitors] : monitors_) {
        double power = 0.0;
        for (const auto& [process, monitor] : monitors) {
            double level = kAudioLevelMonitorSilenceDb;
            if (hardware_.getPropertyFloat64(monitor, globalAddress(kAudioLevelMonitorPropertyRMS),
                                             level) == noErr) {
                power += std::pow(10.0, level / 10.0);
            }
        }
        const double level = 10.0 * std::log10(std::max(power, 1e-12));
        handler_(appID, float(std::max(level, kAudioLevelMonitorSilenceDb)));
    }
}

} // namespace kestrelamp
