#include "interop/handle_manager.h"

#include <mutex>

namespace KoAtlCom::Interop {

HandleManager::~HandleManager() {
    std::unique_lock lock(mutex_);
    for (const auto& entry : entries_) entry.first->Release();
    entries_.clear();
}

void* HandleManager::AddHandle(IUnknown* pointer) {
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

HRESULT HandleManager::ReleaseHandle(void* handle) noexcept {
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

HRESULT HandleManager::GetHandle(void* handle, IUnknown** out) noexcept {
    if (out == nullptr) return E_POINTER;
    std::unique_lock lock(mutex_);
    const auto entry = entries_.find(static_cast<IUnknown*>(handle));
    if (entry == entries_.end()) return E_FAIL;
    *out = entry->first;
    entry->first->AddRef();
    return S_OK;
}

}  // namespace KoAtlCom::Interop
