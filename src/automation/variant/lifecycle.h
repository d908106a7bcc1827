// Variant life cycle. A VT_BSTR variant owns its string, an interface variant one
// reference, an array variant (VT_ARRAY without VT_BYREF) its SAFEARRAY; a
// by-reference variant owns nothing. None of these functions throws.
#pragma once

#include "interop/vocabulary.h"

// Releases what `v` owns. E_INVALIDARG for an invalid `vt`, E_NOTIMPL for
// VT_RECORD, DISP_E_ARRAYISLOCKED for a locked array (all leave `v` unchanged).
// An array variant keeps its `vt` with a null `parray`; any other becomes VT_EMPTY.
HRESULT VariantClear(VARIANT* v) noexcept;

// Clears `dest`, then makes it an independent copy of `src`: strings are copied
// up to their first NUL, interfaces AddRef'ed, arrays copied with SafeArrayCopy.
// DISP_E_BADVARTYPE for an invalid source type (dest untouched).
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) noexcept;

// As VariantCopy, but a by-reference source is resolved one level: `dest`
// receives a copy of the referenced value without VT_BYREF. `dest` may be `src`.
HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src) noexcept;

// Replaces the boolean of a VT_BOOL or VT_BYREF|VT_BOOL by VARIANT_TRUE when its
// bit 0 is set, else VARIANT_FALSE. Always S_OK.
HRESULT VariantNormalizeBool(VARIANT* v) noexcept;
