// GUID text: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX} with upper-case digits when
// written; braced or bare, digits of either case, when read.
#pragma once

#include "interop/vocabulary.h"

// Writes the braced text (38 characters and a NUL) into `buffer`. Returns 39, or
// 0 without touching the buffer when `capacity` is below 39, `buffer` is null
// or formatting fails.
int StringFromGUID2(REFGUID guid, OLECHAR* buffer, int capacity) noexcept;

// Parses braced or bare GUID text. Null or empty text gives the all-zero GUID.
// Returns false, writing nothing, for a null `guid` or malformed text.
bool GUIDFromString(LPCOLESTR text, GUID* guid) noexcept;

// Reads a GUID out of a VT_BSTR (parsed; E_FAIL when it does not parse), a
// VT_CLSID (copied from the pointer) or a one-dimensional 16-element
// VT_ARRAY|VT_UI1 (its bytes). VT_LPWSTR gives E_NOTIMPL, anything else
// E_INVALIDARG, and so do a null variant, a null CLSID pointer, an array
// without data and a null `guid` on the copying paths. The GUID is written only
// on S_OK.
HRESULT VariantToGUID(const VARIANT* variant, GUID* guid) noexcept;
