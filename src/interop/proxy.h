/* The proxy functions: unmangled entry points of libZentrel.so through which
 * proxy code registers interface pointers as handles, looks them up and drops
 * them again. They work on the one registry of the process, which exists from
 * the loading of the library to its unloading; handles are dead afterwards.
 *
 * This header compiles as C11 and as C++. Seen from C, IUnknown is an
 * incomplete struct type (the object's first word points at its table of
 * QueryInterface, AddRef and Release) and HRESULT is a signed 32-bit integer.
 * Failure is recognised by the sign of the result alone. */
#pragma once

#include "interop/export.h"

#ifdef __cplusplus
#include "interop/vocabulary.h"
#define ZENTREL_PROXY_NOEXCEPT noexcept
extern "C" {
#else
#include <stdint.h>
typedef int32_t HRESULT;
typedef struct IUnknown IUnknown;
#define ZENTREL_PROXY_NOEXCEPT
#endif

/* Registers `pointer` once more and stores its handle (the pointer's value) in
 * *handle. The first registration of a pointer takes one reference on it
 * (AddRef); later ones only count, up to 4294967295 at a time.
 *   S_OK          registered; also for a null pointer, which stores a null handle
 *                 and registers nothing
 *   E_POINTER     `handle` is null; nothing is registered (0x80004003)
 *   E_FAIL        the pointer already holds 4294967295 registrations; nothing
 *                 changes and *handle is not written (0x80004005)
 * If memory for a new entry cannot be obtained, the allocation failure
 * (std::bad_alloc) propagates to the caller; nothing is registered, no AddRef is
 * made and *handle is not written. */
ZENTREL_EXPORT HRESULT ProxyAddHandle(IUnknown* pointer, void** handle);

/* Drops one registration of `handle`. When it was the last one, the registry's
 * reference is released (Release) after its lock is given up, so the object's
 * destruction may call these functions again.
 *   S_OK          one registration dropped
 *   E_INVALIDARG  `handle` is not registered; null never is (0x80070057) */
ZENTREL_EXPORT HRESULT ProxyRemoveHandle(void* handle) ZENTREL_PROXY_NOEXCEPT;

/* Looks `handle` up and stores the interface pointer in *out with a new
 * reference (AddRef), which the caller must Release. The registration count is
 * unchanged.
 *   S_OK          *out holds the pointer
 *   E_POINTER     `out` is null (0x80004003)
 *   E_FAIL        `handle` is not registered; *out is not written (0x80004005) */
ZENTREL_EXPORT HRESULT ProxyGetHandle(void* handle, IUnknown** out) ZENTREL_PROXY_NOEXCEPT;

#ifdef __cplusplus
}
#endif
#undef ZENTREL_PROXY_NOEXCEPT
