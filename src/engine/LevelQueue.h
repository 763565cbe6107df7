#pragma once

// Carries one engine's levels from the audio thread to the main thread without locking or
// allocating. The producer never waits: once the ring is full each new level replaces the oldest
// one that has not been read.

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace kestrelamp {

class LevelQueue {
public:
    static constexpr std::size_t kCapacity = 256;

    // Audio thread only.
    void push(float level) noexcept {
        const std::uint64_t index = written_.load(std::memory_order_relaxed);
        slots_[index % kCapacity].store(pack(index, level), std::memory_order_relaxed);
        written_.store(index + 1, std::memory_order_release);
    }

    // Main thread only. Calls deliver(level) for every level still held, oldest first; returns how
    // many were delivered.
    template <class Deliver>
    std::size_t drain(Deliver&& deliver) {
        std::size_t delivered = 0;
        const std::uint64_t end = written_.load(std::memory_order_acquire);
        if (end - read_ > kCapacity) {
            read_ = end - kCapacity;
        }
        for (; read_ < end; ++read_) {
            const std::uint64_t slot = slots_[read_ % kCapacity].load(std::memory_order_relaxed);
            // A newer level took the slot while we were reading: this one is lost.
            if (std::uint32_t(slot >> 32) == std::uint32_t(read_)) {
                ++delivered;
                deliver(std::bit_cast<float>(std::uint32_t(slot)));
            }
        }
        return delivered;
    }

private:
    // The low half of the sequence number travels with the value, so a reader can tell a slot it
    // is owed from one the producer has already reused.
    static std::uint64_t pack(std::uint64_t index, float level) noexcept {
        return (index << 32) | std::bit_cast<std::uint32_t>(level);
    }

    std::array<std::atomic<std::uint64_t>, kCapacity> slots_{};
    alignas(64) std::atomic<std::uint64_t> written_{0};
    alignas(64) std::uint64_t read_ = 0;
};

} // namespace kestrelamp
