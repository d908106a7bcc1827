// Creating arrays: multi-dimensional arrays with a separate data block, and
// one-dimensional vectors whose elements live inside the descriptor block.
// Each returns the new array, which the caller destroys with
// SafeArrayDestroy, or null with nothing left allocated.
#pragma once

#include "automation/safearray/safearray.h"

// An array of `vt` with cDims dimensions, `bounds` given in the caller's
// dimension order (stored reversed), its kind bit set and its data zeroed.
// Null for VT_RECORD, null `bounds`, 0 or more than 65535 dimensions, a type
// whose element size is 0, a data size that does not fit 64 bits, or no
// memory.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* bounds) noexcept;

// SafeArrayCreate, then for VT_UNKNOWN and VT_DISPATCH the IID at `extra` (when
// not null) in the prefix; `extra` is ignored for every other type.
SAFEARRAY* SafeArrayCreateEx(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* bounds, void* extra) noexcept;

// A vector of cElements elements from lLbound in one zeroed calloc block of
// 48 + cElements x element size bytes, with FADF_INLINE_DATA and the type's
// kind bit and prefix. A type whose element size is 0 gives a vector without
// element storage. Null for VT_RECORD or no memory. It cannot be resized.
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) noexcept;

// SafeArrayCreateVector of VT_UNKNOWN or VT_DISPATCH only (null for any other
// type), with the IID at `extra` (when not null) in the prefix.
SAFEARRAY* SafeArrayCreateVectorEx(VARTYPE vt, LONG lLbound, ULONG cElements, void* extra) noexcept;
