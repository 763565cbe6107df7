#include "AllocationWatch.h"

#include <cerrno>
#include <cstdlib>
#include <new>

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
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

namespace kestrelamp::test {

std::size_t allocationsWhile(const std::function<void()>& body) {
    allocations = 0;
    watching = true;
    body();
    watching = false;
    return allocations;
}

} // namespace kestrelamp::test
