// Variant type change between the integer and floating types, between the two
// interface types, between strings and byte arrays, and between arrays of one
// type. No value is ever formatted as text or parsed from text.
#pragma once

#include <cstdint>

#include "interop/vocabulary.h"

// Makes `dest` a variant of type `vt` holding the converted value of `src`.
// `dest` is changed only when the conversion succeeded (a failed allocation of
// the result leaves it as it was); it may be `src`. The locale and the flags
// are ignored. E_INVALIDARG for a null `dest` or `src`. A conversion that has
// no value to give succeeds with a zero value field (null for pointer types).
HRESULT VariantChangeTypeEx(VARIANT* dest, const VARIANT* src, LCID lcid, USHORT flags, VARTYPE vt) noexcept;
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt) noexcept;

// The integer value of a variant widened to 64 bits; 0 for other types.
// Signed: VT_I1, VT_I2, VT_BOOL, VT_I4, VT_INT, VT_I8. Unsigned: VT_UI1, VT_UI2,
// VT_UI4, VT_UINT, VT_UI8.
std::int64_t VariantReadSigned(const VARIANT* v) noexcept;
std::uint64_t VariantReadUnsigned(const VARIANT* v) noexcept;

// The two conversion steps of VariantChangeTypeEx. They write at most the value
// field of `result` (not its `vt`); a conversion that has no value to give
// (a source without a number, the targets VT_CY, VT_DATE, VT_ERROR,
// VT_VARIANT, VT_DECIMAL, VT_EMPTY and VT_NULL, an interface target from
// another source, a by-reference target) succeeds without writing. A same-type
// request is VariantCopy of the source into `result`. E_INVALIDARG for a null
// pointer.
HRESULT VariantConvertScalar(VARIANT* result, const VARIANT* src, VARTYPE vt) noexcept;
HRESULT VariantConvertArray(VARIANT* result, const VARIANT* src, VARTYPE vt) noexcept;
