#include "engine/hal/SimulatedAudioHardware.h"

#include "engine/hal/SimulatedAudioHardwareObjects.h"

#include <algorithm>
#include <cmath>

// One cycle of the simulated world; see the steps in SimulatedAudioHardware.h.

namespace kestrelamp::hal {

// --- Rendering ----------------------------------------------------------------------------

double SimulatedAudioHardware::renderSampleRate() const {
    std::lock_guard lock(mutex_);
    return renderSampleRate_;
}

void SimulatedAudioHardware::setRenderSampleRate(double sampleRate) {
    std::lock_guard lock(mutex_);
    if (sampleRate > 0 && std::isfinite(sampleRate)) {
        renderSampleRate_ = sampleRate;
    }
}

void SimulatedAudioHardware::render(std::uint32_t cycles, std::uint32_t framesPerCycle) {
    for (std::uint32_t cycle = 0; cycle < cycles; ++cycle) {
        std::lock_guard lock(mutex_);
        renderCycle(framesPerCycle);
    }
}

bool SimulatedAudioHardware::isMuted(AudioObjectID processID) const {
    return std::any_of(taps_.begin(), taps_.end(), [&](const std::unique_ptr<Tap>& tap) {
        return tap->description.muteBehavior != CATapMuteBehavior::unmuted && tap->holds(processID);
    });
}

std::vector<float*> SimulatedAudioHardware::outputChannels(Device& device, std::uint32_t frames) {
    std::vector<float*> channels;
    const auto addChannelsOf = [&](Device& target) {
        for (std::uint32_t channel = 0; channel < target.playbackChannels(); ++channel) {
            channels.push_back(target.mix.data() + std::size_t(channel) * frames);
        }
    };
    if (!device.aggregate) {
        addChannelsOf(device);
        return channels;
    }
    for (const std::string& uid : device.aggregate->subDeviceUIDs) {
        Device* sub = findDeviceByUID(uid);
        if (sub && !sub->aggregate) {
            addChannelsOf(*sub);
        }
    }
    return channels;
}

void SimulatedAudioHardware::captureTap(Tap& tap, std::uint32_t frames) {
    const CATapDescription& description = tap.description;
    std::uint32_t channels = description.mono ? 1 : 2;
    if (!description.mixdown) {
        channels = 1;
        for (const auto& process : processes_) {
            if (tap.holds(process->id)) {
                channels = std::max(channels, process->config.signal.channels);
            }
        }
    }
    tap.channels = channels;
    tap.samples.assign(std::size_t(channels) * frames, 0.0f);
    for (const auto& process : processes_) {
        if (!tap.holds(process->id) || !process->config.running) {
            continue;
        }
        const std::uint32_t sourceChannels = process->config.signal.channels;
        for (std::uint32_t source = 0; source < sourceChannels; ++source) {
            const float* in = process->samples.data() + std::size_t(source) * frames;
            const auto add = [&](std::uint32_t target, float scale) {
                float* out = tap.samples.data() + std::size_t(target) * frames;
                for (std::uint32_t i = 0; i < frames; ++i) {
                    out[i] += scale * in[i];
                }
            };
            if (description.mono) {
                add(0, 1.0f / float(sourceChannels));
            } else if (sourceChannels == 1) {
                for (std::uint32_t target = 0; target < channels; ++target) {
                    add(target, 1.0f);
                }
            } else {
                add(description.mixdown ? source % 2 : source, 1.0f);
            }
        }
    }
}

void SimulatedAudioHardware::runIOProcs(Device& device, std::uint32_t frames) {
    device.capturedInput.clear();
    if (device.aggregate) {
        for (const std::string& uid : device.aggregate->tapUIDs) {
            if (const Tap* tap = findTapByUID(uid)) {
                device.capturedInput.insert(device.capturedInput.end(), tap->samples.begin(),
                                            tap->samples.end());
            }
        }
    }
    const std::vector<float*> targets = outputChannels(device, frames);
    const auto inputChannels = std::uint32_t(frames ? device.capturedInput.size() / frames : 0);
    const auto outputCount = std::uint32_t(targets.size());
    device.blockInput.resize(device.capturedInput.size());
    device.blockOutput.resize(std::size_t(outputCount) * frames);
    device.inputBuffers.resize(inputChannels);
    device.outputBuffers.resize(outputCount);
    const auto byteSize = std::uint32_t(frames * sizeof(float));

    for (IOProc& proc : device.ioProcs) {
        if (!proc.started) {
            continue;
        }
        // Fresh buffers for every block: a block may write anywhere in them.
        std::copy(device.capturedInput.begin(), device.capturedInput.end(),
                  device.blockInput.begin());
        std::fill(device.blockOutput.begin(), device.blockOutput.end(), 0.0f);
        for (std::uint32_t channel = 0; channel < inputChannels; ++channel) {
            device.inputBuffers[channel] = {
                1, byteSize, device.blockInput.data() + std::size_t(channel) * frames};
        }
        for (std::uint32_t channel = 0; channel < outputCount; ++channel) {
            device.outputBuffers[channel] = {
                1, byteSize, device.blockOutput.data() + std::size_t(channel) * frames};
        }
        const AudioBufferList input{inputChannels, device.inputBuffers.data()};
        AudioBufferList output{outputCount, device.outputBuffers.data()};
        {
            const detail::InsideIOBlock inside;
            proc.block(AudioIOCycle{renderSampleRate_}, input, output);
        }
        for (std::uint32_t channel = 0; channel < outputCount; ++channel) {
            const float* written = device.blockOutput.data() + std::size_t(channel) * frames;
            float* target = targets[channel];
            for (std::uint32_t i = 0; i < frames; ++i) {
                target[i] += written[i];
            }
        }
    }
}

void SimulatedAudioHardware::renderCycle(std::uint32_t frames) {
    for (const auto& process : processes_) {
        if (process->config.running) {
            process->generator.render(frames, renderSampleRate_, process->samples);
        } else {
            process->samples.assign(std::size_t(process->config.signal.channels) * frames, 0.0f);
        }
    }
    for (const auto& device : devices_) {
        device->mix.assign(std::size_t(device->playbackChannels()) * frames, 0.0f);
    }

    for (const auto& process : processes_) {
        Device* output = playbackDevice(*process);
        const std::uint32_t sourceChannels = process->config.signal.channels;
        if (!output || !process->config.running || sourceChannels == 0 || isMuted(process->id)) {
            continue;
        }
        const std::vector<float*> targets = outputChannels(*output, frames);
        for (std::uint32_t channel = 0; channel < targets.size(); ++channel) {
            const std::uint32_t source = sourceChannels == 1 ? 0 : channel;
            if (source >= sourceChannels) {
                continue;
            }
            const float* in = process->samples.data() + std::size_t(source) * frames;
            for (std::uint32_t i = 0; i < frames; ++i) {
                targets[channel][i] += in[i];
            }
        }
    }

    for (const auto& tap : taps_) {
        captureTap(*tap, frames);
    }
    for (const auto& device : devices_) {
        if (std::any_of(device->ioProcs.begin(), device->ioProcs.end(),
                        [](const IOProc& proc) { return proc.started; })) {
            runIOProcs(*device, frames);
        }
    }
    for (const auto& device : devices_) {
        if (device->playbackChannels() > 0) {
            device->recording.append(device->mix.data(), frames);
        }
    }
}

void SimulatedAudioHardware::startRealTimeClock(std::chrono::milliseconds period) {
    std::lock_guard lock(clockMutex_);
    if (clock_) {
        return;
    }
    clock_ = std::make_unique<PeriodicThread>(period, [this, period] {
        std::lock_guard worldLock(mutex_);
        const double frames =
            std::round(renderSampleRate_ * std::chrono::duration<double>(period).count());
        renderCycle(std::uint32_t(std::max(frames, 1.0)));
    });
}

void SimulatedAudioHardware::stopRealTimeClock() {
    std::unique_ptr<PeriodicThread> clock;
    {
        std::lock_guard lock(clockMutex_);
        clock = std::move(clock_);
    }
    // Destroyed here, outside the lock: it waits for the cycle in progress.
}

bool SimulatedAudioHardware::isRealTimeClockRunning() const {
    std::lock_guard lock(clockMutex_);
    return clock_ != nullptr;
}

// --- What devices played ------------------------------------------------------------------

std::optional<std::vector<float>>
SimulatedAudioHardware::playedSamples(AudioObjectID deviceID, std::uint32_t channel,
                                      std::uint32_t frames) const {
    std::lock_guard lock(mutex_);
    const Device* device = findDevice(deviceID);
    if (!device) {
        return std::nullopt;
    }
    return device->recording.lastSamples(channel, frames);
}

std::optional<float> SimulatedAudioHardware::playedLevel(AudioObjectID deviceID,
                                                         std::uint32_t channel,
                                                         std::uint32_t frames) const {
    std::lock_guard lock(mutex_);
    const Device* device = findDevice(deviceID);
    if (!device) {
        return std::nullopt;
    }
    return device->recording.level(channel, frames);
}

std::optional<float> SimulatedAudioHardware::playedLevel(AudioObjectID deviceID,
                                                         std::uint32_t frames) const {
    std::lock_guard lock(mutex_);
    const Device* device = findDevice(deviceID);
    if (!device) {
        return std::nullopt;
    }
    return device->recording.level(frames);
}

std::uint64_t SimulatedAudioHardware::framesPlayed(AudioObjectID deviceID) const {
    std::lock_guard lock(mutex_);
    const Device* device = findDevice(deviceID);
    return device ? device->recording.framesRecorded() : 0;
}

void SimulatedAudioHardware::clearPlayed() {
    std::lock_guard lock(mutex_);
    for (const auto& device : devices_) {
        device->recording.clear();
    }
}

} // namespace kestrelamp::hal
