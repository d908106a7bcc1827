// Descriptors: allocating them and their data, and reading what they state
// (the element type, the interface identifier, dimensions, element size and
// count). None of these locks or throws.
#pragma once

#include <cstdint>

#include "automation/safearray/safearray.h"

// A descriptor block of cDims dimensions ((cDims - 1) x 8 + 48 bytes, from
// malloc) whose prefix, features, element size, data pointer and bounds are
// left for the caller to fill; cLocks is 0 and cDims set. E_INVALIDARG for 0 or
// more than 65535 dimensions (cDims is 16 bits) or a null `out`;
// E_OUTOFMEMORY. *out is written only on success.
HRESULT SafeArrayAllocDescriptor(UINT cDims, SAFEARRAY** out) noexcept;

// The same, then the features, prefix and element size for `vt`: VT_UNKNOWN and
// VT_DISPATCH get FADF_HAVEIID with their IID; VT_RECORD gets FADF_RECORD, a
// zeroed prefix and 32-byte elements; every other type FADF_HAVEVARTYPE with
// `vt` in the prefix and the element size of its type (0 for a type that cannot
// be an element). No kind bit is set. The same checks and statuses.
HRESULT SafeArrayAllocDescriptorEx(VARTYPE vt, UINT cDims, SAFEARRAY** out) noexcept;

// Allocates and zeroes the data block of element count x cbElements bytes into
// pvData, which is null when that fails (E_OUTOFMEMORY) or the size does not
// fit 64 bits. S_OK without allocating for FADF_STATIC or FADF_INLINE_DATA
// arrays; E_INVALIDARG for null. The old pvData is not looked at.
HRESULT SafeArrayAllocData(SAFEARRAY* psa) noexcept;

// Replace or read the IID in the prefix of an array with FADF_HAVEIID.
// E_INVALIDARG for a null array or `guid`, or one without FADF_HAVEIID.
HRESULT SafeArraySetIID(SAFEARRAY* psa, REFGUID guid) noexcept;
HRESULT SafeArrayGetIID(SAFEARRAY* psa, GUID* guid) noexcept;

// The element type, first matching: VT_RECORD under FADF_RECORD; VT_DISPATCH
// under FADF_HAVEIID with FADF_DISPATCH; VT_UNKNOWN under FADF_HAVEIID; the
// low 16 bits of the prefix's VARTYPE word under FADF_HAVEVARTYPE.
// E_INVALIDARG, writing nothing, for a null argument or none of these bits.
// The two functions are the same.
HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) noexcept;
HRESULT SafeArrayGetElementVartype(SAFEARRAY* psa, VARTYPE* pvt) noexcept;

// cDims and cbElements; 0 for null.
UINT SafeArrayGetDim(SAFEARRAY* psa) noexcept;
UINT SafeArrayGetElemsize(SAFEARRAY* psa) noexcept;

// The product of all element counts in 64 bits (it wraps for more than 2^64
// elements); 0 for null or no dimensions.
std::uint64_t SafeArrayElementCount(const SAFEARRAY* psa) noexcept;

// Raw value size of the thirteen plain scalar types (VT_I2, VT_I4, VT_R4,
// VT_R8, VT_BOOL, VT_I1, VT_UI1, VT_UI2, VT_UI4, VT_I8, VT_UI8, VT_INT,
// VT_UINT; VT_BOOL is 1 byte here, 2 as an array element). E_INVALIDARG for
// any other type or a null `size`, which is then not written.
HRESULT VartypeGetRawSize(VARTYPE vt, ULONG* size) noexcept;

// The variant-type rule as a predicate: false for VT_VECTOR or VT_RESERVED,
// base type 15, VT_ARRAY or VT_BYREF on VT_EMPTY or VT_NULL, and base types of
// 24 and up other than VT_RECORD.
bool VartypeIsValid(VARTYPE vt) noexcept;
