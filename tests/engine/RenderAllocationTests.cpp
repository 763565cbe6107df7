// The render cycle must not allocate; the allocation watch counts what a cycle asks for.

#include "engine/EQProcessor.h"

#include "AllocationWatch.h"
#include "MockAudioHardware.h"
#include "TestBuffers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

namespace kestrelamp {
namespace {

using testing::_;
using testing::NiceMock;
using testing::Return;

TEST(RenderAllocation, TheWatchSeesAllocations) {
    const std::size_t counted = test::allocationsWhile([] {
        // Through volatile pointers, so that the optimizer keeps every allocation.
        int* volatile boxed = new int(3);
        delete boxed;
        int* volatile array = new int[2];
        delete[] array;
        int* volatile unthrowing = new (std::nothrow) int(1);
        delete unthrowing;
        if constexpr (test::kAllocationWatchCountsMalloc) {
            void* volatile block = std::malloc(16);
            std::free(block);
        }
        std::vector<float> grown(100);
        float* volatile data = grown.data();
        static_cast<void>(data);
    });
    EXPECT_EQ(counted, test::kAllocationWatchCountsMalloc ? 5u : 4u);
}

TEST(RenderAllocation, RenderCyclesAllocateNothing) {
    NiceMock<test::MockAudioHardware> hardware;
    hal::AudioDeviceIOBlock block;
    ON_CALL(hardware, createIOProcID)
        .WillByDefault(
            [&](hal::AudioObjectID, hal::AudioDeviceIOBlock b, hal::AudioDeviceIOProcID& id) {
                block = std::move(b);
                id = 1;
                return hal::noErr;
            });
    ON_CALL(hardware, deviceStart).WillByDefault(Return(hal::noErr));
    EQProcessor processor(hardware);
    const std::string key = "org.example.Player|speakers";
    ASSERT_TRUE(processor.startProcessing(key, 1));
    EngineState& engine = *processor.engine(key);
    engine.levelHandler = [](float) {};

    std::vector<test::TestBuffers> layouts;
    layouts.emplace_back(2, 512);
    layouts.emplace_back(1, 33);
    layouts.emplace_back(6, 128);
    layouts.emplace_back(10, 64);
    layouts.emplace_back(std::vector<std::size_t>{64, 17, 64});
    layouts.back().inBuffers[1].dataByteSize = 7;
    layouts.back().outBuffers[2].data = layouts.back().in[2].data();

    // Presets change in the middle of fades, the volume and the mute ramp, the rate switches and
    // now and then is unusable.
    constexpr double kRates[] = {48000.0, 44100.0, 96000.0, 0.0, 48000.0, 22050.0};
    std::size_t counted = 0;
    for (int cycle = 0; cycle < 400; ++cycle) {
        if (cycle % 100 == 0) {
            processor.applyPreset(EQPreset::allPresets()[std::size_t(cycle / 100) + 1], key);
        }
        if (cycle % 7 == 3 && cycle < 350) {
            processor.setBand(key, cycle % 10, float(cycle % 13) - 6.0f);
        }
        engine.isMuted = cycle % 9 == 0;
        engine.volume = float(cycle % 5) * 0.5f;
        if (cycle == 350) {
            processor.applyPreset(EQPreset::flat(), key);
        }
        test::TestBuffers& buffers = layouts[std::size_t(cycle) % layouts.size()];
        const hal::AudioIOCycle io{kRates[std::size_t(cycle / 20) % std::size(kRates)]};
        counted += test::allocationsWhile([&] { block(io, buffers.input, buffers.output); });
    }
    EXPECT_EQ(counted, 0u);
    EXPECT_FALSE(engine.eqEnabled);
    EXPECT_FALSE(engine.render.eq.isActive());
}

} // namespace
} // namespace kestrelamp
