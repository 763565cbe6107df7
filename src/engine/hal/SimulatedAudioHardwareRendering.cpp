#include "engine/hal/SimulatedAudioHardware.h"

#include "engine/hal/SimulatedAudioHardwareObjects.h"

#include <algorithm>
#include <cmath>

// One cycle of the simulated world; see the steps in SimulatedAudioHardware.h.

namespace kestrelamp::hal {

namespace {

// The mixer for a pair of layouts, made anew (its filters cleared) when either changes.
ChannelMixer& mixerFor(std::unique_ptr<ChannelMixer>& mixer, const ChannelLayout& from,
                       const ChannelLayout& to, double sampleRate) {
    if (!mixer || mixer->matrix().source != from || mixer->matrix().destination != to) {
        mixer = std::make_unique<ChannelMixer>(ChannelMatrix::between(from, to), sampleRate);
    }
    mixer->setSampleRate(sampleRate);
    return *mixer;
}

// The channels of a buffer that holds them one after the other.
template <class Sample>
std::vector<Sample*> channelPointers(Sample* samples, std::uint32_t channels,
                                     std::uint32_t frames) {
    std::vector<Sample*> pointers(channels);
    for (std::uint32_t channel = 0; channel < channels; ++channel) {
        pointers[channel] = samples + std::size_t(channel) * frames;
    }
    return pointers;
}

} // namespace

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

std::vector<SimulatedAudioHardware::Device*>
SimulatedAudioHardware::playbackTargets(Device& device) const {
    if (!device.aggregate) {
        return {&device};
    }
    std::vector<Device*> targets;
    for (const std::string& uid : device.aggregate->subDeviceUIDs) {
        Device* sub = findDeviceByUID(uid);
        if (sub && !sub->aggregate) {
            targets.push_back(sub);
        }
    }
    return targets;
}

void SimulatedAudioHardware::playUnrouted(Process& process, Device& output, std::uint32_t frames) {
    const ChannelLayout layout = process.layout();
    const auto sources = channelPointers(static_cast<const float*>(process.samples.data()),
                                         std::uint32_t(layout.size()), frames);
    for (Device* target : playbackTargets(output)) {
        ChannelMixer& mixer = mixerFor(process.playbackMixers[target->id], layout,
                                       target->playbackLayout(), renderSampleRate_);
        mixer.mixInto(
            sources.data(),
            channelPointers(target->mix.data(), target->playbackChannels(), frames).data(), frames);
    }
}

void SimulatedAudioHardware::captureTap(Tap& tap, std::uint32_t frames) {
    const CATapDescription& description = tap.description;
    const bool ownLayout = !description.mixdown && !description.mono;
    if (description.mono) {
        tap.layout = {ChannelPosition::MONO};
    } else if (description.mixdown) {
        tap.layout = {ChannelPosition::FL, ChannelPosition::FR};
    } else {
        // The widest of its processes' layouts.
        tap.layout = {ChannelPosition::MONO};
        for (const auto& process : processes_) {
            if (tap.holds(process->id) && process->config.signal.channels > tap.layout.size()) {
                tap.layout = process->layout();
            }
        }
    }
    const auto channels = std::uint32_t(tap.layout.size());
    tap.channels = channels;
    tap.samples.assign(std::size_t(channels) * frames, 0.0f);
    const auto tapChannels = channelPointers(tap.samples.data(), channels, frames);
    for (const auto& process : processes_) {
        if (!tap.holds(process->id) || !process->config.running) {
            continue;
        }
        const std::uint32_t sourceChannels = process->config.signal.channels;
        if (ownLayout) {
            ChannelMixer& mixer = mixerFor(tap.processMixers[process.get()], process->layout(),
                                           tap.layout, renderSampleRate_);
            mixer.mixInto(channelPointers(static_cast<const float*>(process->samples.data()),
                                          sourceChannels, frames)
                              .data(),
                          tapChannels.data(), frames);
            continue;
        }
        for (std::uint32_t source = 0; source < sourceChannels; ++source) {
            const float* in = process->samples.data() + std::size_t(source) * frames;
            const auto add = [&](std::uint32_t target, float scale) {
                float* out = tapChannels[target];
                for (std::uint32_t i = 0; i < frames; ++i) {
                    out[i] += scale * in[i];
                }
            };
            if (description.mono) {
                add(0, 1.0f / float(sourceChannels));
            } else if (sourceChannels == 1) {
                add(0, 1.0f);
                add(1, 1.0f);
            } else {
                add(source % 2, 1.0f);
            }
        }
    }
}

void SimulatedAudioHardware::runIOProcs(Device& device, std::uint32_t frames) {
    device.capturedInput.clear();
    device.inputLayout.clear();
    if (device.aggregate) {
        for (const std::string& uid : device.aggregate->tapUIDs) {
            if (const Tap* tap = findTapByUID(uid)) {
                device.capturedInput.insert(device.capturedInput.end(), tap->samples.begin(),
                                            tap->samples.end());
                device.inputLayout.insert(device.inputLayout.end(), tap->layout.begin(),
                                          tap->layout.end());
            }
        }
    }
    const auto inputChannels = std::uint32_t(device.inputLayout.size());
    // An aggregate's blocks write its taps' channels, mixed onto its sub-devices afterwards.
    const std::uint32_t outputCount = device.aggregate ? inputChannels : device.playbackChannels();
    device.blockInput.resize(device.capturedInput.size());
    device.blockOutput.resize(std::size_t(outputCount) * frames);
    device.blocksOutput.assign(device.blockOutput.size(), 0.0f);
    device.inputBuffers.resize(inputChannels);
    device.outputBuffers.resize(outputCount);
    const auto byteSize = std::uint32_t(frames * sizeof(float));

    for (IOProc& proc : device.ioProcs) {
        if (!proc.started || device.connection != noErr) {
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
        for (std::size_t i = 0; i < device.blockOutput.size(); ++i) {
            device.blocksOutput[i] += device.blockOutput[i];
        }
    }

    const auto written =
        channelPointers(static_cast<const float*>(device.blocksOutput.data()), outputCount, frames);
    if (!device.aggregate) {
        for (std::uint32_t channel = 0; channel < outputCount; ++channel) {
            float* target = device.mix.data() + std::size_t(channel) * frames;
            for (std::uint32_t i = 0; i < frames; ++i) {
                target[i] += written[channel][i];
            }
        }
        return;
    }
    for (Device* sub : playbackTargets(device)) {
        ChannelMixer& mixer = mixerFor(device.subDeviceMixers[sub->id], device.inputLayout,
                                       sub->playbackLayout(), renderSampleRate_);
        mixer.mixInto(written.data(),
                      channelPointers(sub->mix.data(), sub->playbackChannels(), frames).data(),
                      frames);
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
    framesRendered_ += frames;
    measureMonitors(frames);

    for (const auto& process : processes_) {
        Device* output = playbackDevice(*process);
        if (output && process->config.running && process->config.signal.channels > 0 &&
            !isMuted(process->id)) {
            playUnrouted(*process, *output, frames);
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
