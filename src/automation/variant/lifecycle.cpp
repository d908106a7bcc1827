// Clearing and copying variants. A variant owns its string, one reference on
// its interface, or its array; a by-reference variant owns nothing. Arrays are
// destroyed and copied through the array operations, which clear and copy
// their variant elements through these functions again.
#include "automation/variant/lifecycle.h"

#include <cstring>

#include "automation/safearray/data.h"
#include "automation/safearray/layout.h"
#include "automation/strings/bstr_copy.h"
#include "automation/variant/vartype.h"

using KoAtlCom::detail::VartypeRuleAccepts;

namespace {

constexpr VARTYPE kByrefVariant = VT_BYREF | VT_VARIANT;

// Types without flags whose value is plain bytes: clearing them only resets
// `vt` and copying them is copying the record.
constexpr std::uint32_t kPlainTypes = [] {
    std::uint32_t mask = 0;
    for (unsigned vt = VT_EMPTY; vt <= VT_UINT; ++vt)
        if (vt != VT_BSTR && vt != VT_DISPATCH && vt != VT_UNKNOWN && vt != 15) mask |= 1u << vt;
    return mask;
}();

constexpr bool IsPlain(VARTYPE vt) noexcept { return vt < 32 && ((kPlainTypes >> vt) & 1u) != 0; }

// A BSTR text copy of `text` into *out: E_OUTOFMEMORY when a non-null text
// could not be copied.
HRESULT CopyText(BSTR text, BSTR* out) noexcept {
    *out = KoAtlCom::detail::BstrTextCopy(text);
    return *out == nullptr && text != nullptr ? E_OUTOFMEMORY : S_OK;
}

// The destination never shares the source's array, not even when the copy is
// refused before it writes its out-parameter.
HRESULT CopyArray(SAFEARRAY* source, VARIANT* dest) noexcept {
    dest->parray = nullptr;
    return SafeArrayCopy(source, &dest->parray);
}

void AddRefIfAny(IUnknown* unknown) noexcept {
    if (unknown != nullptr) unknown->AddRef();
}

// Resolves the by-reference `source` (valid, not a reference to a by-reference
// variant) into the cleared `dest`, writing the value and, on every path but a
// nested variant, dest's `vt`.
HRESULT CopyReferenced(VARIANT* dest, const VARIANT& source) noexcept {
    const VARTYPE t = source.vt;
    const VARTYPE base = t & VT_TYPEMASK;
    HRESULT hr = S_OK;
    if ((t & VT_ARRAY) != 0) {
        hr = CopyArray(*source.pparray, dest);
    } else if (base == VT_BSTR) {
        hr = CopyText(*source.pbstrVal, &dest->bstrVal);
    } else if (base == VT_DISPATCH || base == VT_UNKNOWN) {
        dest->punkVal = *source.ppunkVal;
        AddRefIfAny(dest->punkVal);
    } else if (base == VT_VARIANT) {
        return VariantCopyInd(dest, source.pvarVal);
    } else if (base == VT_DECIMAL || base == VT_RECORD) {
        hr = E_NOTIMPL;
    } else {
        // The reference may point into dest itself.
        std::memmove(&dest->llVal, source.byref, KoAtlCom::detail::ElementSizeOf(base));
    }
    dest->vt = t & ~VT_BYREF;
    return hr;
}

}  // namespace

HRESULT VariantClear(VARIANT* v) noexcept {
    if (v == nullptr) return E_INVALIDARG;
    const VARTYPE vt = v->vt;
    if (IsPlain(vt)) {
        v->vt = VT_EMPTY;
        return S_OK;
    }
    if (!VartypeRuleAccepts(vt)) return E_INVALIDARG;
    if ((vt & VT_BYREF) != 0) {
        v->vt = VT_EMPTY;
        return S_OK;
    }
    if ((vt & VT_ARRAY) != 0) {
        // The variant keeps its array type, now with no array.
        const HRESULT hr = SafeArrayDestroy(v->parray);
        if (FAILED(hr)) return hr;
        v->parray = nullptr;
        return S_OK;
    }
    switch (vt) {
        case VT_BSTR:
            SysFreeString(v->bstrVal);
            v->bstrVal = nullptr;
            break;
        case VT_DISPATCH:
        case VT_UNKNOWN:
            if (v->punkVal != nullptr) v->punkVal->Release();
            v->punkVal = nullptr;
            break;
        case VT_RECORD:
            return E_NOTIMPL;
        default:
            break;
    }
    v->vt = VT_EMPTY;
    return S_OK;
}

namespace {

// VariantCopy for everything but plain values on both sides; kept out of line
// so that the plain path stays a leaf.
[[gnu::noinline]] HRESULT CopyOwned(VARIANT* dest, const VARIANT* src) noexcept {
    if (dest == nullptr || src == nullptr) return E_INVALIDARG;
    const VARTYPE vt = src->vt;
    if (!VartypeRuleAccepts(vt)) return DISP_E_BADVARTYPE;
    if (dest == src) return S_OK;
    const HRESULT cleared = VariantClear(dest);
    if (FAILED(cleared)) return cleared;
    *dest = *src;
    if ((vt & VT_BYREF) != 0) return S_OK;  // refers to the same storage
    if ((vt & VT_ARRAY) != 0) return CopyArray(src->parray, dest);
    switch (vt) {
        case VT_BSTR:
            return CopyText(src->bstrVal, &dest->bstrVal);
        case VT_DISPATCH:
        case VT_UNKNOWN:
            AddRefIfAny(dest->punkVal);
            return S_OK;
        case VT_RECORD:
            return E_NOTIMPL;  // dest holds the raw record and takes no reference
        default:
            return S_OK;
    }
}

}  // namespace

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) noexcept {
    if (dest != nullptr && src != nullptr && IsPlain(src->vt) && IsPlain(dest->vt)) {
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

    VARIANT source = *src;  // dest may be src; a reference owns nothing to clear
    if (dest == src) {
        dest->vt = VT_EMPTY;
    } else {
        const HRESULT cleared = VariantClear(dest);
        if (FAILED(cleared)) return cleared;
    }
    if ((source.vt & ~VT_BYREF) == VT_VARIANT && source.pvarVal->vt == kByrefVariant) return E_INVALIDARG;
    return CopyReferenced(dest, source);
}

HRESULT VariantNormalizeBool(VARIANT* v) noexcept {
    if (v == nullptr || (v->vt | VT_BYREF) != (VT_BYREF | VT_BOOL)) return S_OK;
    VARIANT_BOOL* value = (v->vt & VT_BYREF) != 0 ? v->pboolVal : &v->boolVal;
    if (value != nullptr) *value = static_cast<VARIANT_BOOL>(-(*value & 1));
    return S_OK;
}
