// The one seam through which the automation runtime obtains memory that callers
// later release with `free` (strings, array descriptors and data, returned text),
// and through which it frees memory itself.
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
// A test may watch the blocks the seam hands out and takes back, in order, on
// the calling thread (null stops watching). `bytes` is kFreed for a block given
// back.
inline constexpr std::uint64_t kFreed = UINT64_MAX;
using Watcher = void (*)(const void* block, std::uint64_t bytes);
void Watch(Watcher watcher) noexcept;
void Seen(const void* block, std::uint64_t bytes) noexcept;
}  // namespace fault
inline bool AllocationFails(std::uint64_t bytes) noexcept {
    fault::RecordRequest(bytes);
    return fault::ShouldFail();
}
inline void* Handed(void* block, std::uint64_t bytes) noexcept {
    if (block != nullptr) fault::Seen(block, bytes);
    return block;
}
inline void Released(const void* block) noexcept {
    if (block != nullptr) fault::Seen(block, fault::kFreed);
}
#else
constexpr bool AllocationFails(std::uint64_t) noexcept { return false; }
constexpr void* Handed(void* block, std::uint64_t) noexcept { return block; }
constexpr void Released(const void*) noexcept {}
#endif

// A zero-byte request (an array without elements) still gets a valid block, on
// every platform, so that null always means the allocation failed.
inline void* Malloc(std::size_t size) noexcept {
    if (AllocationFails(size)) return nullptr;
    return Handed(std::malloc(size != 0 ? size : 1), size);
}

inline void* Calloc(std::size_t count, std::size_t size) noexcept {
    std::uint64_t bytes;  // only the tests' seam looks at it
    if (__builtin_mul_overflow(count, size, &bytes)) bytes = UINT64_MAX;
    if (AllocationFails(bytes)) return nullptr;
    if (count == 0 || size == 0) count = size = 1;
    return Handed(std::calloc(count, size), bytes);
}

// Gives back a block of the seam, or any block of the C library's malloc.
inline void Free(void* block) noexcept {
    Released(block);
    std::free(block);
}

}  // namespace KoAtlCom::detail
