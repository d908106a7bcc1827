// BSTR: a length-prefixed string of 8-bit characters in one malloc block of
// length + 5 bytes: a 4-byte length, the characters (NUL bytes allowed when made
// from a count) and one terminating NUL. The BSTR points at the characters; it is
// released with SysFreeString, which frees the block at the pointer minus 4.
// A null BSTR is valid everywhere and has length 0.
#pragma once

#include "interop/vocabulary.h"

// Releases the string; null does nothing.
void SysFreeString(BSTR s) noexcept;

// The length prefix; 0 for null. Both count bytes, which are characters here.
UINT SysStringLen(BSTR s) noexcept;
UINT SysStringByteLen(BSTR s) noexcept;

// Copies `text` up to its first NUL. Null text gives null; empty text gives a
// non-null string of length 0. Null also when memory runs out, or when the text
// is 2^32 bytes or longer and cannot be described by the length prefix.
BSTR SysAllocString(LPCOLESTR text) noexcept;

// A string of exactly `count` characters copied from `src` (NUL bytes included),
// or zero-filled when `src` is null. A count of 0 gives null, not an empty
// string. Null when memory runs out. The two functions are identical.
BSTR SysAllocStringLen(LPCOLESTR src, UINT count) noexcept;
BSTR SysAllocStringByteLen(const char* src, UINT count) noexcept;

// Replaces *var by a copy of `text` up to its first NUL. FALSE for a null var,
// null text or text of 2^32 bytes or longer (nothing changes). Otherwise the
// old string goes whatever happens: when memory runs out *var ends null and
// FALSE is returned. `text` may lie inside the string being replaced.
INT SysReAllocString(BSTR* var, LPCOLESTR text) noexcept;

// Replaces *var by the first `count` characters of `src`. FALSE, with nothing
// changed, for a null var, a null src, a count of 0 or a src shorter than count
// before its first NUL. The new string is allocated first: when memory runs out
// FALSE is returned and *var keeps its old string. `src` may lie inside *var.
INT SysReAllocStringLen(BSTR* var, LPCOLESTR src, UINT count) noexcept;
