// Releasing, destroying, copying and resizing the element storage of arrays.
// Arrays own their strings, interface references and variant contents; these
// operations work element by element, to any depth of nesting.
#pragma once

#include <cstdint>

#include "automation/safearray/safearray.h"

// Releases elements from flat index `first` to the end; the slots keep their
// values. Nothing for null, released inline data or a null data pointer.
void SafeArrayReleaseElements(SAFEARRAY* psa, std::uint64_t first) noexcept;

// DISP_E_ARRAYISLOCKED for a locked array (nothing freed). Destroying the data
// zeroes a FADF_STATIC block, marks inline data FADF_DATA_RELEASED and frees
// any other block. The descriptor alone: S_OK for null, releases live inline
// elements, never frees a separate data block. The whole: both.
HRESULT SafeArrayDestroyDescriptor(SAFEARRAY* psa) noexcept;
HRESULT SafeArrayDestroyData(SAFEARRAY* psa) noexcept;
HRESULT SafeArrayDestroy(SAFEARRAY* psa) noexcept;

// Copies every element of `source` into `target` of the same shape (counts
// compared, lower bounds not). E_INVALIDARG for a null array, another shape or
// element size, a target without data or a source or target whose inline data
// was released; S_OK with nothing done when the source has no data, and with
// only the features and prefix taken when the two share their storage. The
// target takes the source's features except the storage bits, and keeps its own
// FADF_INLINE_DATA, FADF_STATIC, FADF_AUTO, FADF_EMBEDDED and FADF_FIXEDSIZE.
// Strings stop at the first copy that comes back null (E_OUTOFMEMORY; a source
// string of length 0 counts); records answer E_NOTIMPL; variant elements are
// all attempted and the status is that of the last one that failed.
HRESULT SafeArrayCopyData(SAFEARRAY* source, SAFEARRAY* target) noexcept;

// A deep copy with its own data block. E_INVALIDARG for a null `out` or a
// source with element size 0 (out untouched); S_OK with out untouched for a null
// source. On failure *out is null and everything the copy had made is released.
HRESULT SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** out) noexcept;

// Changes the count and lower bound of the caller's last dimension: shrinking
// releases the dropped tail, growing adds zeroed elements. E_INVALIDARG for null
// arguments, no dimensions, FADF_FIXEDSIZE, inline data and FADF_STATIC storage
// (which belongs to the caller); DISP_E_ARRAYISLOCKED when locked. The new lower
// bound is stored even when growth fails with E_OUTOFMEMORY.
HRESULT SafeArrayRedim(SAFEARRAY* psa, const SAFEARRAYBOUND* newBound) noexcept;
