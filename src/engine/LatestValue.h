#pragma once

// Hands whole values from one writer thread to one reader thread: the reader always gets the
// newest complete value, never a mix of two, and neither side waits, locks or allocates. Three
// slots: one the writer fills, one the reader holds, and one in between whose index is swapped
// atomically by whichever side is done with its own.

#include <array>
#include <atomic>
#include <cstdint>

namespace kestrelamp {

template <class T>
class LatestValue {
public:
    // Writer thread only.
    void publish(const T& value) noexcept {
        slots_[writing_] = value;
        const std::uint8_t previous =
            between_.exchange(std::uint8_t(writing_ | kFresh), std::memory_order_acq_rel);
        writing_ = previous & kIndex;
    }

    // Reader thread only. The newest value published since the last call, or nullptr when there
    // is none. The value stays valid and unchanged until the next call.
    const T* takeNewest() noexcept {
        if ((between_.load(std::memory_order_relaxed) & kFresh) == 0) {
            return nullptr;
        }
        const std::uint8_t previous = between_.exchange(reading_, std::memory_order_acq_rel);
        reading_ = previous & kIndex;
        return &slots_[reading_];
    }

private:
    static constexpr std::uint8_t kIndex = 0x3;
    static constexpr std::uint8_t kFresh = 0x4;

    std::array<T, 3> slots_{};
    std::atomic<std::uint8_t> between_{1};
    alignas(64) std::uint8_t writing_ = 0;
    alignas(64) std::uint8_t reading_ = 2;
};

} // namespace kestrelamp
