// The render cycle must not allocate. Every global allocation function is replaced here by one
// that counts the calls made on a thread that asked to be watched.

#include "engine/EQProcessor.h"

#include "MockAudioHardware.h"
#include "TestBuffers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// The sanitizers bring their own malloc; without them the C allocator is watched as well.
#define KESTRELAMP_WATCH_MALLOC 1
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
extern "C" void* __libc_memalign(std::size_t, std::size_t);
#else
#define KESTRELAMP_WATCH_MALLOC 0
#endif

namespace {

thread_local bool watching = false;
thread_local std::size_t allocations = 0;

void note() {
    if (watching) {
        ++allocations;
    }
}

// Counts once, then takes the memory from the C library without passing the watch again.
void* allocate(std::size_t size, std::size_t alignment = 0) {
    note();
    size = size ? size : 1;
    const bool overAligned = alignment > alignof(std::max_align_t);
#if KESTRELAMP_WATCH_MALLOC
    return overAligned ? __libc_memalign(alignment, size) : __libc_malloc(size);
#else
    return overAligned
               ? std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment)
               : std::malloc(size);
#endif
}

void* allocateOrThrow(std::size_t size, std::size_t alignment = 0) {
    void* p = allocate(size, alignment);
    if (!p) {
        throw std::bad_alloc();
    }
    return p;
}

} // namespace

#if KESTRELAMP_WATCH_MALLOC
extern "C" {
void* malloc(std::size_t size) {
    note();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
    note();
    return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) {
    note();
    return __libc_realloc(p, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    note();
    *out = __libc_memalign(alignment, size);
    return *out ? 0 : ENOMEM;
}
}
#endif

void* operator new(std::size_t size) {
    return allocateOrThrow(size);
}
void* operator new[](std::size_t size) {
    return allocateOrThrow(size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    return allocateOrThrow(size, std::size_t(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return allocateOrThrow(size, std::size_t(alignment));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocate(size, std::size_t(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocate(size, std::size_t(alignment));
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}

namespace kestrelamp {
namespace {

using testing::_;
using testing::NiceMock;
using testing::Return;

class Watch {
public:
    Watch() {
        allocations = 0;
        watching = true;
    }
    ~Watch() { watching = false; }
    std::size_t count() const { return allocations; }
};

TEST(RenderAllocation, TheWatchSeesAllocations) {
    std::size_t counted = 0;
    {
        Watch watch;
        auto* boxed = new int(3);
        delete boxed;
#if KESTRELAMP_WATCH_MALLOC
        std::free(std::malloc(16));
#endif
        std::vector<float> grown(100);
        counted = watch.count();
    }
    EXPECT_EQ(counted, KESTRELAMP_WATCH_MALLOC ? 3u : 2u);
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

    std::size_t counted = 0;
    for (int cycle = 0; cycle < 400; ++cycle) {
        if (cycle % 100 == 0) {
            processor.applyPreset(EQPreset::allPresets()[std::size_t(cycle / 100) + 1], key);
        }
        engine.isMuted = cycle % 9 == 0;
        if (cycle == 350) {
            processor.applyPreset(EQPreset::flat(), key);
        }
        test::TestBuffers& buffers = layouts[std::size_t(cycle) % layouts.size()];
        Watch watch;
        block(buffers.input, buffers.output);
        counted += watch.count();
    }
    EXPECT_EQ(counted, 0u);
    EXPECT_FALSE(engine.eqEnabled);
}

} // namespace
} // namespace kestrelamp
