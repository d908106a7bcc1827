// The one seam through which the automation runtime obtains memory that callers
// later release with `free` (strings, array descriptors and data, returned text).
//
// In the tests' build of the runtime (ZENTREL_FAULT_INJECTION=1, the
// zentrel_core_testing library) the seam records each request's size and
// consults a per-thread countdown so that tests can make the N-th allocation
// fail. The shipped libraries are built without it: there the seam is a plain
// call of malloc/calloc and costs nothing.
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
// Records the size in bytes of one request made through the seam below (a
// calloc's count x size, UINT64_MAX when that product overflows), whether or
// not it then fails. The calling thread keeps the last kRequestLog of them.
inline constexpr std::size_t kRequestLog = 64;
void RecordRequest(std::uint64_t bytes) noexcept;
// Requests the calling thread has recorded so far, and the size of request
// number `index` (0-based; 0 when it is no longer, or not yet, in the log).
std::uint64_t RequestCount() noexcept;
std::uint64_t RequestSize(std::uint64_t index) noexcept;
}  // namespace fault
inline bool AllocationFails(std::uint64_t bytes) noexcept {
    fault::RecordRequest(bytes);
    return fault::ShouldFail();
}
#else
constexpr bool AllocationFails(std::uint64_t) noexcept { return false; }
#endif

// A zero-byte request (an array without elements) still gets a valid block, on
// every platform, so that null always means the allocation failed.
inline void* Malloc(std::size_t size) noexcept {
    if (AllocationFails(size)) return nullptr;
    return std::malloc(size != 0 ? size : 1);
}

inline void* Calloc(std::size_t count, std::size_t size) noexcept {
    std::uint64_t bytes;  // only the tests' seam looks at it
    if (__builtin_mul_overflow(count, size, &bytes)) bytes = UINT64_MAX;
    if (AllocationFails(bytes)) return nullptr;
    if (count == 0 || size == 0) count = size = 1;
    return std::calloc(count, size);
}

}  // namespace KoAtlCom::detail
