// The recursive clearing and copying of variants and arrays, as the library
// did it before it walked nested arrays without recursion: VariantClear and
// VariantCopy call the array operations, which call them again for variant
// elements. Kept as the reference that fuzz_nesting compares the library with,
// operation by operation, allocation by allocation. Not part of the library.
#pragma once

#include <cstdint>

#include "automation/automation.h"

namespace zentrel::reference {

HRESULT RefVariantClear(VARIANT* v) noexcept;
HRESULT RefVariantCopy(VARIANT* dest, const VARIANT* src) noexcept;
HRESULT RefVariantCopyInd(VARIANT* dest, const VARIANT* src) noexcept;
void RefSafeArrayReleaseElements(SAFEARRAY* psa, std::uint64_t first) noexcept;
HRESULT RefSafeArrayDestroyDescriptor(SAFEARRAY* psa) noexcept;
HRESULT RefSafeArrayDestroyData(SAFEARRAY* psa) noexcept;
HRESULT RefSafeArrayDestroy(SAFEARRAY* psa) noexcept;
HRESULT RefSafeArrayCopyData(SAFEARRAY* source, SAFEARRAY* target) noexcept;
HRESULT RefSafeArrayCopy(SAFEARRAY* source, SAFEARRAY** out) noexcept;
HRESULT RefSafeArrayRedim(SAFEARRAY* psa, const SAFEARRAYBOUND* newBound) noexcept;

}  // namespace zentrel::reference
