// What one variant owns and how it is released and copied, apart from an
// array it holds. The variant life cycle (lifecycle.cpp) and the walk over
// arrays nested in variants (safearray/nesting.cpp) both follow these rules.
// Internal: callers outside the library must not use this header.
#pragma once

#include "automation/strings/bstr_copy.h"
#include "automation/vartypes.h"
#include "interop/vocabulary.h"

// Inline: the walk over nested arrays asks them for every element it releases
// or copies (bench_nesting: out of line, a two-level copy and destroy took 12%
// longer than before the walk).
namespace KoAtlCom::detail {

// A variant that owns an array: VT_ARRAY without VT_BYREF (its parray may be null).
constexpr bool HoldsArray(VARTYPE vt) noexcept { return (vt & (VT_BYREF | VT_ARRAY)) == VT_ARRAY; }

// Why VariantClear refuses `v`, or S_OK when it can clear it: an invalid type
// (E_INVALIDARG), a locked array (DISP_E_ARRAYISLOCKED), a record (E_NOTIMPL).
inline HRESULT ClearRefusal(const VARIANT& v) noexcept {
    const VARTYPE vt = v.vt;
    if (!VartypeRuleAccepts(vt)) return E_INVALIDARG;
    if (HoldsArray(vt) && v.parray != nullptr && v.parray->cLocks != 0) return DISP_E_ARRAYISLOCKED;
    return vt == VT_RECORD ? E_NOTIMPL : S_OK;
}

// What clearing `v` leaves of it, without releasing anything: a variant that
// holds an array keeps its `vt` with a null `parray`; any other becomes
// VT_EMPTY, and a string or interface variant's pointer null. The rest of the
// record stays as it was.
inline void LeaveCleared(VARIANT& v) noexcept {
    const VARTYPE vt = v.vt;
    if (HoldsArray(vt)) {
        v.parray = nullptr;
        return;
    }
    if (vt == VT_BSTR || vt == VT_DISPATCH || vt == VT_UNKNOWN) v.byref = nullptr;
    v.vt = VT_EMPTY;
}

// Releases the string or the reference of a variant that ClearRefusal accepts
// and that holds no array, then leaves it cleared.
inline void ReleaseValue(VARIANT& v) noexcept {
    if (v.vt == VT_BSTR) {
        SysFreeString(v.bstrVal);
    } else if ((v.vt == VT_DISPATCH || v.vt == VT_UNKNOWN) && v.punkVal != nullptr) {
        v.punkVal->Release();
    }
    LeaveCleared(v);
}

// `copy` holds the 24 bytes of a valid variant that neither refers to storage
// nor holds an array: gives it what that value owns of its own, a text copy of
// its string (E_OUTOFMEMORY, with a null string, when a non-null string cannot
// be copied) or a reference on its interface. E_NOTIMPL for a record, which is
// left as the raw bytes.
inline HRESULT OwnValue(VARIANT& copy) noexcept {
    switch (copy.vt) {
        case VT_BSTR: {
            const BSTR text = copy.bstrVal;
            copy.bstrVal = BstrTextCopy(text);
            return copy.bstrVal == nullptr && text != nullptr ? E_OUTOFMEMORY : S_OK;
        }
        case VT_DISPATCH:
        case VT_UNKNOWN:
            if (copy.punkVal != nullptr) copy.punkVal->AddRef();
            return S_OK;
        case VT_RECORD:
            return E_NOTIMPL;  // the raw record, without a reference
        default:
            return S_OK;
    }
}

}  // namespace KoAtlCom::detail
