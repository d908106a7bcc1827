#include "interop/primitive.h"

#include <array>
#include <cstring>
#include <tuple>

#include <gtest/gtest.h>

namespace {

using KoAtlCom::CComVariant;
using KoAtlCom::Interop::FromVariant;
using KoAtlCom::Interop::Primitive;
using KoAtlCom::Interop::ToVariant;

Primitive MakePrimitive(std::int32_t kind, std::uint64_t bits) {
    Primitive p;
    p.kind = kind;
    std::memcpy(p.value.bytes, &bits, 8);
    return p;
}

std::array<unsigned char, 24> BytesOf(const CComVariant& v) {
    std::array<unsigned char, 24> bytes;
    std::memcpy(bytes.data(), &v, 24);
    return bytes;
}

struct KindCase {
    std::int32_t kind;
    VARTYPE vt;
    std::size_t width;
};

class Primitive_Kinds : public ::testing::TestWithParam<KindCase> {};

TEST_P(Primitive_Kinds, ToVariantCarriesExactlyTheKindsBytesAndZeroesTheRest) {
    const KindCase c = GetParam();
    const CComVariant v = ToVariant(MakePrimitive(c.kind, 0xF1E2D3C4B5A69788ull));
    const auto bytes = BytesOf(v);
    EXPECT_EQ(c.vt, v.vt);
    const std::uint64_t expected =
        c.width == 8 ? 0xF1E2D3C4B5A69788ull : 0xF1E2D3C4B5A69788ull & ((1ull << (8 * c.width)) - 1);
    std::uint64_t value;
    std::memcpy(&value, bytes.data() + 8, 8);
    EXPECT_EQ(expected, value);
    for (std::size_t i = 2; i < 8; ++i) EXPECT_EQ(0, bytes[i]) << i;
    for (std::size_t i = 16; i < 24; ++i) EXPECT_EQ(0, bytes[i]) << i;
}

TEST_P(Primitive_Kinds, FromVariantReadsOnlyTheMembersWidth) {
    const KindCase c = GetParam();
    CComVariant v;
    v.vt = c.vt;
    v.ullVal = 0x8877665544332211ull;
    v.pRecInfo = reinterpret_cast<IRecordInfo*>(0x1234);
    const Primitive p = FromVariant(v);
    EXPECT_EQ(c.kind, p.kind);
    std::uint64_t value;
    std::memcpy(&value, p.value.bytes, 8);
    const std::uint64_t expected =
        c.width == 8 ? 0x8877665544332211ull : 0x8877665544332211ull & ((1ull << (8 * c.width)) - 1);
    EXPECT_EQ(expected, value);
}

TEST_P(Primitive_Kinds, RoundTripReturnsThePrimitiveWithStrayBytesCleared) {
    const KindCase c = GetParam();
    const Primitive back = FromVariant(ToVariant(MakePrimitive(c.kind, ~0ull)));
    EXPECT_EQ(c.kind, back.kind);
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(i < c.width ? 0xFF : 0, back.value.bytes[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(AllKinds, Primitive_Kinds,
                         ::testing::Values(KindCase{Primitive::Int8, VT_I1, 1}, KindCase{Primitive::Int16, VT_I2, 2},
                                           KindCase{Primitive::Int32, VT_I4, 4}, KindCase{Primitive::Int64, VT_I8, 8},
                                           KindCase{Primitive::UInt8, VT_UI1, 1},
                                           KindCase{Primitive::UInt16, VT_UI2, 2},
                                           KindCase{Primitive::UInt32, VT_UI4, 4},
                                           KindCase{Primitive::UInt64, VT_UI8, 8}, KindCase{Primitive::Float, VT_R4, 4},
                                           KindCase{Primitive::Double, VT_R8, 8}));

TEST(Primitive_ToVariant, UnknownKindsGiveAnAllZeroEmptyVariant) {
    const std::array<unsigned char, 24> zeros{};
    for (std::int32_t kind : {0, 11, -1, 0x7FFFFFFF, static_cast<std::int32_t>(0x80000000)}) {
        EXPECT_EQ(zeros, BytesOf(ToVariant(MakePrimitive(kind, ~0ull)))) << kind;
    }
}

TEST(Primitive_ToVariant, FloatingValuesAreCopiedBitForBit) {
    Primitive p{};
    p.kind = Primitive::Double;
    p.value.f64 = 1.5;
    const CComVariant v = ToVariant(p);
    EXPECT_EQ(VT_R8, v.vt);
    EXPECT_EQ(1.5, v.dblVal);

    p = Primitive{};
    p.kind = Primitive::Float;
    std::uint32_t nanBits = 0x7FC01234;  // a NaN with payload survives unchanged
    std::memcpy(p.value.bytes, &nanBits, 4);
    const CComVariant f = ToVariant(p);
    std::uint32_t out;
    std::memcpy(&out, &f.fltVal, 4);
    EXPECT_EQ(nanBits, out);
}

TEST(Primitive_FromVariant, NonNumericFlaggedAndNearMissTypesGiveEmpty) {
    for (unsigned vt : std::initializer_list<unsigned>{VT_EMPTY,
                                                       VT_NULL,
                                                       VT_CY,
                                                       VT_DATE,
                                                       VT_BSTR,
                                                       VT_DISPATCH,
                                                       VT_ERROR,
                                                       VT_BOOL,
                                                       VT_VARIANT,
                                                       VT_UNKNOWN,
                                                       VT_DECIMAL,
                                                       VT_INT,
                                                       VT_UINT,
                                                       VT_RECORD,
                                                       VT_INT_PTR,
                                                       15u,
                                                       22u,
                                                       0xFFFu,
                                                       VT_BYREF | VT_I4,
                                                       VT_ARRAY | VT_I4,
                                                       VT_VECTOR | VT_I4,
                                                       VT_RESERVED | VT_I4,
                                                       VT_BYREF | VT_ARRAY | VT_UI8}) {
        CComVariant v;
        v.vt = static_cast<VARTYPE>(vt);
        v.llVal = -1;
        const Primitive p = FromVariant(v);
        EXPECT_EQ(Primitive::Empty, p.kind) << vt;
        for (unsigned char b : p.value.bytes) EXPECT_EQ(0, b) << vt;
    }
}

TEST(Primitive_FromVariant, LeavesTheVariantUnchanged) {
    CComVariant v;
    v.vt = VT_I2;
    v.llVal = 0x0102030405060708;
    const auto before = BytesOf(v);
    std::ignore = FromVariant(v);
    EXPECT_EQ(before, BytesOf(v));
}

}  // namespace
