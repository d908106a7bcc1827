#include "support/fault_injection.h"

#include <cstdlib>
#include <new>

#include "automation/memory.h"

namespace zentrel::test {
namespace {

bool NextAllocationFails() noexcept { return KoAtlCom::detail::fault::ShouldFail(); }

void* Allocate(std::size_t size) noexcept {
    if (NextAllocationFails()) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}

void* AllocateAligned(std::size_t size, std::align_val_t align) noexcept {
    if (NextAllocationFails()) return nullptr;
    std::size_t alignment = static_cast<std::size_t>(align);
    std::size_t rounded = (size + alignment - 1) / alignment * alignment;
    return std::aligned_alloc(alignment, rounded == 0 ? alignment : rounded);
}

}  // namespace

AllocationFailure::AllocationFailure(std::uint64_t nth, bool persistent) {
    KoAtlCom::detail::fault::Arm(nth, persistent);
}
AllocationFailure::~AllocationFailure() { KoAtlCom::detail::fault::Disarm(); }
bool AllocationFailure::Fired() const { return KoAtlCom::detail::fault::Fired(); }

AllocationCounter::AllocationCounter() : start_(KoAtlCom::detail::fault::AllocationCount()) {}
std::uint64_t AllocationCounter::Count() const { return KoAtlCom::detail::fault::AllocationCount() - start_; }

SeamRequests::SeamRequests() : start_(KoAtlCom::detail::fault::RequestCount()) {}
std::vector<std::uint64_t> SeamRequests::Sizes() const {
    namespace fault = KoAtlCom::detail::fault;
    const std::uint64_t end = fault::RequestCount();
    EXPECT_LE(end - start_, fault::kRequestLog) << "more requests than the seam keeps";
    std::vector<std::uint64_t> sizes;
    for (std::uint64_t i = start_; i < end; ++i) sizes.push_back(fault::RequestSize(i));
    return sizes;
}

}  // namespace zentrel::test

// Replacements of the global allocation functions for every test program.
void* operator new(std::size_t size) {
    if (void* p = zentrel::test::Allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = zentrel::test::Allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return zentrel::test::Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return zentrel::test::Allocate(size); }
void* operator new(std::size_t size, std::align_val_t align) {
    if (void* p = zentrel::test::AllocateAligned(size, align)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) {
    if (void* p = zentrel::test::AllocateAligned(size, align)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    return zentrel::test::AllocateAligned(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    return zentrel::test::AllocateAligned(size, align);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
