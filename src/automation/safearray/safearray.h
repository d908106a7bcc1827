// SAFEARRAY: the descriptor of a multi-dimensional array of fixed-size elements.
//
// Every descriptor lives in one malloc block: a hidden 16-byte prefix (an IID,
// or the element VARTYPE in its last 4 bytes), the 24-byte header, then one
// bound per dimension. The SAFEARRAY pointer is the block start plus 16. Bounds
// are stored in reverse: rgsabound[0] is the caller's last dimension. Vectors
// with inline data keep their elements right behind their single bound, at the
// SAFEARRAY pointer plus 32. Nothing here locks, and nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>

#include "interop/vocabulary.h"

struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};
static_assert(sizeof(SAFEARRAYBOUND) == 8 && offsetof(SAFEARRAYBOUND, lLbound) == 4);

struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];
};
static_assert(sizeof(SAFEARRAY) == 32 && alignof(SAFEARRAY) == 8);
static_assert(offsetof(SAFEARRAY, cDims) == 0 && offsetof(SAFEARRAY, fFeatures) == 2);
static_assert(offsetof(SAFEARRAY, cbElements) == 4 && offsetof(SAFEARRAY, cLocks) == 8);
static_assert(offsetof(SAFEARRAY, pvData) == 16 && offsetof(SAFEARRAY, rgsabound) == 24);

// Feature bits. FADF_DATA_RELEASED and FADF_INLINE_DATA are this library's own.
inline constexpr USHORT FADF_AUTO = 0x0001;
inline constexpr USHORT FADF_STATIC = 0x0002;
inline constexpr USHORT FADF_EMBEDDED = 0x0004;
inline constexpr USHORT FADF_FIXEDSIZE = 0x0010;
inline constexpr USHORT FADF_RECORD = 0x0020;
inline constexpr USHORT FADF_HAVEIID = 0x0040;
inline constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
inline constexpr USHORT FADF_BSTR = 0x0100;
inline constexpr USHORT FADF_UNKNOWN = 0x0200;
inline constexpr USHORT FADF_DISPATCH = 0x0400;
inline constexpr USHORT FADF_VARIANT = 0x0800;
inline constexpr USHORT FADF_DATA_RELEASED = 0x1000;
inline constexpr USHORT FADF_INLINE_DATA = 0x2000;
inline constexpr USHORT FADF_RESERVED = 0xF008;

// What an element is comes from fFeatures alone: a VARIANT (FADF_VARIANT), a
// BSTR (FADF_BSTR), an interface pointer (FADF_UNKNOWN or FADF_DISPATCH), a
// record (FADF_RECORD) or plain bytes (none of these). With several kind bits
// set, each operation takes the first in its own order: releasing tests the
// string, interface and variant bits in that order; copying the variant,
// string, record and interface bits; element access the variant, string,
// interface and record bits. The kind taken is worked on element by element
// only when cbElements is its size (24 bytes for a variant, 8 for a string or
// an interface): otherwise element access and copying refuse the array with
// E_INVALIDARG, and releasing and destroying it release no elements (what such
// a descriptor claims to own is left alone rather than freed as garbage). No
// operation reads or writes more than element count x cbElements bytes of the
// data block, and a descriptor whose size does not fit 64 bits is refused
// wherever its elements would be touched.

// Descriptor creation. Out-parameters are untouched on failure. E_INVALIDARG
// for 0 or more than 65535 dimensions (cDims is 16 bits) or a null `out`. A
// VT_RECORD descriptor gets the features FADF_RECORD and a zeroed prefix.
HRESULT SafeArrayAllocDescriptor(UINT cDims, SAFEARRAY** out) noexcept;
HRESULT SafeArrayAllocDescriptorEx(VARTYPE vt, UINT cDims, SAFEARRAY** out) noexcept;
HRESULT SafeArrayAllocData(SAFEARRAY* psa) noexcept;

// Array creation; `bounds` are in the caller's dimension order. Null on failure,
// with nothing left allocated; a data size that does not fit 64 bits fails.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* bounds) noexcept;
SAFEARRAY* SafeArrayCreateEx(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* bounds, void* extra) noexcept;
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) noexcept;
SAFEARRAY* SafeArrayCreateVectorEx(VARTYPE vt, LONG lLbound, ULONG cElements, void* extra) noexcept;

HRESULT SafeArraySetIID(SAFEARRAY* psa, REFGUID guid) noexcept;
HRESULT SafeArrayGetIID(SAFEARRAY* psa, GUID* guid) noexcept;
HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) noexcept;
HRESULT SafeArrayGetElementVartype(SAFEARRAY* psa, VARTYPE* pvt) noexcept;
UINT SafeArrayGetDim(SAFEARRAY* psa) noexcept;
UINT SafeArrayGetElemsize(SAFEARRAY* psa) noexcept;

// The product of all element counts in 64 bits; 0 for null or no dimensions.
std::uint64_t SafeArrayElementCount(const SAFEARRAY* psa) noexcept;

// Raw value size of the thirteen plain scalar types (VT_BOOL is 1 byte here).
HRESULT VartypeGetRawSize(VARTYPE vt, ULONG* size) noexcept;

// The variant-type rule as a predicate.
bool VartypeIsValid(VARTYPE vt) noexcept;
