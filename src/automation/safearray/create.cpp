// Creating arrays: multi-dimensional arrays with a separate data block, and
// one-dimensional vectors whose elements live inside the descriptor block.
#include "automation/safearray/create.h"

#include <cstring>

#include "automation/memory.h"
#include "automation/safearray/descriptor.h"
#include "automation/safearray/layout.h"
#include "automation/vartypes.h"

namespace KoAtlCom::detail {
namespace {

// cElements x the largest element size + 48 always fits 64 bits.
static_assert(0xFFFFFFFFull * sizeof(VARIANT) + kVectorBlockSize > 0xFFFFFFFFull);

// Lays out a vector of `vt` in a fresh block of at least 48 + count x size
// bytes: the prefix (the type's IID, or the VARTYPE word), the header and the
// one bound, everything else of these 48 bytes zero; the element storage right
// behind them is left as it is.
SAFEARRAY* LayVector(unsigned char* block, VARTYPE vt, LONG lLbound, ULONG count) noexcept {
    const TypeRow& row = RowOf(vt);
    std::memset(block, 0, kVectorBlockSize);
    auto* psa = reinterpret_cast<SAFEARRAY*>(block + kPrefixSize);
    if (row.iid != nullptr) {
        WritePrefixIid(psa, *row.iid);
    } else {
        WritePrefixVartype(psa, vt);
    }
    psa->cDims = 1;
    psa->fFeatures = FADF_INLINE_DATA | row.kind | (row.iid != nullptr ? FADF_HAVEIID : FADF_HAVEVARTYPE);
    psa->cbElements = row.element;
    psa->pvData = block + kVectorBlockSize;
    psa->rgsabound[0] = SAFEARRAYBOUND{count, lLbound};
    return psa;
}

}  // namespace

SAFEARRAY* CreateByteVector(const void* bytes, ULONG count) noexcept {
    const std::size_t blockSize = kVectorBlockSize + std::size_t{count};
    // The elements are overwritten when bytes are given: no need to zero them.
    void* block = bytes != nullptr ? Malloc(blockSize) : Calloc(blockSize, 1);
    if (block == nullptr) return nullptr;
    SAFEARRAY* psa = LayVector(static_cast<unsigned char*>(block), VT_UI1, 0, count);
    if (bytes != nullptr && count != 0) std::memcpy(psa->pvData, bytes, count);
    return psa;
}

}  // namespace KoAtlCom::detail

using KoAtlCom::detail::RowOf;

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* bounds) noexcept {
    if (vt == VT_RECORD || bounds == nullptr) return nullptr;
    SAFEARRAY* psa = nullptr;
    if (FAILED(SafeArrayAllocDescriptorEx(vt, cDims, &psa))) return nullptr;
    psa->fFeatures |= RowOf(vt).kind;
    for (UINT i = 0; i < cDims; ++i) psa->rgsabound[i] = bounds[cDims - 1 - i];
    // A size that does not fit 64 bits cannot be allocated: refuse it rather
    // than allocate a wrapped, short block.
    const std::optional<std::uint64_t> bytes = KoAtlCom::detail::DataSize(*psa);
    psa->pvData = psa->cbElements != 0 && bytes ? KoAtlCom::detail::Calloc(*bytes, 1) : nullptr;
    if (psa->pvData == nullptr) {
        KoAtlCom::detail::FreeDescriptorBlock(psa);
        return nullptr;
    }
    return psa;
}

SAFEARRAY* SafeArrayCreateEx(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* bounds, void* extra) noexcept {
    if (vt == VT_RECORD) return nullptr;
    SAFEARRAY* psa = SafeArrayCreate(vt, cDims, bounds);
    if (psa != nullptr && extra != nullptr && RowOf(vt).iid != nullptr && (psa->fFeatures & FADF_HAVEIID) != 0)
        KoAtlCom::detail::WritePrefixIid(psa, *static_cast<const IID*>(extra));
    return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) noexcept {
    if (vt == VT_RECORD) return nullptr;
    const std::size_t size = std::uint64_t{cElements} * RowOf(vt).element + KoAtlCom::detail::kVectorBlockSize;
    void* block = KoAtlCom::detail::Calloc(size, 1);
    if (block == nullptr) return nullptr;
    return KoAtlCom::detail::LayVector(static_cast<unsigned char*>(block), vt, lLbound, cElements);
}

SAFEARRAY* SafeArrayCreateVectorEx(VARTYPE vt, LONG lLbound, ULONG cElements, void* extra) noexcept {
    if (RowOf(vt).iid == nullptr) return nullptr;
    SAFEARRAY* psa = SafeArrayCreateVector(vt, lLbound, cElements);
    if (psa != nullptr && extra != nullptr && (psa->fFeatures & FADF_HAVEIID) != 0)
        KoAtlCom::detail::WritePrefixIid(psa, *static_cast<const IID*>(extra));
    return psa;
}
