// The one seam through which the automation runtime obtains memory that callers
// later release with `free` (strings, array descriptors and data, returned text).
//
// In a build with ZENTREL_FAULT_INJECTION the seam consults a per-thread
// countdown so that tests can make the N-th allocation fail; otherwise it is a
// plain call of malloc/calloc and costs nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace KoAtlCom::detail {

#if ZENTREL_FAULT_INJECTION
namespace fault {
// Arms the calling thread: counting from now, allocation number `nth` (1-based)
// fails, and with `persistent` every one after it too. 0 disarms.
void Arm(std::uint64_t nth, bool persistent) noexcept;
void Disarm() noexcept;
// True once an armed countdown has failed an allocation since the last Arm.
bool Fired() noexcept;
// Consumes one allocation of the calling thread; true when it is to fail. Used
// by the seam below and by the tests' replacement of the global operator new.
bool ShouldFail() noexcept;
// Allocations the calling thread has made through ShouldFail so far.
std::uint64_t AllocationCount() noexcept;
}  // namespace fault
inline bool AllocationFails() noexcept { return fault::ShouldFail(); }
#else
constexpr bool AllocationFails() noexcept { return false; }
#endif

// A zero-byte request (an array without elements) still gets a valid block, on
// every platform, so that null always means the allocation failed.
inline void* Malloc(std::size_t size) noexcept {
    if (AllocationFails()) return nullptr;
    return std::malloc(size != 0 ? size : 1);
}

inline void* Calloc(std::size_t count, std::size_t size) noexcept {
    if (AllocationFails()) return nullptr;
    if (count == 0 || size == 0) count = size = 1;
    return std::calloc(count, size);
}

}  // namespace KoAtlCom::detail
