#include "interop/handle_manager.h"

#include <mutex>

// A registered object needs only the binary layout of an interface: a pointer to
// its table of QueryInterface, AddRef and Release. Objects written in C (see
// interop/proxy.h) have no C++ type information in front of that table, which
// the sanitizer's vptr check would read on every call into them.
#if defined(__GNUC__) || defined(__clang__)
#define ZENTREL_CALLS_FOREIGN_OBJECTS __attribute__((no_sanitize("vptr")))
#else
#define ZENTREL_CALLS_FOREIGN_OBJECTS
#endif

namespace KoAtlCom::Interop {

ZENTREL_CALLS_FOREIGN_OBJECTS HandleManager::~HandleManager() {
    std::unique_lock lock(mutex_);
    for (const auto& entry : entries_) entry.first->Release();
    entries_.clear();
}

ZENTREL_CALLS_FOREIGN_OBJECTS void* HandleManager::AddHandle(IUnknown* pointer) {
    std::unique_lock lock(mutex_);
    if (pointer == nullptr) return nullptr;
    // Looks up before allocating: only a new key can throw, and then the map is
    // unchanged and the lock is given up on the way out.
    const auto [entry, inserted] = entries_.try_emplace(pointer, 1u);
    if (inserted) {
        pointer->AddRef();
        return pointer;
    }
    // A count that wrapped to 0 would break "every key counts at least 1" and let
    // one removal release a reference others still rely on; refuse instead.
    if (entry->second == kMaxRegistrations) return nullptr;
    ++entry->second;
    return pointer;
}

ZENTREL_CALLS_FOREIGN_OBJECTS HRESULT HandleManager::ReleaseHandle(void* handle) noexcept {
    IUnknown* removed = nullptr;
    {
        std::unique_lock lock(mutex_);
        const auto entry = entries_.find(static_cast<IUnknown*>(handle));
        if (entry == entries_.end()) return E_INVALIDARG;
        if (--entry->second == 0) {
            removed = entry->first;
            entries_.erase(entry);
        }
    }
    // Outside the lock: the object's destruction may register or remove handles.
    if (removed != nullptr) removed->Release();
    return S_OK;
}

ZENTREL_CALLS_FOREIGN_OBJECTS HRESULT HandleManager::GetHandle(void* handle, IUnknown** out) noexcept {
    if (out == nullptr) return E_POINTER;
    std::unique_lock lock(mutex_);
    const auto entry = entries_.find(static_cast<IUnknown*>(handle));
    if (entry == entries_.end()) return E_FAIL;
    *out = entry->first;
    entry->first->AddRef();
    return S_OK;
}

}  // namespace KoAtlCom::Interop
