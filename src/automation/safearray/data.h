// Releasing, destroying, copying and resizing the element storage of arrays.
// Arrays own their strings, interface references and variant contents; these
// operations work element by element, to any depth of nesting, on a stack
// that does not grow with the depth.
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
// compared, lower bounds not). Checked in this order: E_INVALIDARG for a null
// array or another number of dimensions, element size or count; S_OK with
// nothing done when the source has no data; E_INVALIDARG for a target without
// data, a source or target whose inline data was released, a source whose size
// fits no block or whose kind does not fit its element size. Then the target
// takes the source's features except the storage bits (it keeps its own
// FADF_INLINE_DATA, FADF_STATIC, FADF_AUTO, FADF_EMBEDDED and FADF_FIXEDSIZE);
// records answer E_NOTIMPL at that point, and arrays sharing their storage
// take only the prefix. The target's old elements are released by their own
// kind; when the new features would have the slots read as another kind that
// owns something (or they held one), every slot is zeroed first, also for a
// record source, so none is misread. While they are released the target's lock
// count is not zero. E_OUTOFMEMORY, with the
// target unchanged, when it holds elements and no
// room for the copies can be had. Strings stop at the first copy that comes
// back null (E_OUTOFMEMORY; a source string of length 0 counts) and the prefix
// is then not taken; variant elements are all attempted and the status is that
// of the last one that failed. The source may live inside the target's
// elements.
HRESULT SafeArrayCopyData(SAFEARRAY* source, SAFEARRAY* target) noexcept;

// A deep copy with its own data block. E_INVALIDARG for a null `out` or a
// source with element size 0 (out untouched); S_OK with out untouched for a null
// source. On failure *out is null and everything the copy had made is released.
HRESULT SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** out) noexcept;
