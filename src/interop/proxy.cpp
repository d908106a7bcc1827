#include "interop/proxy.h"

#include "interop/process_handles.h"

namespace KoAtlCom::Interop::detail {

// Constructed by the library's static initialiser, which also registers its
// destructor to run when the library is unloaded or the process exits.
HandleManager gProcessHandles;

}  // namespace KoAtlCom::Interop::detail

using KoAtlCom::Interop::detail::gProcessHandles;

HRESULT ProxyAddHandle(IUnknown* pointer, void** handle) {
    if (handle == nullptr) return E_POINTER;
    void* const registered = gProcessHandles.AddHandle(pointer);
    // A null result for a real pointer means its count is at the maximum.
    if (registered == nullptr && pointer != nullptr) return E_FAIL;
    *handle = registered;
    return S_OK;
}

HRESULT ProxyRemoveHandle(void* handle) noexcept { return gProcessHandles.ReleaseHandle(handle); }

HRESULT ProxyGetHandle(void* handle, IUnknown** out) noexcept { return gProcessHandles.GetHandle(handle, out); }
