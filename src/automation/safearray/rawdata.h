// Raw access to the storage behind a variant's value or an array. The
// addresses point into the variant, its string or its array and stay valid
// while those are unchanged; nothing is copied or locked.
#pragma once

#include "automation/safearray/safearray.h"

// The address and byte size of the value's storage: a string's characters
// (through the reference for VT_BYREF; its length prefix, 0 for null); the
// value field, or the referenced storage, of the eleven plain scalars VT_I2,
// VT_I4, VT_R4, VT_R8, VT_BOOL (1 byte), VT_I1, VT_UI1, VT_UI2, VT_UI4, VT_I8
// and VT_UI8; the data of an array of one of those (directly or by reference),
// sized as SafeArrayGetRawData sizes it. E_INVALIDARG for a null argument, any
// other type (VT_INT and VT_UINT with *size already set to 4), VT_VECTOR, a
// null array, a null reference to a string or an array, or an array whose size
// does not fit 64 bits. A null reference to a scalar is not followed: S_OK with
// the scalar's size and a null address.
HRESULT VariantGetRawData(VARIANT* pvar, ULONG* size, void** data) noexcept;

// VariantGetRawData after a non-zero VT_BOOL (or referenced boolean) is set to
// 1 in place, so that its 1-byte view reads 1 for true.
HRESULT VariantGetNormalizedRawData(VARIANT* pvar, ULONG* size, void** data) noexcept;

// Makes `pvar` a zero value of type `vt` (overwriting it without releasing
// anything) and returns its raw data for the caller to fill. With VT_ARRAY the
// variant gets a new array of the base type: SafeArrayCreate of `bounds` and
// cDims when bounds are given, else a vector of *size / raw size elements (so
// VT_BOOL gives 2-byte elements for 1-byte raw values). E_INVALIDARG for a
// null argument or a by-reference `vt` (the variant is then untouched), for an
// array base type without a raw size (the variant keeps `vt` with a null
// array), and when the array cannot be made; VT_INT and VT_UINT arrays are made
// and kept but answer E_INVALIDARG, having no raw data.
HRESULT VariantPrepareRawData(VARIANT* pvar, VARTYPE vt, ULONG* size, void** data, const SAFEARRAYBOUND* bounds,
                              UINT cDims) noexcept;

// The element count as 32 bits (it wraps modulo 2^32; 0 without dimensions).
// E_INVALIDARG for a null argument.
HRESULT SafeArrayGetElementCount(SAFEARRAY* psa, ULONG* count) noexcept;

// The data size (cbElements x the element count, reported modulo 2^32) and
// pvData. E_INVALIDARG for a null argument, or a descriptor whose size does
// not fit 64 bits (it describes no block).
HRESULT SafeArrayGetRawData(SAFEARRAY* psa, ULONG* size, void** data) noexcept;
