#include "automation/safearray/bytevector.h"

#include "automation/safearray/layout.h"
#include "automation/strings/bstr.h"

using KoAtlCom::detail::CreateByteVector;

HRESULT VectorFromBstr(BSTR bstr, SAFEARRAY** out) noexcept {
    if (out == nullptr) return E_INVALIDARG;
    *out = CreateByteVector(bstr, SysStringLen(bstr));  // the characters, not the terminator
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT ByteVectorFromBstr(BSTR bstr, SAFEARRAY** out) noexcept {
    if (bstr == nullptr) return out == nullptr ? E_POINTER : E_INVALIDARG;
    if (out == nullptr) return E_POINTER;
    SAFEARRAY* vector = CreateByteVector(bstr, SysStringLen(bstr));
    if (vector == nullptr) return E_OUTOFMEMORY;
    *out = vector;
    return S_OK;
}

HRESULT ByteVectorFromBytes(const void* pv, ULONG cb, SAFEARRAY** out) noexcept {
    if (out == nullptr) return E_POINTER;
    if (pv == nullptr) return E_INVALIDARG;
    SAFEARRAY* vector = CreateByteVector(pv, cb);
    if (vector == nullptr) return E_OUTOFMEMORY;
    *out = vector;
    return S_OK;
}

HRESULT ByteVectorFromVariant(const VARIANT* pvar, SAFEARRAY** out) noexcept {
    if (out == nullptr) return E_POINTER;
    if (pvar == nullptr) return E_INVALIDARG;
    ULONG size;
    void* data;
    if (const HRESULT hr = KoAtlCom::detail::RawDataOf(*pvar, &size, &data); FAILED(hr)) return hr;
    // A null string, a null reference or an array without data has no bytes
    // to copy, not even zero of them.
    if (data == nullptr) return E_INVALIDARG;
    SAFEARRAY* vector = CreateByteVector(data, size);
    if (vector == nullptr) return E_OUTOFMEMORY;
    *out = vector;
    return S_OK;
}

HRESULT BstrFromVector(SAFEARRAY* psa, BSTR* out) noexcept {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    if (psa == nullptr || psa->cbElements != 1 || psa->cDims != 1) return E_INVALIDARG;
    // A BSTR copy with the vector's length: zero bytes are kept, no data gives
    // zero characters, and an empty vector gives null, reported as
    // E_OUTOFMEMORY like a failed allocation.
    *out = SysAllocStringLen(static_cast<LPCOLESTR>(psa->pvData), psa->rgsabound[0].cElements);
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}
