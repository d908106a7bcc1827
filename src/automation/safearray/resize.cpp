// Resizing: SafeArrayRedim changes the caller's last dimension, stored in
// rgsabound[0]. It has the largest stride, so elements are added or dropped
// only at the end of the storage and the others keep their flat indices.
#include "automation/safearray/resize.h"

#include <cstring>

#include "automation/memory.h"
#include "automation/safearray/data.h"
#include "automation/safearray/descriptor.h"
#include "automation/safearray/layout.h"

using KoAtlCom::detail::DataSize;

// Arrays whose data block the library did not allocate are refused as well as
// fixed-size and inline ones: FADF_STATIC storage belongs to the caller and
// must never be freed or replaced here. An array without dimensions has no
// rgsabound[0] to change.
HRESULT SafeArrayRedim(SAFEARRAY* psa, const SAFEARRAYBOUND* newBound) noexcept {
    if (psa == nullptr || (psa->fFeatures & FADF_FIXEDSIZE) != 0 || newBound == nullptr) return E_INVALIDARG;
    if ((psa->fFeatures & FADF_INLINE_DATA) != 0) return E_INVALIDARG;
    if (psa->cLocks != 0) return DISP_E_ARRAYISLOCKED;
    if ((psa->fFeatures & FADF_STATIC) != 0 || psa->cDims == 0) return E_INVALIDARG;

    SAFEARRAYBOUND& last = psa->rgsabound[0];
    last.lLbound = newBound->lLbound;  // takes effect even when the count stays or growth fails
    const ULONG oldCount = last.cElements;
    const ULONG newCount = newBound->cElements;
    if (newCount == oldCount) return S_OK;

    if (newCount < oldCount) {
        const std::uint64_t perLast = SafeArrayElementCount(psa) / oldCount;
        SafeArrayReleaseElements(psa, newCount * perLast);
        last.cElements = newCount;
        return S_OK;
    }

    const std::optional<std::uint64_t> oldBytes = DataSize(*psa);
    last.cElements = newCount;
    const std::optional<std::uint64_t> newBytes = DataSize(*psa);
    last.cElements = oldCount;
    if (!oldBytes || !newBytes) return E_OUTOFMEMORY;  // cannot be allocated
    auto* data = static_cast<unsigned char*>(KoAtlCom::detail::Malloc(*newBytes));
    if (data == nullptr) return E_OUTOFMEMORY;
    const std::uint64_t kept = psa->pvData != nullptr ? *oldBytes : 0;
    if (kept != 0) std::memcpy(data, psa->pvData, kept);
    std::memset(data + kept, 0, *newBytes - kept);  // the added elements are zero
    KoAtlCom::detail::Free(psa->pvData);
    psa->pvData = data;
    last.cElements = newCount;
    return S_OK;
}
