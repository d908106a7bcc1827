// Typed accessors: read a variant as one concrete type, converting with
// VariantChangeTypeEx when the variant does not already have it.
#pragma once

#include <cstdint>

#include "interop/vocabulary.h"

// Each stores the value and returns S_OK, or returns the conversion's failure
// and leaves *out untouched. E_POINTER for a null `out`, E_INVALIDARG for a
// null `v`. Numbers convert as VariantChangeTypeEx converts them; nothing is
// allocated for a numeric source.
HRESULT VariantToDouble(const VARIANT* v, double* out) noexcept;
HRESULT VariantToFloat(const VARIANT* v, float* out) noexcept;
HRESULT VariantToInt8(const VARIANT* v, std::int8_t* out) noexcept;
HRESULT VariantToUInt8(const VARIANT* v, std::uint8_t* out) noexcept;
HRESULT VariantToInt16(const VARIANT* v, std::int16_t* out) noexcept;
HRESULT VariantToUInt16(const VARIANT* v, std::uint16_t* out) noexcept;
HRESULT VariantToInt32(const VARIANT* v, std::int32_t* out) noexcept;
HRESULT VariantToUInt32(const VARIANT* v, std::uint32_t* out) noexcept;
HRESULT VariantToInt64(const VARIANT* v, std::int64_t* out) noexcept;
HRESULT VariantToUInt64(const VARIANT* v, std::uint64_t* out) noexcept;

// The variant's text (a string, or the bytes of a one-dimensional byte array)
// as a new NUL-terminated malloc block that the caller frees with `free`; empty
// text gives null with S_OK. E_POINTER for a null `out`; on any failure *out is
// null and nothing stays allocated. The wide form decodes the text as UTF-8;
// running out of memory while it decodes throws std::bad_alloc.
HRESULT VariantToStringAlloc(const VARIANT* v, char** out);
HRESULT VariantToWideStringAlloc(const VARIANT* v, wchar_t** out);

// Takes an integer or a BSTR (not copied) out of a variant without conversion.
// On entry *integer must be 0 and *string non-null, else E_INVALIDARG; also
// E_INVALIDARG for a null slot address, a null `v` or a by-reference variant
// with a null reference. Any other type: S_OK, nothing written.
HRESULT VariantToIntegerOrString(const VARIANT* v, std::uint64_t* integer, BSTR* string) noexcept;
