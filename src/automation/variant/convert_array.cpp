// The array step of VariantChangeTypeEx: a one-dimensional byte array to a
// string, a string to a byte vector, and an array to an array of the very same
// type (a copy). Nothing else converts to or from an array.
#include "automation/safearray/bytevector.h"
#include "automation/safearray/data.h"
#include "automation/strings/bstr.h"
#include "automation/variant/convert.h"

namespace {

constexpr VARTYPE kByteArray = VT_ARRAY | VT_UI1;

// All bytes of the array, zero bytes included. An array without elements gives
// a null string, which is reported as a failed allocation.
HRESULT StringFromByteArray(VARIANT& result, const SAFEARRAY* array) noexcept {
    result.bstrVal = nullptr;
    if (array == nullptr || array->cbElements != 1 || array->cDims != 1) return E_INVALIDARG;
    const ULONG count = array->rgsabound[0].cElements;
    if (count == 0) return E_OUTOFMEMORY;
    result.bstrVal = SysAllocStringByteLen(static_cast<const char*>(array->pvData), count);
    return result.bstrVal != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

HRESULT VariantConvertArray(VARIANT* result, const VARIANT* src, VARTYPE vt) noexcept {
    if (result == nullptr || src == nullptr) return E_INVALIDARG;
    if (vt == VT_BSTR) {
        if (src->vt != kByteArray) return DISP_E_TYPEMISMATCH;
        return StringFromByteArray(*result, src->parray);
    }
    // Every byte the length prefix counts; a null string gives a vector of 0 bytes.
    if (vt == kByteArray && src->vt == VT_BSTR) return VectorFromBstr(src->bstrVal, &result->parray);
    if (src->vt == vt && (vt & VT_BYREF) == 0) {
        result->parray = nullptr;  // stays null for a null source array
        return SafeArrayCopy(src->parray, &result->parray);
    }
    return DISP_E_TYPEMISMATCH;
}
