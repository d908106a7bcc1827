#include "automation/safearray/rawdata.h"

#include <cstdint>
#include <optional>

#include "automation/safearray/create.h"
#include "automation/safearray/descriptor.h"
#include "automation/safearray/layout.h"
#include "automation/strings/bstr.h"

namespace {

// The data of an array as raw storage: pvData and cbElements × the element
// count, reported as 32 bits (it wraps modulo 2^32). A size that does not fit
// 64 bits describes no block: E_INVALIDARG.
HRESULT ArrayStorage(const SAFEARRAY& array, ULONG* size, void** data) noexcept {
    const std::optional<std::uint64_t> bytes = KoAtlCom::detail::DataSize(array);
    if (!bytes) return E_INVALIDARG;
    *size = static_cast<ULONG>(*bytes);
    *data = array.pvData;
    return S_OK;
}

// Plain scalars have raw data: the raw-size table without VT_INT and VT_UINT,
// which have a size but no raw data.
bool HasRawData(VARTYPE base) noexcept {
    ULONG size;
    return SUCCEEDED(VartypeGetRawSize(base, &size)) && base != VT_INT && base != VT_UINT;
}

HRESULT StringRawData(const VARIANT& variant, ULONG* size, void** data) noexcept {
    BSTR string = variant.bstrVal;
    if ((variant.vt & VT_BYREF) != 0) {
        if (variant.pbstrVal == nullptr) return E_INVALIDARG;
        string = *variant.pbstrVal;
    }
    *data = string;
    *size = SysStringLen(string);
    return S_OK;
}

HRESULT ScalarRawData(const VARIANT& variant, ULONG* size, void** data) noexcept {
    if ((variant.vt & VT_VECTOR) != 0) return E_INVALIDARG;
    const VARTYPE base = variant.vt & VT_TYPEMASK;
    if (FAILED(VartypeGetRawSize(base, size))) return E_INVALIDARG;
    if (!HasRawData(base)) return E_INVALIDARG;  // *size already holds 4 for VT_INT, VT_UINT
    *data = (variant.vt & VT_BYREF) != 0 ? variant.byref : const_cast<LONGLONG*>(&variant.llVal);
    return S_OK;
}

// The array's own element size counts; its features and stored VARTYPE are
// not compared with the variant's base type.
HRESULT ArrayRawData(const VARIANT& variant, ULONG* size, void** data) noexcept {
    if (!HasRawData(variant.vt & VT_TYPEMASK)) return E_INVALIDARG;
    const SAFEARRAY* array = variant.parray;
    if ((variant.vt & VT_BYREF) != 0) {
        if (variant.pparray == nullptr) return E_INVALIDARG;
        array = *variant.pparray;
    }
    if (array == nullptr) return E_INVALIDARG;
    return ArrayStorage(*array, size, data);
}

}  // namespace

namespace KoAtlCom::detail {

HRESULT RawDataOf(const VARIANT& variant, ULONG* size, void** data) noexcept {
    if ((variant.vt & VT_ARRAY) != 0) return ArrayRawData(variant, size, data);
    if ((variant.vt & VT_TYPEMASK) == VT_BSTR) return StringRawData(variant, size, data);
    return ScalarRawData(variant, size, data);
}

}  // namespace KoAtlCom::detail

HRESULT VariantGetRawData(VARIANT* pvar, ULONG* size, void** data) noexcept {
    if (pvar == nullptr || size == nullptr || data == nullptr) return E_INVALIDARG;
    return KoAtlCom::detail::RawDataOf(*pvar, size, data);
}

HRESULT VariantGetNormalizedRawData(VARIANT* pvar, ULONG* size, void** data) noexcept {
    if (pvar == nullptr || size == nullptr || data == nullptr) return E_INVALIDARG;
    // True becomes 1, not VARIANT_TRUE, so that the 1-byte view reads 1.
    VARIANT_BOOL* boolean = pvar->vt == VT_BOOL                ? &pvar->boolVal
                            : pvar->vt == (VT_BYREF | VT_BOOL) ? pvar->pboolVal
                                                               : nullptr;
    if (boolean != nullptr && *boolean != 0) *boolean = 1;
    return KoAtlCom::detail::RawDataOf(*pvar, size, data);
}

HRESULT VariantPrepareRawData(VARIANT* pvar, VARTYPE vt, ULONG* size, void** data, const SAFEARRAYBOUND* bounds,
                              UINT cDims) noexcept {
    // A by-reference variant would need storage to refer to, which nobody
    // provides here: refused, with the variant left as it was.
    if (pvar == nullptr || size == nullptr || data == nullptr || (vt & VT_BYREF) != 0) return E_INVALIDARG;
    VariantInit(pvar);  // overwrites without releasing: the caller hands over a blank record
    pvar->vt = vt;
    if ((vt & VT_ARRAY) == 0) return KoAtlCom::detail::RawDataOf(*pvar, size, data);

    const VARTYPE base = vt & VT_TYPEMASK;
    ULONG rawSize;
    if (FAILED(VartypeGetRawSize(base, &rawSize))) return E_INVALIDARG;  // VT_INT, VT_UINT pass here
    pvar->parray =
        bounds != nullptr ? SafeArrayCreate(base, cDims, bounds) : SafeArrayCreateVector(base, 0, *size / rawSize);
    return KoAtlCom::detail::RawDataOf(*pvar, size, data);
}

HRESULT SafeArrayGetElementCount(SAFEARRAY* psa, ULONG* count) noexcept {
    if (psa == nullptr || count == nullptr) return E_INVALIDARG;
    *count = static_cast<ULONG>(SafeArrayElementCount(psa));
    return S_OK;
}

HRESULT SafeArrayGetRawData(SAFEARRAY* psa, ULONG* size, void** data) noexcept {
    if (psa == nullptr || size == nullptr || data == nullptr) return E_INVALIDARG;
    return ArrayStorage(*psa, size, data);
}
