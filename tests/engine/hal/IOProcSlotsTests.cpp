#include "engine/hal/IOProcSlots.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrelamp::hal {
namespace {

// Two channels of 64 frames, input 0 = 0.5, input 1 unlinked.
struct Cycle {
    std::vector<float> in0 = std::vector<float>(64, 0.5f);
    std::vector<float> out0 = std::vector<float>(64, 9.0f);
    std::vector<float> out1 = std::vector<float>(64, 9.0f);
    const float* inputs[2] = {in0.data(), nullptr};
    float* outputs[2] = {out0.data(), out1.data()};
};

TEST(IOProcSlots, BlocksSeeOneMonoBufferPerChannelAndUnlinkedInputsAsSilence) {
    IOProcSlots slots(2);
    std::uint32_t buffers = 0;
    std::uint32_t channels = 0;
    std::uint32_t bytes = 0;
    const auto slot =
        slots.install([&](const AudioIOCycle&, const AudioBufferList& in, AudioBufferList& out) {
            buffers = in.numberBuffers + out.numberBuffers;
            channels = in.buffers[0].numberChannels;
            bytes = in.buffers[1].dataByteSize;
            for (std::uint32_t b = 0; b < out.numberBuffers; ++b) {
                const auto* source = static_cast<const float*>(in.buffers[b].data);
                auto* target = static_cast<float*>(out.buffers[b].data);
                for (std::uint32_t i = 0; i < out.buffers[b].dataByteSize / 4; ++i) {
                    target[i] = source[i] + 1.0f;
                }
            }
        });
    ASSERT_TRUE(slot);
    Cycle cycle;
    slots.render(AudioIOCycle{}, cycle.inputs, cycle.outputs, 64);
    EXPECT_EQ(cycle.out0[0], 0.0f) << "a block that is not started leaves silence";
    EXPECT_EQ(buffers, 0u);

    ASSERT_TRUE(slots.start(*slot));
    slots.render(AudioIOCycle{}, cycle.inputs, cycle.outputs, 64);
    EXPECT_EQ(buffers, 4u);
    EXPECT_EQ(channels, 1u);
    EXPECT_EQ(bytes, 64u * 4);
    EXPECT_EQ(cycle.out0[63], 1.5f);
    EXPECT_EQ(cycle.out1[0], 1.0f) << "the unlinked input read as zeros";

    // A missing output is not written; a cycle too long for the scratch buffers is silence.
    cycle.outputs[1] = nullptr;
    slots.render(AudioIOCycle{}, cycle.inputs, cycle.outputs, 64);
    EXPECT_EQ(cycle.out0[0], 1.5f);
    buffers = 0;
    std::vector<float> longOut(IOProcSlots::kMaxFrames + 1, 9.0f);
    float* longOutputs[2] = {longOut.data(), nullptr};
    const float* noInputs[2] = {nullptr, nullptr};
    slots.render(AudioIOCycle{}, noInputs, longOutputs, IOProcSlots::kMaxFrames + 1);
    EXPECT_EQ(buffers, 0u);
    EXPECT_EQ(longOut.back(), 0.0f);
}

TEST(IOProcSlots, SlotsAreLimitedAndFreedAndEmptyBlocksRefused) {
    IOProcSlots slots(1);
    EXPECT_FALSE(slots.install(nullptr));
    std::vector<std::size_t> taken;
    for (std::size_t i = 0; i < IOProcSlots::kMaxBlocks; ++i) {
        const auto slot =
            slots.install([](const AudioIOCycle&, const AudioBufferList&, AudioBufferList&) {});
        ASSERT_TRUE(slot);
        taken.push_back(*slot);
    }
    EXPECT_FALSE(
        slots.install([](const AudioIOCycle&, const AudioBufferList&, AudioBufferList&) {}));
    EXPECT_TRUE(slots.remove(taken[1]));
    EXPECT_FALSE(slots.remove(taken[1]));
    EXPECT_FALSE(slots.start(taken[1]));
    EXPECT_FALSE(slots.stop(IOProcSlots::kMaxBlocks));
    EXPECT_EQ(slots.install([](const AudioIOCycle&, const AudioBufferList&, AudioBufferList&) {}),
              taken[1]);
}

// The audio thread renders without pause while the main thread starts and stops the block; like
// PipeWire's data loop it serves the main thread's hand-overs between two cycles. Once stop()
// returns, the block is not running and never runs again.
TEST(IOProcSlots, AStoppedBlockIsNotRunningAndNeverCalledAgain) {
    std::mutex mutex;
    std::condition_variable served;
    std::uint64_t asked = 0;
    std::uint64_t answered = 0;
    IOProcSlots slots(2, [&] {
        std::unique_lock lock(mutex);
        const std::uint64_t mine = ++asked;
        served.wait(lock, [&] { return answered >= mine; });
    });
    std::atomic<bool> inside{false};
    std::atomic<std::uint64_t> calls{0};
    const auto slot =
        slots.install([&](const AudioIOCycle&, const AudioBufferList&, AudioBufferList&) {
            inside.store(true);
            std::this_thread::yield();
            calls.fetch_add(1);
            inside.store(false);
        });
    ASSERT_TRUE(slot);
    std::atomic<bool> running{true};
    std::atomic<std::uint64_t> cycles{0};
    std::thread audio([&] {
        Cycle cycle;
        while (running.load()) {
            slots.render(AudioIOCycle{}, cycle.inputs, cycle.outputs, 64);
            cycles.fetch_add(1);
            std::lock_guard lock(mutex);
            answered = asked;
            served.notify_all();
        }
    });
    const auto waitForCycles = [&](std::uint64_t count) {
        const std::uint64_t target = cycles.load() + count;
        while (cycles.load() < target) {
            std::this_thread::yield();
        }
    };
    for (int round = 0; round < 300; ++round) {
        ASSERT_TRUE(slots.start(*slot));
        const std::uint64_t before = calls.load();
        while (calls.load() == before) {
            std::this_thread::yield();
        }
        ASSERT_TRUE(slots.stop(*slot));
        ASSERT_FALSE(inside.load()) << "round " << round;
        const std::uint64_t stoppedAt = calls.load();
        waitForCycles(3);
        ASSERT_EQ(calls.load(), stoppedAt) << "round " << round;
    }
    running.store(false);
    audio.join();
}

} // namespace
} // namespace kestrelamp::hal
