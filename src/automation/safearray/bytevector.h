// Byte vectors (one-dimensional VT_UI1 arrays with inline data) and raw access to
// the storage behind a variant or an array.
#pragma once

#include "automation/safearray/safearray.h"

HRESULT VectorFromBstr(BSTR bstr, SAFEARRAY** out) noexcept;
HRESULT ByteVectorFromBstr(BSTR bstr, SAFEARRAY** out) noexcept;
HRESULT ByteVectorFromBytes(const void* pv, ULONG cb, SAFEARRAY** out) noexcept;
HRESULT ByteVectorFromVariant(const VARIANT* pvar, SAFEARRAY** out) noexcept;
HRESULT BstrFromVector(SAFEARRAY* psa, BSTR* out) noexcept;

HRESULT VariantGetRawData(VARIANT* pvar, ULONG* size, void** data) noexcept;
HRESULT VariantGetNormalizedRawData(VARIANT* pvar, ULONG* size, void** data) noexcept;
HRESULT VariantPrepareRawData(VARIANT* pvar, VARTYPE vt, ULONG* size, void** data, const SAFEARRAYBOUND* bounds,
                              UINT cDims) noexcept;

HRESULT SafeArrayGetElementCount(SAFEARRAY* psa, ULONG* count) noexcept;
HRESULT SafeArrayGetRawData(SAFEARRAY* psa, ULONG* size, void** data) noexcept;
