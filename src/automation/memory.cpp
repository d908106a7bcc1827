#include "automation/memory.h"

#if ZENTREL_FAULT_INJECTION
namespace KoAtlCom::detail::fault {
namespace {

struct Countdown {
    std::uint64_t remaining = 0;  // 0: disarmed
    bool persistent = false;
    bool failing = false;  // a persistent countdown has reached its target
    bool fired = false;
};
thread_local Countdown tCountdown;
thread_local std::uint64_t tAllocations = 0;
thread_local std::uint64_t tRequests = 0;
thread_local std::uint64_t tRequestSizes[kRequestLog];
thread_local Watcher tWatcher = nullptr;

}  // namespace

void Arm(std::uint64_t nth, bool persistent) noexcept { tCountdown = Countdown{nth, persistent, false, false}; }

void Disarm() noexcept { tCountdown = Countdown{}; }

bool Fired() noexcept { return tCountdown.fired; }

std::uint64_t AllocationCount() noexcept { return tAllocations; }

void RecordRequest(std::uint64_t bytes) noexcept { tRequestSizes[tRequests++ % kRequestLog] = bytes; }

std::uint64_t RequestCount() noexcept { return tRequests; }

std::uint64_t RequestSize(std::uint64_t index) noexcept {
    if (index >= tRequests || tRequests - index > kRequestLog) return 0;
    return tRequestSizes[index % kRequestLog];
}

void Watch(Watcher watcher) noexcept { tWatcher = watcher; }

void Seen(const void* block, std::uint64_t bytes) noexcept {
    if (tWatcher != nullptr) tWatcher(block, bytes);
}

bool ShouldFail() noexcept {
    ++tAllocations;
    Countdown& c = tCountdown;
    if (c.failing) return true;
    if (c.remaining == 0) return false;
    if (--c.remaining != 0) return false;
    c.fired = true;
    c.failing = c.persistent;
    return true;
}

}  // namespace KoAtlCom::detail::fault
#endif
