// SAFEARRAY: the descriptor of a multi-dimensional array of fixed-size elements,
// its bounds and its feature bits. The operations on arrays are declared by
// the header of each source: descriptor.h, create.h, data.h, resize.h,
// element.h, bytevector.h, rawdata.h and noop.h.
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
