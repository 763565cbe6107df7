#pragma once

// Linking this replaces every global allocation function of the executable with one that counts
// the calls made on a thread while it is watched. An executable of its own links it, so that no
// other test runs on the replaced functions.

#include <cstddef>
#include <functional>

namespace kestrelamp::test {

// The sanitizers bring their own malloc; without them the C allocator is counted as well.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
inline constexpr bool kAllocationWatchCountsMalloc = true;
#else
inline constexpr bool kAllocationWatchCountsMalloc = false;
#endif

// The allocations made on this thread while body runs.
std::size_t allocationsWhile(const std::function<void()>& body);

} // namespace kestrelamp::test
