// Bounds and single-element access. Dimensions are numbered from 1 in the
// caller's order; index arrays list one index per dimension in that order.
// Nothing here locks: pointers into an array stay valid until it changes.
#pragma once

#include "automation/safearray/safearray.h"

// The upper bound (lLbound + cElements - 1, in 32-bit two's complement, so an
// empty dimension ends one below its start) and the lower bound of dimension
// `nDim`. E_INVALIDARG for a null argument or nDim 0 or above cDims.
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* out) noexcept;
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* out) noexcept;

// Stores pvData in *out without locking. E_INVALIDARG for a null argument.
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** out) noexcept;

// The three index operations check, in this order: their null arguments
// (E_INVALIDARG); an array without dimensions (E_INVALIDARG); each index from
// the first to the last against its dimension (DISP_E_BADINDEX for the first
// out of range, or in a dimension of 0 elements); a descriptor whose size fits
// no block, an array without data or whose inline data was released
// (E_INVALIDARG). Nothing is written before all have passed.

// Copies the element into `pv`, by the element kind (variant, string,
// interface, record, in that order): a variant is VariantCopy'ed into the
// VARIANT at pv after only its `vt` is reset (its old content is the
// caller's); a string is copied by its length into the BSTR at pv (null gives
// null, and a copy that comes back null, for length 0 or no memory, is stored
// with E_OUTOFMEMORY); an interface pointer is stored with a new reference;
// records answer E_NOTIMPL; plain elements copy cbElements bytes. A kind whose
// size is not cbElements is refused (E_INVALIDARG). A variant or string
// element read into its own slot already holds its value: S_OK, nothing done
// (a copy over it would leak what it holds); an interface element read into its
// own slot is AddRef'ed like any other, and the caller releases that reference.
HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* indices, void* pv) noexcept;

// Replaces the element by a copy of what `pv` gives, by the element kind: the
// VARIANT at pv (VariantCopy); a text copy of the BSTR at pv (a null source
// leaves the element null with E_OUTOFMEMORY, so does no memory); the
// interface pointer pv itself, which may be null, AddRef'ed before the old one
// is released; records answer E_NOTIMPL; plain elements take cbElements bytes
// from pv. E_INVALIDARG for a null pv where it is read, and for a kind whose
// size is not cbElements. Every copy is made before the old value goes, so the
// source may be part of it.
HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* indices, void* pv) noexcept;

// Stores the element's address (pvData + flat index x cbElements) in *out,
// whatever the element kind.
HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, const LONG* indices, void** out) noexcept;

// QueryInterface on the interface element at flat index `index`, with riid and
// `out` passed on unchecked; its status is returned. E_INVALIDARG for a null
// array, FADF_RECORD, an array that is not of interfaces (neither FADF_HAVEIID
// nor a stored VT_DISPATCH or VT_UNKNOWN), elements of another size than 8, an
// array without element storage or whose size fits no block; DISP_E_BADINDEX
// for an index beyond the element count; E_POINTER for a null element.
HRESULT SafeArrayQueryElement(SAFEARRAY* psa, ULONG index, REFIID riid, void** out) noexcept;
