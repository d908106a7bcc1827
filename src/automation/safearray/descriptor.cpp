// The descriptor block and what every array operation reads from it: the
// hidden prefix, the element kind, sizes, and the descriptor allocators and
// accessors.
#include <array>
#include <cstring>
#include <limits>

#include "automation/memory.h"
#include "automation/safearray/descriptor.h"
#include "automation/safearray/layout.h"
#include "automation/variant/vartype.h"

namespace KoAtlCom::detail {
namespace {

// The VARTYPE word is the last 4 bytes of the prefix, right in front of cDims.
constexpr std::size_t kVartypeWordOffset = kPrefixSize - sizeof(std::uint32_t);

// Element sizes of the types 0 to 38; every type above 38 (including every
// value with a flag bit) is 0. VT_BOOL elements are 2 bytes, VT_RECORD 32.
constexpr std::array<ULONG, VT_UINT_PTR + 1> kElementSizes = [] {
    std::array<ULONG, VT_UINT_PTR + 1> t{};
    for (VARTYPE vt : {VT_I2, VT_BOOL, VT_UI2}) t[vt] = 2;
    for (VARTYPE vt : {VT_I4, VT_R4, VT_ERROR, VT_UI4, VT_INT, VT_UINT}) t[vt] = 4;
    for (VARTYPE vt : {VT_R8, VT_CY, VT_DATE, VT_BSTR, VT_DISPATCH, VT_UNKNOWN, VT_I8, VT_UI8, VT_INT_PTR, VT_UINT_PTR})
        t[vt] = 8;
    for (VARTYPE vt : {VT_I1, VT_UI1}) t[vt] = 1;
    t[VT_VARIANT] = sizeof(VARIANT);
    t[VT_RECORD] = 32;
    return t;
}();
static_assert(kElementSizes[VT_BOOL] == 2 && kElementSizes[VT_DECIMAL] == 0 && kElementSizes[VT_VARIANT] == 24);

// Raw value sizes of the thirteen plain scalar types; 0 marks a type that has
// none. VT_BOOL is one byte here.
constexpr std::array<ULONG, VT_UINT + 1> kRawSizes = [] {
    std::array<ULONG, VT_UINT + 1> t{};
    for (VARTYPE vt : {VT_BOOL, VT_I1, VT_UI1}) t[vt] = 1;
    for (VARTYPE vt : {VT_I2, VT_UI2}) t[vt] = 2;
    for (VARTYPE vt : {VT_I4, VT_R4, VT_UI4, VT_INT, VT_UINT}) t[vt] = 4;
    for (VARTYPE vt : {VT_R8, VT_I8, VT_UI8}) t[vt] = 8;
    return t;
}();

// Kind bit and prefix IID of the types that have one.
struct TypeFeatures {
    VARTYPE vt;
    USHORT kind;
    const IID* iid;
};
constexpr std::array<TypeFeatures, 4> kTypeFeatures{{
    {VT_BSTR, FADF_BSTR, nullptr},
    {VT_UNKNOWN, FADF_UNKNOWN, &IID_IUnknown},
    {VT_DISPATCH, FADF_DISPATCH, &IID_IDispatch},
    {VT_VARIANT, FADF_VARIANT, nullptr},
}};

constexpr const TypeFeatures* FeaturesOf(VARTYPE vt) noexcept {
    for (const TypeFeatures& f : kTypeFeatures)
        if (f.vt == vt) return &f;
    return nullptr;
}

// The block of a descriptor of cDims dimensions: prefix, header, cDims bounds.
constexpr std::size_t DescriptorBlockSize(UINT cDims) noexcept {
    return static_cast<std::size_t>(cDims - 1u) * sizeof(SAFEARRAYBOUND) + kVectorBlockSize;
}

}  // namespace

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

ULONG ElementSizeOf(VARTYPE vt) noexcept { return vt < kElementSizes.size() ? kElementSizes[vt] : 0; }

USHORT KindFeatureOf(VARTYPE vt) noexcept {
    const TypeFeatures* f = FeaturesOf(vt);
    return f != nullptr ? f->kind : USHORT{0};
}

const IID* PrefixIidOf(VARTYPE vt) noexcept {
    const TypeFeatures* f = FeaturesOf(vt);
    return f != nullptr ? f->iid : nullptr;
}

void FreeDescriptorBlock(SAFEARRAY* psa) noexcept { std::free(BlockStart(psa)); }

}  // namespace KoAtlCom::detail

using namespace KoAtlCom::detail;

// cDims is a 16-bit field: a count it cannot hold is refused rather than
// truncated, so the block size and the stored count always agree.
HRESULT SafeArrayAllocDescriptor(UINT cDims, SAFEARRAY** out) noexcept {
    if (cDims == 0 || cDims > std::numeric_limits<USHORT>::max() || out == nullptr) return E_INVALIDARG;
    auto* block = static_cast<unsigned char*>(Malloc(DescriptorBlockSize(cDims)));
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
    psa->cbElements = ElementSizeOf(vt);
    if (vt == VT_RECORD) {
        psa->fFeatures = FADF_RECORD;
        std::memset(BlockStart(psa), 0, kPrefixSize);
    } else if (const IID* iid = PrefixIidOf(vt)) {
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
    psa->pvData = bytes ? Calloc(*bytes, 1) : nullptr;
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
    const ULONG bytes = vt < kRawSizes.size() ? kRawSizes[vt] : 0;
    if (bytes == 0 || size == nullptr) return E_INVALIDARG;
    *size = bytes;
    return S_OK;
}

bool VartypeIsValid(VARTYPE vt) noexcept { return VartypeRuleAccepts(vt); }
