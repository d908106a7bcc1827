// Bounds and single-element access. Dimensions are numbered from 1 in the
// caller's order; index arrays list one index per dimension in that order.
#pragma once

#include "automation/safearray/safearray.h"

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* out) noexcept;
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* out) noexcept;

// Hands out pvData without locking.
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** out) noexcept;

HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* indices, void* pv) noexcept;
HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* indices, void* pv) noexcept;
HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, const LONG* indices, void** out) noexcept;

// QueryInterface on the interface element at flat index `index`; riid and
// `out` go to the element unchecked. An index beyond the element count gives
// DISP_E_BADINDEX and a null element E_POINTER, without a call.
HRESULT SafeArrayQueryElement(SAFEARRAY* psa, ULONG index, REFIID riid, void** out) noexcept;
