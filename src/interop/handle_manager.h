// The handle registry: interface pointers handed out as opaque handles to proxy
// code, which presents them later to get the object back with a new reference.
//
// A handle is the interface pointer's own value. Keys are raw addresses: the
// registry never asks an object for its identity, so two interface pointers of
// one object are two entries. For each key the registry owns exactly one
// reference, however often the pointer was registered; it counts registrations,
// not references.
//
// Every operation takes the one lock in exclusive mode. AddRef (on first
// registration and on lookup) and Release at destruction run while it is held,
// so an object's AddRef, and its Release at tear-down, must not call back into
// the registry. The Release that follows a pointer's last removal runs after the
// lock is given up and may call back.
#pragma once

#include <cstdint>
#include <shared_mutex>
#include <unordered_map>

#include "interop/export.h"
#include "interop/vocabulary.h"

namespace KoAtlCom::Interop {

namespace detail {
struct HandleManagerAccess;  // defined by the tests only
}  // namespace detail

class HandleManager {
public:
    // One pointer can hold at most this many registrations at a time.
    static constexpr std::uint32_t kMaxRegistrations = 0xFFFFFFFFu;

    HandleManager() { entries_.max_load_factor(1.0f); }
    HandleManager(const HandleManager&) = delete;
    HandleManager& operator=(const HandleManager&) = delete;

    // Releases every registered object once, whatever its count, with the lock
    // held, in the map's order.
    ZENTREL_EXPORT ~HandleManager();

    // Registers `pointer` once more and returns it as its handle. The first
    // registration inserts it and takes the registry's reference (AddRef); later
    // ones only count. Returns null for a null pointer, and null without any
    // change when the pointer already holds kMaxRegistrations. Throws only the
    // allocation failure of a new entry (std::bad_alloc), after giving up the
    // lock, with nothing changed and no AddRef made.
    ZENTREL_EXPORT void* AddHandle(IUnknown* pointer);

    // Drops one registration of `handle`. When it was the last one the entry goes
    // and the registry's reference is released after the lock is given up.
    // S_OK, or E_INVALIDARG for a handle that is not registered (null never is).
    ZENTREL_EXPORT HRESULT ReleaseHandle(void* handle) noexcept;

    // Looks `handle` up and stores its pointer in *out with a new reference
    // (AddRef), which the caller owns; the registration count is unchanged.
    // S_OK; E_POINTER for a null `out`; E_FAIL for a handle that is not
    // registered, leaving *out as it was.
    ZENTREL_EXPORT HRESULT GetHandle(void* handle, IUnknown** out) noexcept;

private:
    friend struct detail::HandleManagerAccess;

    std::shared_mutex mutex_;  // taken in exclusive mode only
    std::unordered_map<IUnknown*, std::uint32_t> entries_;
};

}  // namespace KoAtlCom::Interop
