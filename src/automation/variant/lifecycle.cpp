// Clearing and copying variants. A variant owns its string, one reference on
// its interface, or its array; a by-reference variant owns nothing. Arrays are
// destroyed and copied through the array operations, whose walk over nested
// arrays releases and copies their variant elements by the same rules
// (ownership.h).
//
// A source may live inside what the destination owns: an element of the array
// that the destination holds, or the storage a reference points at. So a
// destination that owns something keeps it until the copy is complete, and
// only then is it released and the copy moved in.
#include "automation/variant/lifecycle.h"

#include <cstring>

#include "automation/safearray/data.h"
#include "automation/strings/bstr_copy.h"
#include "automation/variant/ownership.h"
#include "automation/vartypes.h"

using KoAtlCom::detail::ClearRefusal;
using KoAtlCom::detail::HoldsArray;
using KoAtlCom::detail::IsPlainVartype;
using KoAtlCom::detail::LeaveCleared;
using KoAtlCom::detail::VartypeRuleAccepts;

namespace {

constexpr VARTYPE kByrefVariant = VT_BYREF | VT_VARIANT;

// Releases what `v` owns once ClearRefusal has accepted it, then leaves it
// cleared. A variant lets go of its array before the array is destroyed, so
// that the destruction never reads the variant (which an array holding itself
// would have freed).
void Release(VARIANT& v) noexcept {
    if (!HoldsArray(v.vt)) return KoAtlCom::detail::ReleaseValue(v);
    SAFEARRAY* array = v.parray;
    LeaveCleared(v);
    SafeArrayDestroy(array);  // cannot fail: the lock was checked
}

// The destination never shares the source's array, not even when the copy is
// refused before it writes its out-parameter.
HRESULT CopyArray(SAFEARRAY* source, VARIANT* dest) noexcept {
    dest->parray = nullptr;
    return SafeArrayCopy(source, &dest->parray);
}

// Makes `dest`, which owns nothing and is not `src`, a copy of the valid `src`:
// all 24 bytes, then what the value owns copied deeply.
HRESULT CopyInto(VARIANT* dest, const VARIANT& src) noexcept {
    *dest = src;
    if ((src.vt & VT_BYREF) != 0) return S_OK;  // refers to the same storage
    if (HoldsArray(src.vt)) return CopyArray(src.parray, dest);
    return KoAtlCom::detail::OwnValue(*dest);
}

// Resolves the valid by-reference `source` (its reference not null) into
// `dest`, which owns nothing: the value and, on every path but a nested
// variant, dest's `vt`. A reference to a by-reference variant is refused with
// dest left as it is.
HRESULT Resolve(VARIANT* dest, const VARIANT& source) noexcept {
    const VARTYPE t = source.vt;
    const VARTYPE base = t & VT_TYPEMASK;
    HRESULT hr = S_OK;
    if ((t & VT_ARRAY) != 0) {
        hr = CopyArray(*source.pparray, dest);
    } else if (base == VT_BSTR || base == VT_DISPATCH || base == VT_UNKNOWN) {
        dest->vt = base;
        if (base == VT_BSTR)
            dest->bstrVal = *source.pbstrVal;
        else
            dest->punkVal = *source.ppunkVal;
        hr = KoAtlCom::detail::OwnValue(*dest);
    } else if (base == VT_VARIANT) {
        if (source.pvarVal->vt == kByrefVariant) return E_INVALIDARG;
        return VariantCopyInd(dest, source.pvarVal);
    } else if (base == VT_DECIMAL || base == VT_RECORD) {
        hr = E_NOTIMPL;
    } else {
        // The reference may point into dest itself.
        std::memmove(&dest->llVal, source.byref, KoAtlCom::detail::RowOf(base).element);
    }
    dest->vt = t & ~VT_BYREF;
    return hr;
}

// True when clearing `v` only resets its `vt`: a plain value or a reference.
bool OwnsNothing(const VARIANT& v) noexcept {
    return IsPlainVartype(v.vt) || ((v.vt & VT_BYREF) != 0 && VartypeRuleAccepts(v.vt));
}

// VariantCopy for everything but plain values on both sides; kept out of line
// so that the plain path stays a leaf.
[[gnu::noinline]] HRESULT CopyOwned(VARIANT* dest, const VARIANT* src) noexcept {
    if (dest == nullptr || src == nullptr) return E_INVALIDARG;
    if (!VartypeRuleAccepts(src->vt)) return DISP_E_BADVARTYPE;
    if (dest == src) return S_OK;
    if (IsPlainVartype(dest->vt)) return CopyInto(dest, *src);
    if (const HRESULT refused = ClearRefusal(*dest); FAILED(refused)) return refused;
    VARIANT copy;
    const HRESULT hr = CopyInto(&copy, *src);
    Release(*dest);
    *dest = copy;
    return hr;
}

}  // namespace

HRESULT VariantClear(VARIANT* v) noexcept {
    if (v == nullptr) return E_INVALIDARG;
    if (IsPlainVartype(v->vt)) {
        v->vt = VT_EMPTY;
        return S_OK;
    }
    if (const HRESULT refused = ClearRefusal(*v); FAILED(refused)) return refused;
    Release(*v);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) noexcept {
    if (dest != nullptr && src != nullptr && IsPlainVartype(src->vt) && IsPlainVartype(dest->vt)) {
        *dest = *src;  // nothing to release, nothing to copy deeply
        return S_OK;
    }
    return CopyOwned(dest, src);
}

// A null reference in a by-reference source is refused (E_INVALIDARG) before
// anything is changed.
HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src) noexcept {
    if (dest == nullptr || src == nullptr) return E_INVALIDARG;
    if ((src->vt & VT_BYREF) == 0) return VariantCopy(dest, src);
    if (!VartypeRuleAccepts(src->vt)) return DISP_E_BADVARTYPE;
    if (src->byref == nullptr) return E_INVALIDARG;

    const VARIANT source = *src;  // dest may be src
    if (OwnsNothing(*dest)) {
        dest->vt = VT_EMPTY;
        return Resolve(dest, source);
    }
    if (const HRESULT refused = ClearRefusal(*dest); FAILED(refused)) return refused;
    // Resolved into what clearing dest leaves of it, so that the bytes end,
    // on every path, as if dest had been cleared first.
    VARIANT resolved = *dest;
    LeaveCleared(resolved);
    const HRESULT hr = Resolve(&resolved, source);
    Release(*dest);
    *dest = resolved;
    return hr;
}

HRESULT VariantNormalizeBool(VARIANT* v) noexcept {
    if (v == nullptr || (v->vt | VT_BYREF) != (VT_BYREF | VT_BOOL)) return S_OK;
    VARIANT_BOOL* value = (v->vt & VT_BYREF) != 0 ? v->pboolVal : &v->boolVal;
    if (value != nullptr) *value = static_cast<VARIANT_BOOL>(-(*value & 1));
    return S_OK;
}
