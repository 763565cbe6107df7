#include "engine/hal/SimulatedAudioHardware.h"
#include "engine/hal/SimulatedAudioHardwareObjects.h"

#include <algorithm>
#include <cmath>

namespace kestrelamp::hal {

namespace {

double decibels(double magnitude) {
    return std::max(20.0 * std::log10(std::max(magnitude, 1e-12)), kAudioLevelMonitorSilenceDb);
}

} // namespace

SimulatedAudioHardware::LevelMonitor* SimulatedAudioHardware::findMonitor(AudioObjectID id) const {
    const auto it = std::find_if(monitors_.begin(), monitors_.end(),
                                 [&](const auto& monitor) { return monitor->id == id; });
    return it != monitors_.end() ? it->get() : nullptr;
}

OSStatus SimulatedAudioHardware::createLevelMonitor(AudioObjectID processObjectID,
                                                    AudioObjectID& outMonitorID) {
    if (detail::insideIOBlock) {
        return kAudioHardwareIllegalOperationError;
    }
    std::lock_guard lock(mutex_);
    // An application that is not playing now keeps its object, and can be monitored for its return.
    const bool known =
        std::any_of(applicationObjects_.begin(), applicationObjects_.end(),
                    [&](const auto& entry) { return entry.second == processObjectID; });
    const bool recorder =
        std::any_of(recorderObjects_.begin(), recorderObjects_.end(),
                    [&](const auto& entry) { return entry.second == processObjectID; });
    if (!known && !recorder && findProcess(processObjectID) == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    auto monitor = std::make_unique<LevelMonitor>();
    monitor->id = nextObjectID_++;
    monitor->process = processObjectID;
    outMonitorID = monitor->id;
    monitors_.push_back(std::move(monitor));
    return noErr;
}

OSStatus SimulatedAudioHardware::destroyLevelMonitor(AudioObjectID monitorID) {
    if (detail::insideIOBlock) {
        return kAudioHardwareIllegalOperationError;
    }
    std::lock_guard lock(mutex_);
    const auto removed = std::erase_if(
        monitors_, [&](const std::unique_ptr<LevelMonitor>& m) { return m->id == monitorID; });
    return removed > 0 ? noErr : kAudioHardwareBadObjectError;
}

std::vector<AudioObjectID> SimulatedAudioHardware::levelMonitors() const {
    std::lock_guard lock(mutex_);
    std::vector<AudioObjectID> ids;
    for (const auto& monitor : monitors_) {
        ids.push_back(monitor->id);
    }
    return ids;
}

void SimulatedAudioHardware::measureMonitors(std::uint32_t frames) {
    const auto window = std::uint64_t(renderSampleRate_ * kAudioLevelMonitorWindowMs / 1000.0);
    for (const auto& monitor : monitors_) {
        std::size_t samples = 0;
        if (const auto amplitude = recorderAmplitude(monitor->process)) {
            monitor->sumSquares += *amplitude * *amplitude * frames;
            monitor->peak = std::max(monitor->peak, *amplitude);
            samples = frames;
        }
        for (const auto& process : processes_) {
            if (process->id != monitor->process || !process->config.running) {
                continue;
            }
            const std::size_t count = std::min(
                process->samples.size(), std::size_t(process->config.signal.channels) * frames);
            for (std::size_t i = 0; i < count; ++i) {
                const double sample = process->samples[i];
                monitor->sumSquares += sample * sample;
                monitor->peak = std::max(monitor->peak, std::fabs(sample));
            }
            samples += count;
        }
        if (samples == 0) {
            continue;
        }
        monitor->samples += samples;
        monitor->frames += frames;
        if (monitor->frames < window) {
            continue;
        }
        monitor->rmsDb = decibels(std::sqrt(monitor->sumSquares / double(monitor->samples)));
        monitor->peakDb = decibels(monitor->peak);
        monitor->playedUntil = framesRendered_;
        monitor->sumSquares = 0.0;
        monitor->peak = 0.0;
        monitor->samples = 0;
        monitor->frames = 0;
    }
}

} // namespace kestrelamp::hal
