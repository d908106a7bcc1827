// The descriptor block and what every array operation reads from it: the
// hidden prefix and sizes computed without overflow; the descriptor
// allocators and accessors.
#include "automation/safearray/descriptor.h"

#include <cstring>
#include <limits>

#include "automation/memory.h"
#include "automation/safearray/layout.h"
#include "automation/vartypes.h"

namespace KoAtlCom::detail {

GUID ReadPrefixIid(const SAFEARRAY* psa) noexcept {
    GUID iid;
    std::memcpy(&iid, BlockStart(psa), sizeof iid);
    return iid;
}

void WritePrefixIid(SAFEARRAY* psa, const GUID& iid) noexcept { std::memcpy(BlockStart(psa), &iid, sizeof iid); }

VARTYPE ReadPrefixVartype(const SAFEARRAY* psa) noexcept {
    std::uint32_t word;
    std::memcpy(&word, BlockStart(psa) + kVartypeWordOffset, sizeof word);
    return static_cast<VARTYPE>(word);
}

void WritePrefixVartype(SAFEARRAY* psa, VARTYPE vt) noexcept {
    const std::uint32_t word = vt;
    std::memcpy(BlockStart(psa) + kVartypeWordOffset, &word, sizeof word);
}

std::optional<std::uint64_t> DataSize(const SAFEARRAY& array) noexcept {
    std::uint64_t bytes = array.cbElements;
    bool overflow = false;
    for (USHORT d = 0; d < array.cDims; ++d) {
        const ULONG count = array.rgsabound[d].cElements;
        if (count == 0) return 0;  // an empty dimension empties the array, whatever the others say
        overflow |= __builtin_mul_overflow(bytes, std::uint64_t{count}, &bytes);
    }
    if (array.cDims == 0) return 0;
    if (overflow) return std::nullopt;
    return bytes;
}

void FreeDescriptorBlock(SAFEARRAY* psa) noexcept { Free(BlockStart(psa)); }

}  // namespace KoAtlCom::detail

using KoAtlCom::detail::BlockStart;
using KoAtlCom::detail::DataSize;
using KoAtlCom::detail::kPrefixSize;
using KoAtlCom::detail::ReadPrefixIid;
using KoAtlCom::detail::ReadPrefixVartype;
using KoAtlCom::detail::RowOf;
using KoAtlCom::detail::WritePrefixIid;
using KoAtlCom::detail::WritePrefixVartype;

// cDims is a 16-bit field: a count it cannot hold is refused rather than
// truncated, so the block size and the stored count always agree.
HRESULT SafeArrayAllocDescriptor(UINT cDims, SAFEARRAY** out) noexcept {
    if (cDims == 0 || cDims > std::numeric_limits<USHORT>::max() || out == nullptr) return E_INVALIDARG;
    auto* block = static_cast<unsigned char*>(KoAtlCom::detail::Malloc(KoAtlCom::detail::DescriptorBlockSize(cDims)));
    if (block == nullptr) return E_OUTOFMEMORY;
    auto* psa = reinterpret_cast<SAFEARRAY*>(block + kPrefixSize);
    psa->cLocks = 0;
    psa->cDims = static_cast<USHORT>(cDims);
    *out = psa;
    return S_OK;
}

// VT_RECORD descriptors get the features word FADF_RECORD and a zeroed prefix,
// so that nothing later reads an undefined word (SafeArrayCopy makes them).
HRESULT SafeArrayAllocDescriptorEx(VARTYPE vt, UINT cDims, SAFEARRAY** out) noexcept {
    // The caller's `out` goes to the allocator, whose checks are this
    // function's too; it is written only on success, before the fields below.
    const HRESULT hr = SafeArrayAllocDescriptor(cDims, out);
    if (FAILED(hr)) return hr;
    SAFEARRAY* psa = *out;
    psa->cbElements = RowOf(vt).element;
    if (vt == VT_RECORD) {
        psa->fFeatures = FADF_RECORD;
        std::memset(BlockStart(psa), 0, kPrefixSize);
    } else if (const IID* iid = RowOf(vt).iid) {
        psa->fFeatures = FADF_HAVEIID;
        WritePrefixIid(psa, *iid);
    } else {
        psa->fFeatures = FADF_HAVEVARTYPE;
        WritePrefixVartype(psa, vt);
    }
    return S_OK;
}

HRESULT SafeArrayAllocData(SAFEARRAY* psa) noexcept {
    if (psa == nullptr) return E_INVALIDARG;
    if ((psa->fFeatures & (FADF_STATIC | FADF_INLINE_DATA)) != 0) return S_OK;
    const std::optional<std::uint64_t> bytes = DataSize(*psa);
    psa->pvData = bytes ? KoAtlCom::detail::Calloc(*bytes, 1) : nullptr;
    return psa->pvData != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT SafeArraySetIID(SAFEARRAY* psa, REFGUID guid) noexcept {
    if (psa == nullptr || (psa->fFeatures & FADF_HAVEIID) == 0) return E_INVALIDARG;
    WritePrefixIid(psa, guid);
    return S_OK;
}

HRESULT SafeArrayGetIID(SAFEARRAY* psa, GUID* guid) noexcept {
    if (psa == nullptr || guid == nullptr || (psa->fFeatures & FADF_HAVEIID) == 0) return E_INVALIDARG;
    *guid = ReadPrefixIid(psa);
    return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) noexcept {
    if (psa == nullptr || pvt == nullptr) return E_INVALIDARG;
    const USHORT f = psa->fFeatures;
    if ((f & FADF_RECORD) != 0) {
        *pvt = VT_RECORD;
    } else if ((f & (FADF_HAVEIID | FADF_DISPATCH)) == (FADF_HAVEIID | FADF_DISPATCH)) {
        *pvt = VT_DISPATCH;
    } else if ((f & FADF_HAVEIID) != 0) {
        *pvt = VT_UNKNOWN;
    } else if ((f & FADF_HAVEVARTYPE) != 0) {
        *pvt = ReadPrefixVartype(psa);
    } else {
        return E_INVALIDARG;
    }
    return S_OK;
}

HRESULT SafeArrayGetElementVartype(SAFEARRAY* psa, VARTYPE* pvt) noexcept { return SafeArrayGetVartype(psa, pvt); }

UINT SafeArrayGetDim(SAFEARRAY* psa) noexcept { return psa != nullptr ? psa->cDims : 0; }

UINT SafeArrayGetElemsize(SAFEARRAY* psa) noexcept { return psa != nullptr ? psa->cbElements : 0; }

std::uint64_t SafeArrayElementCount(const SAFEARRAY* psa) noexcept {
    if (psa == nullptr || psa->cDims == 0) return 0;
    std::uint64_t count = 1;
    for (USHORT d = 0; d < psa->cDims; ++d) count *= psa->rgsabound[d].cElements;
    return count;
}

HRESULT VartypeGetRawSize(VARTYPE vt, ULONG* size) noexcept {
    const ULONG bytes = RowOf(vt).raw;
    if (bytes == 0 || size == nullptr) return E_INVALIDARG;
    *size = bytes;
    return S_OK;
}

bool VartypeIsValid(VARTYPE vt) noexcept { return KoAtlCom::detail::VartypeRuleAccepts(vt); }
