// Releasing, destroying, copying and resizing the element storage of arrays.
// Arrays own their strings, interface references and variant contents; these
// operations work element by element, to any depth of nesting.
#pragma once

#include <cstdint>

#include "automation/safearray/safearray.h"

// Releases elements from flat index `first` to the end; the slots keep their
// values. Nothing for null, released inline data or a null data pointer.
void SafeArrayReleaseElements(SAFEARRAY* psa, std::uint64_t first) noexcept;

HRESULT SafeArrayDestroyDescriptor(SAFEARRAY* psa) noexcept;
HRESULT SafeArrayDestroyData(SAFEARRAY* psa) noexcept;
HRESULT SafeArrayDestroy(SAFEARRAY* psa) noexcept;

// Copies every element of `source` into `target` of the same shape.
HRESULT SafeArrayCopyData(SAFEARRAY* source, SAFEARRAY* target) noexcept;

// A deep copy with its own data block; *out is null on failure.
HRESULT SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** out) noexcept;

// Changes the count and lower bound of the caller's last dimension.
HRESULT SafeArrayRedim(SAFEARRAY* psa, const SAFEARRAYBOUND* newBound) noexcept;
