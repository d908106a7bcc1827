// The internals of arrays, in one place: the descriptor block and its hidden
// prefix, the element-kind decision, sizes computed without overflow, the one
// builder of byte vectors and the raw data of a variant. Shared by every array
// operation; callers outside the library must not use these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "automation/safearray/safearray.h"

namespace KoAtlCom::detail {

// The descriptor block: 16-byte prefix, 24-byte header, 8 bytes per bound. The
// prefix's last 4 bytes, right in front of cDims, are the VARTYPE word.
inline constexpr std::size_t kPrefixSize = 16;
inline constexpr std::size_t kVartypeWordOffset = kPrefixSize - sizeof(std::uint32_t);
inline constexpr std::size_t kVectorBlockSize = 48;  // prefix, header, one bound
static_assert(kPrefixSize + offsetof(SAFEARRAY, rgsabound) + sizeof(SAFEARRAYBOUND) == kVectorBlockSize);

// The block of a descriptor of cDims (at least 1) dimensions.
constexpr std::size_t DescriptorBlockSize(UINT cDims) noexcept {
    return static_cast<std::size_t>(cDims - 1u) * sizeof(SAFEARRAYBOUND) + kVectorBlockSize;
}

inline unsigned char* BlockStart(SAFEARRAY* psa) noexcept {
    return reinterpret_cast<unsigned char*>(psa) - kPrefixSize;
}
inline const unsigned char* BlockStart(const SAFEARRAY* psa) noexcept {
    return reinterpret_cast<const unsigned char*>(psa) - kPrefixSize;
}

// The prefix holds an IID (FADF_HAVEIID) or, in its last 4 bytes, the element
// VARTYPE zero-extended (FADF_HAVEVARTYPE).
GUID ReadPrefixIid(const SAFEARRAY* psa) noexcept;
void WritePrefixIid(SAFEARRAY* psa, const GUID& iid) noexcept;
VARTYPE ReadPrefixVartype(const SAFEARRAY* psa) noexcept;
void WritePrefixVartype(SAFEARRAY* psa, VARTYPE vt) noexcept;

// Inline data that has not been released: fFeatures & 0x3000 == 0x2000.
constexpr bool HasLiveInlineData(USHORT features) noexcept {
    return (features & (FADF_DATA_RELEASED | FADF_INLINE_DATA)) == FADF_INLINE_DATA;
}

// What an element is decides how it is released, copied, read and written. It
// comes from fFeatures alone. Operations test the kind bits in different
// orders (which matters only for caller-built arrays with several kind bits);
// each order is listed once, in KindOf.
//
// A caller-built descriptor may name a kind whose elements do not have its
// size (FADF_VARIANT on 8-byte elements, FADF_BSTR with cbElements 0). Such
// elements are Mismatched: they are never read, written or released one by
// one, since their slots are not what the kind bit claims, so no operation
// strays outside element count x cbElements bytes of the data block.
enum class ElementKind { Variant, String, Interface, Record, Plain, Mismatched };
enum class KindOrder {
    Release,  // string, interface, variant; records release nothing
    Copy,     // variant, string, record, interface
    Access,   // variant, string, interface, record
};

namespace kinds {
struct KindBit {
    USHORT mask;
    ElementKind kind;
};
inline constexpr KindBit kVariant{FADF_VARIANT, ElementKind::Variant};
inline constexpr KindBit kString{FADF_BSTR, ElementKind::String};
inline constexpr KindBit kInterface{FADF_UNKNOWN | FADF_DISPATCH, ElementKind::Interface};
inline constexpr KindBit kRecord{FADF_RECORD, ElementKind::Record};
// Indexed by KindOrder.
inline constexpr KindBit kOrders[3][4] = {
    {kString, kInterface, kVariant, kRecord},  // Release
    {kVariant, kString, kRecord, kInterface},  // Copy
    {kVariant, kString, kInterface, kRecord},  // Access
};
}  // namespace kinds

// The first kind bit set, in `order`; Mismatched when the array's element size
// is not the one that kind needs (24 bytes for a variant, 8 for a string or an
// interface; records and plain elements have any size). Inline: every element
// access asks it, with a constant order.
inline ElementKind KindOf(USHORT features, ULONG cbElements, KindOrder order) noexcept {
    ElementKind kind = ElementKind::Plain;
    for (const kinds::KindBit& bit : kinds::kOrders[static_cast<int>(order)]) {
        if ((features & bit.mask) != 0) {
            kind = bit.kind;
            break;
        }
    }
    switch (kind) {
        case ElementKind::Variant:
            return cbElements == sizeof(VARIANT) ? kind : ElementKind::Mismatched;
        case ElementKind::String:
        case ElementKind::Interface:
            return cbElements == sizeof(void*) ? kind : ElementKind::Mismatched;
        default:
            return kind;
    }
}

inline ElementKind KindOf(const SAFEARRAY& array, KindOrder order) noexcept {
    return KindOf(array.fFeatures, array.cbElements, order);
}

// Element count x element size in 64 bits, or nothing when the product of the
// bounds or the byte size overflows 64 bits.
std::optional<std::uint64_t> DataSize(const SAFEARRAY& array) noexcept;

// The byte vector: one calloc block of 48 + count bytes holding a
// one-dimensional VT_UI1 array with inline data, lower bound 0, features
// FADF_INLINE_DATA | FADF_HAVEVARTYPE, with `count` bytes copied from `bytes`
// (zeros when `bytes` is null). Null when memory runs out. SafeArrayCreateVector
// for VT_UI1, the byte-vector builders and the string-to-byte-array conversion
// all make exactly this object.
SAFEARRAY* CreateByteVector(const void* bytes, ULONG count) noexcept;

// Frees the descriptor block (the SAFEARRAY pointer minus 16) and nothing else.
void FreeDescriptorBlock(SAFEARRAY* psa) noexcept;

// The parts of destroying and copying one array that the walk over nested
// arrays (nesting.h) calls around its elements.

// The number of variant elements that releasing `array` walks: its element
// count when its elements are variants that can be released (live data whose
// size fits a block), else 0.
std::uint64_t VariantsToRelease(const SAFEARRAY& array) noexcept;

// The rest of SafeArrayDestroy once the elements of the (unlocked) array were
// released: its storage released as SafeArrayDestroyData does, then its block.
void FreeReleasedArray(SAFEARRAY* psa) noexcept;

// SafeArrayCopy in two parts, for a source that is not null and whose element
// size is not 0. StartCopy makes the copy's descriptor and data block and does
// what SafeArrayCopyData does before it copies the elements; it copies them
// too, unless they are variants: then `variants` is set, and the caller copies
// them into the copy's slots and hands their status to FinishCopy, which takes
// the prefix. A copy that fails is released (`copy` null).
struct ArrayCopy {
    SAFEARRAY* copy;
    HRESULT status;
    bool variants;
};
ArrayCopy StartCopy(SAFEARRAY* source) noexcept;
ArrayCopy FinishCopy(const SAFEARRAY* source, SAFEARRAY* copy, HRESULT status) noexcept;

// The raw data of a variant (VariantGetRawData) without changing it: the
// address and 32-bit byte size of the storage behind its value. E_INVALIDARG
// for a type without raw data, a null array or a null reference that would
// have to be followed; *size may already hold 4 for VT_INT and VT_UINT.
HRESULT RawDataOf(const VARIANT& variant, ULONG* size, void** data) noexcept;

}  // namespace KoAtlCom::detail
