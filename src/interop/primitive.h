// Conversion between the compact tagged scalar `Primitive` and `CComVariant`,
// exported from libZentrel.so. Neither function allocates, fails or throws.
#pragma once

#include <cstdint>

#include "interop/export.h"
#include "interop/vocabulary.h"

namespace KoAtlCom {

// Exactly one VARIANT record: no virtual operations, nothing before or after it.
// It owns nothing, so it is trivially copyable and needs no destructor.
class CComVariant : public VARIANT {
public:
    CComVariant() noexcept : VARIANT{} {}
};
static_assert(sizeof(CComVariant) == 24 && alignof(CComVariant) == 8);

namespace Interop {

#pragma pack(push, 1)
// 12 bytes without padding; the 8-byte value sits at byte 4, unaligned.
struct Primitive {
    // Kind codes. The signed integers come first, then the unsigned ones, then
    // the two floating types; the variant codes do not follow that order.
    enum Kind : std::int32_t {
        Empty = 0,
        Int8 = 1,
        Int16 = 2,
        Int32 = 3,
        Int64 = 4,
        UInt8 = 5,
        UInt16 = 6,
        UInt32 = 7,
        UInt64 = 8,
        Float = 9,
        Double = 10,
    };

    std::int32_t kind;  // any 32-bit value; unknown ones mean Empty
    union {
        std::int8_t i8;
        std::int16_t i16;
        std::int32_t i32;
        std::int64_t i64;
        std::uint8_t u8;
        std::uint16_t u16;
        std::uint32_t u32;
        std::uint64_t u64;
        float f32;
        double f64;
        unsigned char bytes[8];
    } value;
};
#pragma pack(pop)
using PrimitiveKind = Primitive::Kind;

static_assert(sizeof(Primitive) == 12 && alignof(Primitive) == 1);
static_assert(offsetof(Primitive, kind) == 0 && offsetof(Primitive, value) == 4);

// Builds a variant of the kind's type holding exactly the kind's bytes of
// `value`; every other byte is zero. An unknown kind gives VT_EMPTY.
ZENTREL_EXPORT CComVariant ToVariant(Primitive primitive) noexcept;

// Reads one of the ten numeric variant types (the whole `vt`, flags included)
// back into a Primitive; anything else gives Empty with a zero value. Never
// follows pointers and never changes the variant.
ZENTREL_EXPORT Primitive FromVariant(const CComVariant& variant) noexcept;

}  // namespace Interop
}  // namespace KoAtlCom
