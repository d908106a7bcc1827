// What one variant owns and how it is released and copied, apart from an
// array it holds. The variant life cycle (lifecycle.cpp) and the walk over
// arrays nested in variants (safearray/nesting.cpp) both follow these rules.
// Internal: callers outside the library must not use this header.
#pragma once

#include "interop/vocabulary.h"

namespace KoAtlCom::detail {

// A variant that owns an array: VT_ARRAY without VT_BYREF (its parray may be null).
constexpr bool HoldsArray(VARTYPE vt) noexcept { return (vt & (VT_BYREF | VT_ARRAY)) == VT_ARRAY; }

// Why VariantClear refuses `v`, or S_OK when it can clear it: an invalid type
// (E_INVALIDARG), a locked array (DISP_E_ARRAYISLOCKED), a record (E_NOTIMPL).
HRESULT ClearRefusal(const VARIANT& v) noexcept;

// What clearing `v` leaves of it, without releasing anything: a variant that
// holds an array keeps its `vt` with a null `parray`; any other becomes
// VT_EMPTY, and a string or interface variant's pointer null. The rest of the
// record stays as it was.
void LeaveCleared(VARIANT& v) noexcept;

// Releases the string or the reference of a variant that ClearRefusal accepts
// and that holds no array, then leaves it cleared.
void ReleaseValue(VARIANT& v) noexcept;

// `copy` holds the 24 bytes of a valid variant that neither refers to storage
// nor holds an array: gives it what that value owns of its own, a text copy of
// its string (E_OUTOFMEMORY, with a null string, when a non-null string cannot
// be copied) or a reference on its interface. E_NOTIMPL for a record, which is
// left as the raw bytes.
HRESULT OwnValue(VARIANT& copy) noexcept;

}  // namespace KoAtlCom::detail
