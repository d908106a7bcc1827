// Creating arrays: multi-dimensional arrays with a separate data block, and
// one-dimensional vectors whose elements live inside the descriptor block.
#include <cstring>

#include "automation/memory.h"
#include "automation/safearray/descriptor.h"
#include "automation/safearray/layout.h"

namespace KoAtlCom::detail {
namespace {

// Offset in the block of the 8 bytes written as one store: the prefix's last
// 4 bytes (the VARTYPE word), cDims and fFeatures.
constexpr std::size_t kTypeWordOffset = kPrefixSize - sizeof(std::uint32_t);
constexpr std::size_t kInlineDataOffset = kVectorBlockSize;  // SAFEARRAY pointer + 32

static_assert(kPrefixSize + offsetof(SAFEARRAY, cDims) == kTypeWordOffset + 4);
static_assert(kPrefixSize + offsetof(SAFEARRAY, rgsabound) + sizeof(SAFEARRAYBOUND) == kInlineDataOffset);
// cElements x the largest element size + 48 always fits 64 bits.
static_assert(0xFFFFFFFFull * sizeof(VARIANT) + kVectorBlockSize > 0xFFFFFFFFull);

// Lays out a vector in a fresh block of at least 48 + count x size bytes: the
// whole 48-byte head is written, the element storage is left as it is.
SAFEARRAY* LayVector(unsigned char* block, VARTYPE vt, ULONG size, LONG lLbound, ULONG count) noexcept {
    const IID* iid = PrefixIidOf(vt);
    const USHORT features = FADF_INLINE_DATA | KindFeatureOf(vt) | (iid != nullptr ? FADF_HAVEIID : FADF_HAVEVARTYPE);
    std::uint32_t tail = vt;  // the prefix's last 4 bytes
    if (iid != nullptr) {
        std::memcpy(block, iid, kTypeWordOffset);
        std::memcpy(&tail, reinterpret_cast<const unsigned char*>(iid) + kTypeWordOffset, sizeof tail);
    } else {
        std::memset(block, 0, kTypeWordOffset);
    }
    const std::uint64_t typeWord = tail | std::uint64_t{1} << 32 | std::uint64_t{features} << 48;
    std::memcpy(block + kTypeWordOffset, &typeWord, sizeof typeWord);

    auto* psa = reinterpret_cast<SAFEARRAY*>(block + kPrefixSize);
    psa->cbElements = size;
    // cLocks and the padding behind it.
    std::memset(reinterpret_cast<unsigned char*>(psa) + offsetof(SAFEARRAY, cLocks), 0,
                offsetof(SAFEARRAY, pvData) - offsetof(SAFEARRAY, cLocks));
    psa->pvData = block + kInlineDataOffset;
    psa->rgsabound[0] = SAFEARRAYBOUND{count, lLbound};
    return psa;
}

}  // namespace

SAFEARRAY* CreateByteVector(const void* bytes, ULONG count) noexcept {
    const std::size_t blockSize = kVectorBlockSize + std::size_t{count};
    // The elements are overwritten when bytes are given: no need to zero them.
    void* block = bytes != nullptr ? Malloc(blockSize) : Calloc(blockSize, 1);
    if (block == nullptr) return nullptr;
    SAFEARRAY* psa = LayVector(static_cast<unsigned char*>(block), VT_UI1, 1, 0, count);
    if (bytes != nullptr && count != 0) std::memcpy(psa->pvData, bytes, count);
    return psa;
}

}  // namespace KoAtlCom::detail

using namespace KoAtlCom::detail;

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* bounds) noexcept {
    if (vt == VT_RECORD || bounds == nullptr) return nullptr;
    SAFEARRAY* psa = nullptr;
    if (FAILED(SafeArrayAllocDescriptorEx(vt, cDims, &psa))) return nullptr;
    psa->fFeatures |= KindFeatureOf(vt);
    for (UINT i = 0; i < cDims; ++i) psa->rgsabound[i] = bounds[cDims - 1 - i];
    // A size that does not fit 64 bits cannot be allocated: refuse it rather
    // than allocate a wrapped, short block.
    const std::optional<std::uint64_t> bytes = DataSize(*psa);
    psa->pvData = psa->cbElements != 0 && bytes ? Calloc(*bytes, 1) : nullptr;
    if (psa->pvData == nullptr) {
        FreeDescriptorBlock(psa);
        return nullptr;
    }
    return psa;
}

SAFEARRAY* SafeArrayCreateEx(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* bounds, void* extra) noexcept {
    if (vt == VT_RECORD) return nullptr;
    SAFEARRAY* psa = SafeArrayCreate(vt, cDims, bounds);
    if (psa != nullptr && extra != nullptr && PrefixIidOf(vt) != nullptr && (psa->fFeatures & FADF_HAVEIID) != 0)
        WritePrefixIid(psa, *static_cast<const IID*>(extra));
    return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) noexcept {
    if (vt == VT_RECORD) return nullptr;
    const ULONG size = ElementSizeOf(vt);
    void* block = Calloc(std::uint64_t{cElements} * size + kVectorBlockSize, 1);
    if (block == nullptr) return nullptr;
    return LayVector(static_cast<unsigned char*>(block), vt, size, lLbound, cElements);
}

SAFEARRAY* SafeArrayCreateVectorEx(VARTYPE vt, LONG lLbound, ULONG cElements, void* extra) noexcept {
    if (PrefixIidOf(vt) == nullptr) return nullptr;
    SAFEARRAY* psa = SafeArrayCreateVector(vt, lLbound, cElements);
    if (psa != nullptr && extra != nullptr && (psa->fFeatures & FADF_HAVEIID) != 0)
        WritePrefixIid(psa, *static_cast<const IID*>(extra));
    return psa;
}
