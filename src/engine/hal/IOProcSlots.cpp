#include "engine/hal/IOProcSlots.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kestrelamp::hal {

IOProcSlots::IOProcSlots(std::uint32_t channels, BetweenCycles betweenCycles)
    : channels_(channels)
    , betweenCycles_(std::move(betweenCycles))
    , silence_(kMaxFrames, 0.0f)
    , discard_(std::size_t(kMaxFrames) * channels, 0.0f)
    , inputBuffers_(channels)
    , outputBuffers_(channels) {}

void IOProcSlots::setChannels(std::uint32_t channels) {
    channels_ = channels;
    discard_.assign(std::size_t(kMaxFrames) * channels, 0.0f);
    inputBuffers_.resize(channels);
    outputBuffers_.resize(channels);
}

std::optional<std::size_t> IOProcSlots::install(AudioDeviceIOBlock block) {
    if (!block) {
        return std::nullopt;
    }
    for (std::size_t index = 0; index < slots_.size(); ++index) {
        Slot& slot = slots_[index];
        if (!slot.installed) {
            slot.block = std::move(block);
            slot.installed = true;
            return index;
        }
    }
    return std::nullopt;
}

bool IOProcSlots::start(std::size_t slot) {
    if (slot >= slots_.size() || !slots_[slot].installed) {
        return false;
    }
    slots_[slot].started.store(true, std::memory_order_seq_cst);
    return true;
}

bool IOProcSlots::stop(std::size_t slot) {
    if (slot >= slots_.size() || !slots_[slot].installed) {
        return false;
    }
    if (slots_[slot].started.exchange(false, std::memory_order_seq_cst) && betweenCycles_) {
        // A cycle that read the flag before it was cleared has ended once this returns.
        betweenCycles_();
    }
    return true;
}

bool IOProcSlots::isStarted(std::size_t slot) const {
    return slot < slots_.size() && slots_[slot].started.load(std::memory_order_relaxed);
}

bool IOProcSlots::remove(std::size_t slot) {
    if (!stop(slot)) {
        return false;
    }
    slots_[slot].block = nullptr;
    slots_[slot].installed = false;
    return true;
}

void IOProcSlots::stopAll() {
    for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
        if (slots_[slot].installed) {
            stop(slot);
        }
    }
}

void IOProcSlots::render(const AudioIOCycle& cycle, const float* const* inputs,
                         float* const* outputs, std::uint32_t frames) noexcept {
    const std::uint32_t bytes = frames * sizeof(float);
    for (std::uint32_t channel = 0; channel < channels_; ++channel) {
        if (outputs[channel] != nullptr) {
            std::memset(outputs[channel], 0, bytes);
        }
    }
    if (frames == 0 || frames > kMaxFrames) {
        return;
    }
    for (std::uint32_t channel = 0; channel < channels_; ++channel) {
        const float* input = inputs[channel] != nullptr ? inputs[channel] : silence_.data();
        inputBuffers_[channel] = AudioBuffer{1, bytes, const_cast<float*>(input)};
        float* output = outputs[channel] != nullptr
                            ? outputs[channel]
                            : discard_.data() + std::size_t(channel) * kMaxFrames;
        outputBuffers_[channel] = AudioBuffer{1, bytes, output};
    }
    const AudioBufferList input{channels_, inputBuffers_.data()};
    AudioBufferList output{channels_, outputBuffers_.data()};
    for (Slot& slot : slots_) {
        if (slot.started.load(std::memory_order_seq_cst)) {
            slot.block(cycle, input, output);
        }
    }
}

} // namespace kestrelamp::hal
