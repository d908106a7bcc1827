// Byte vectors: one-dimensional VT_UI1 arrays with inline data (lower bound 0,
// FADF_INLINE_DATA | FADF_HAVEVARTYPE, one calloc block of 48 + n bytes) that
// carry a copy of some bytes, and the way back to a string. The caller
// destroys a vector with SafeArrayDestroy and frees a string with
// SysFreeString.
#pragma once

#include "automation/safearray/safearray.h"

// A vector of the string's characters (its length prefix counts, the
// terminator is not taken; a null string gives 0 elements). E_INVALIDARG for a
// null `out`; E_OUTOFMEMORY with *out null.
HRESULT VectorFromBstr(BSTR bstr, SAFEARRAY** out) noexcept;

// The same vector with stricter arguments: E_POINTER for a null `out`
// (checked after the string when both are null), E_INVALIDARG for a null
// string; E_OUTOFMEMORY. *out is written only on success.
HRESULT ByteVectorFromBstr(BSTR bstr, SAFEARRAY** out) noexcept;

// A vector of the `cb` bytes at `pv`. E_POINTER for a null `out`, then
// E_INVALIDARG for a null `pv`; E_OUTOFMEMORY. *out is written only on success.
HRESULT ByteVectorFromBytes(const void* pv, ULONG cb, SAFEARRAY** out) noexcept;

// A vector of the raw data of the variant (VariantGetRawData: a string's
// characters, a plain scalar's value bytes, an array's data). E_POINTER for a
// null `out`; E_INVALIDARG for a null variant or no raw data address (a null
// string, reference or array data); the raw-data status for a type without
// raw data; E_OUTOFMEMORY. *out is written only on success.
HRESULT ByteVectorFromVariant(const VARIANT* pvar, SAFEARRAY** out) noexcept;

// A string of all cElements bytes of a one-dimensional array of one-byte
// elements (zero bytes kept; the lower bound plays no part; no data gives zero
// characters). E_INVALIDARG for a null `out`; otherwise *out is set to null
// first, and E_INVALIDARG follows for a null array, an element size other than
// 1 or another number of dimensions. An empty vector gives a null string with
// E_OUTOFMEMORY, as does no memory.
HRESULT BstrFromVector(SAFEARRAY* psa, BSTR* out) noexcept;
