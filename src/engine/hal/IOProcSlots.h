#pragma once

// The IO blocks installed on one aggregate device and the real-time call that runs them. The
// block sees one mono buffer of 32-bit floats per channel, in and out. A block stopped is never
// running once stop() returns: the audio thread is handed the change between two cycles, never
// waited for by spinning.

#include "engine/hal/AudioHardware.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

namespace kestrelamp::hal {

class IOProcSlots {
public:
    static constexpr std::size_t kMaxBlocks = 4;
    // PipeWire's largest quantum.
    static constexpr std::uint32_t kMaxFrames = 8192;

    // Returns once the audio thread is between two cycles (for PipeWire, a blocking invoke on the
    // data loop): whatever it renders after that sees every flag set before the call.
    using BetweenCycles = std::function<void()>;

    // Without betweenCycles, render() and the main thread's calls must not overlap.
    explicit IOProcSlots(std::uint32_t channels, BetweenCycles betweenCycles = {});
    IOProcSlots(const IOProcSlots&) = delete;
    IOProcSlots& operator=(const IOProcSlots&) = delete;

    std::uint32_t channels() const { return channels_; }
    // Main thread, while render() is not called: the blocks see that many buffers from now on.
    void setChannels(std::uint32_t channels);

    // Main thread. A slot index, or nothing when every slot is taken or the block is empty.
    std::optional<std::size_t> install(AudioDeviceIOBlock block);
    bool start(std::size_t slot);
    // Returns once the block is not running; false for a slot that holds no block.
    bool stop(std::size_t slot);
    bool isStarted(std::size_t slot) const;
    // Stops, then forgets the block.
    bool remove(std::size_t slot);
    void stopAll();

    // Real-time thread. inputs and outputs hold channels() pointers each; a null input reads as
    // silence, a null output is not written. Outputs are cleared before the blocks run, so an
    // aggregate without a started block plays silence.
    void render(const AudioIOCycle& cycle, const float* const* inputs, float* const* outputs,
                std::uint32_t frames) noexcept;

private:
    struct Slot {
        AudioDeviceIOBlock block;
        bool installed = false;
        std::atomic<bool> started{false};
    };

    std::uint32_t channels_;
    BetweenCycles betweenCycles_;
    std::array<Slot, kMaxBlocks> slots_;
    std::vector<float> silence_;
    std::vector<float> discard_;
    std::vector<AudioBuffer> inputBuffers_;
    std::vector<AudioBuffer> outputBuffers_;
};

} // namespace kestrelamp::hal
