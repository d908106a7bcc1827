#include "automation/variant/convert.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

#include "automation/automation.h"
#include "automation/safearray/layout.h"
#include "support/fake_unknown.h"
#include "support/fault_injection.h"
#include "support/variant_values.h"

namespace {

using zentrel::test::AllocationCounter;
using zentrel::test::AllocationFailure;
using zentrel::test::FailureMode;
using zentrel::test::FakeUnknown;
using zentrel::test::Integer;
using zentrel::test::Interface;
using zentrel::test::Real;
using zentrel::test::Single;
using zentrel::test::String;
using zentrel::test::SweepAllocationFailures;
using zentrel::test::Variant;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kAllOnes = ~std::uint64_t{0};
constexpr std::uint64_t kTop = std::uint64_t{1} << 63;

// A destination with recognisable content, to prove that a failure left it alone.
VARIANT Sentinel() {
    VARIANT v{};
    v.vt = VT_I4;
    v.wReserved1 = 0x1111;
    v.lVal = 0x5A5A5A5A;
    v.pRecInfo = reinterpret_cast<IRecordInfo*>(0x77);
    return v;
}

bool SameBytes(const VARIANT& a, const VARIANT& b) { return std::memcmp(&a, &b, sizeof(VARIANT)) == 0; }

SAFEARRAY* ByteArray(LONG lowerBound, const char* bytes, ULONG count) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, lowerBound, count);
    if (array != nullptr && count != 0) std::memcpy(array->pvData, bytes, count);
    return array;
}

VARIANT ArrayVariant(VARTYPE elements, SAFEARRAY* array) {
    VARIANT v{};
    v.vt = VT_ARRAY | elements;
    v.parray = array;
    return v;
}

// ---------------------------------------------------------------------------
// The numeric table: every numeric target against signed, unsigned and floating
// sources at the edge values. Integer targets are given as the whole 8-byte
// value field (the value in its width, zeros behind it).

struct Expected {
    std::uint64_t i1, ui1, i2, ui2, boolean, i4, ui4, i8, ui8;
    float r4;
    double r8;
};

struct Row {
    const char* name;
    VARIANT source;
    Expected expected;
};

constexpr Expected kZeros{0, 0, 0, 0, 0, 0, 0, 0, 0, 0.0f, 0.0};
constexpr Expected kMinusOne{0xFF,       0xFF,     0xFFFF,   0xFFFF, 0xFFFF, 0xFFFFFFFF,
                             0xFFFFFFFF, kAllOnes, kAllOnes, -1.0f,  -1.0};
// A double beyond the 32-bit intermediate: -2^31 there (low bits 0); the 64-bit
// one is out of range as well, so VT_UI4 gets the low half of -2^63 and VT_UI8 2^63.
constexpr Expected FloatingOverflow(float r4, double r8) { return {0, 0, 0, 0, 0, 0x80000000, 0, kTop, kTop, r4, r8}; }

const Row kRows[] = {
    // floating sources
    {"R8_0", Real(0.0), kZeros},
    {"R8_minus1", Real(-1.0), kMinusOne},
    {"R8_2pow31", Real(0x1p31), {0, 0, 0, 0, 0, 0x80000000, 0x80000000, 0x80000000, 0x80000000, 0x1p31f, 0x1p31}},
    {"R8_2pow63", Real(0x1p63), {0, 0, 0, 0, 0, 0x80000000, 0, kTop, kTop, 0x1p63f, 0x1p63}},
    {"R8_below2pow64",
     Real(0x1.fffffffffffffp63),
     {0, 0, 0, 0, 0, 0x80000000, 0, kTop, 0xFFFFFFFFFFFFF800, 0x1p64f, 0x1.fffffffffffffp63}},
    {"R8_2pow64", Real(0x1p64), FloatingOverflow(0x1p64f, 0x1p64)},
    {"R8_NaN", Real(kNaN), FloatingOverflow(std::numeric_limits<float>::quiet_NaN(), kNaN)},
    {"R8_inf", Real(kInf), FloatingOverflow(std::numeric_limits<float>::infinity(), kInf)},
    {"R8_minusinf", Real(-kInf), FloatingOverflow(-std::numeric_limits<float>::infinity(), -kInf)},
    {"R8_minus2pow63", Real(-0x1p63), {0, 0, 0, 0, 0, 0x80000000, 0, kTop, kTop, -0x1p63f, -0x1p63}},
    {"R8_minus2_9",
     Real(-2.9),
     {0xFE, 0xFE, 0xFFFE, 0xFFFE, 0xFFFE, 0xFFFFFFFE, 0xFFFFFFFE, kAllOnes - 1, kAllOnes - 1, -2.9f, -2.9}},
    {"R8_2_9", Real(2.9), {2, 2, 2, 2, 2, 2, 2, 2, 2, 2.9f, 2.9}},
    {"R8_3e9", Real(3e9), {0, 0, 0, 0, 0, 0x80000000, 3000000000u, 3000000000u, 3000000000u, 3e9f, 3e9}},
    {"R8_int32max_9",
     Real(2147483647.9),
     {0xFF, 0xFF, 0xFFFF, 0xFFFF, 0xFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0x1p31f, 2147483647.9}},
    {"R8_int32min_9",
     Real(-2147483648.9),
     {0, 0, 0, 0, 0, 0x80000000, 0x80000000, 0xFFFFFFFF80000000, 0xFFFFFFFF80000000, -0x1p31f, -2147483648.9}},
    {"R8_beyondSingle", Real(1e300), FloatingOverflow(std::numeric_limits<float>::infinity(), 1e300)},
    {"R8_justAboveFltMax", Real(0x1.fffffefp127), FloatingOverflow(std::numeric_limits<float>::max(), 0x1.fffffefp127)},
    {"R8_halfwayAboveFltMax", Real(0x1.ffffffp127),
     FloatingOverflow(std::numeric_limits<float>::infinity(), 0x1.ffffffp127)},
    {"R4_1_5", Single(1.5f), {1, 1, 1, 1, 1, 1, 1, 1, 1, 1.5f, 1.5}},
    {"R4_minus2_5",
     Single(-2.5f),
     {0xFE, 0xFE, 0xFFFE, 0xFFFE, 0xFFFE, 0xFFFFFFFE, 0xFFFFFFFE, kAllOnes - 1, kAllOnes - 1, -2.5f, -2.5}},
    // signed sources
    {"I8_0", Integer(VT_I8, 0), kZeros},
    {"I8_minus1", Integer(VT_I8, kAllOnes), kMinusOne},
    {"I8_2pow31",
     Integer(VT_I8, 0x80000000),
     {0, 0, 0, 0, 0, 0x80000000, 0x80000000, 0x80000000, 0x80000000, 0x1p31f, 0x1p31}},
    {"I8_min", Integer(VT_I8, kTop), {0, 0, 0, 0, 0, 0, 0, kTop, kTop, -0x1p63f, -0x1p63}},
    {"I8_max",
     Integer(VT_I8, kTop - 1),
     {0xFF, 0xFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, kTop - 1, kTop - 1, 0x1p63f, 0x1p63}},
    {"I1_minus1", Integer(VT_I1, 0xFF), kMinusOne},
    {"I2_minus2",
     Integer(VT_I2, 0xFFFE),
     {0xFE, 0xFE, 0xFFFE, 0xFFFE, 0xFFFE, 0xFFFFFFFE, 0xFFFFFFFE, kAllOnes - 1, kAllOnes - 1, -2.0f, -2.0}},
    {"I4_300", Integer(VT_I4, 300), {44, 44, 300, 300, 300, 300, 300, 300, 300, 300.0f, 300.0}},
    {"INT_minus1", Integer(VT_INT, 0xFFFFFFFF), kMinusOne},
    // unsigned sources
    {"UI8_0", Integer(VT_UI8, 0), kZeros},
    {"UI8_2pow31",
     Integer(VT_UI8, 0x80000000),
     {0, 0, 0, 0, 0, 0x80000000, 0x80000000, 0x80000000, 0x80000000, 0x1p31f, 0x1p31}},
    {"UI8_2pow63", Integer(VT_UI8, kTop), {0, 0, 0, 0, 0, 0, 0, kTop, kTop, 0x1p63f, 0x1p63}},
    {"UI8_2pow63plus1", Integer(VT_UI8, kTop + 1), {1, 1, 1, 1, 1, 1, 1, kTop + 1, kTop + 1, 0x1p63f, 0x1p63}},
    {"UI8_max",
     Integer(VT_UI8, kAllOnes),
     {0xFF, 0xFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, kAllOnes, kAllOnes, 0x1p64f, 0x1p64}},
    {"UI4_max",
     Integer(VT_UI4, 0xFFFFFFFF),
     {0xFF, 0xFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0x1p32f, 4294967295.0}},
    {"UI1_200", Integer(VT_UI1, 200), {200, 200, 200, 200, 200, 200, 200, 200, 200, 200.0f, 200.0}},
    {"UINT_7", Integer(VT_UINT, 7), {7, 7, 7, 7, 7, 7, 7, 7, 7, 7.0f, 7.0}},
};

enum class Field { I1, UI1, I2, UI2, Bool, I4, UI4, I8, UI8, R4, R8 };
struct NumericTarget {
    const char* name;
    VARTYPE vt;
    Field field;
};
const NumericTarget kNumericTargets[] = {
    {"I1", VT_I1, Field::I1},    {"UI1", VT_UI1, Field::UI1},    {"I2", VT_I2, Field::I2},
    {"UI2", VT_UI2, Field::UI2}, {"BOOL", VT_BOOL, Field::Bool}, {"I4", VT_I4, Field::I4},
    {"INT", VT_INT, Field::I4},  {"UI4", VT_UI4, Field::UI4},    {"UINT", VT_UINT, Field::UI4},
    {"I8", VT_I8, Field::I8},    {"UI8", VT_UI8, Field::UI8},    {"R4", VT_R4, Field::R4},
    {"R8", VT_R8, Field::R8},
};

std::uint64_t ExpectedBits(const Expected& e, Field f) {
    switch (f) {
        case Field::I1:
            return e.i1;
        case Field::UI1:
            return e.ui1;
        case Field::I2:
            return e.i2;
        case Field::UI2:
            return e.ui2;
        case Field::Bool:
            return e.boolean;
        case Field::I4:
            return e.i4;
        case Field::UI4:
            return e.ui4;
        case Field::I8:
            return e.i8;
        case Field::UI8:
            return e.ui8;
        default:
            return 0;
    }
}

class ChangeType_Numeric : public ::testing::TestWithParam<std::tuple<Row, NumericTarget>> {};

TEST_P(ChangeType_Numeric, GivesTheTablesValueInAFreshRecord) {
    const auto& [row, target] = GetParam();
    VARIANT dest = Sentinel();
    ASSERT_EQ(S_OK, VariantChangeType(&dest, &row.source, 0, target.vt));
    EXPECT_EQ(target.vt, dest.vt);
    switch (target.field) {
        case Field::R4:
            if (std::isnan(row.expected.r4)) {
                EXPECT_TRUE(std::isnan(dest.fltVal));
            } else {
                EXPECT_EQ(row.expected.r4, dest.fltVal);
            }
            EXPECT_EQ(0u, dest.ullVal >> 32);
            break;
        case Field::R8:
            if (std::isnan(row.expected.r8)) {
                EXPECT_TRUE(std::isnan(dest.dblVal));
            } else {
                EXPECT_EQ(row.expected.r8, dest.dblVal);
            }
            break;
        default:
            EXPECT_EQ(ExpectedBits(row.expected, target.field), dest.ullVal);
            break;
    }
    // A conversion to another type builds the record afresh; a same-type copy
    // carries the source's other bytes, which are zero here too.
    EXPECT_EQ(0, dest.wReserved1);
    EXPECT_EQ(nullptr, dest.pRecInfo);
}

TEST_P(ChangeType_Numeric, ByReferenceSourceGivesTheSameResult) {
    const auto& [row, target] = GetParam();
    VARIANT value = row.source;
    VARIANT reference{};
    reference.vt = VT_BYREF | row.source.vt;
    reference.byref = &value.llVal;
    VARIANT direct{};
    VARIANT resolved{};
    ASSERT_EQ(S_OK, VariantChangeType(&direct, &row.source, 0, target.vt));
    AllocationCounter counter;
    ASSERT_EQ(S_OK, VariantChangeType(&resolved, &reference, 0, target.vt));
    EXPECT_EQ(0u, counter.Count());
    EXPECT_TRUE(SameBytes(direct, resolved));
}

TEST_P(ChangeType_Numeric, AllocatesNothing) {
    const auto& [row, target] = GetParam();
    VARIANT dest{};
    AllocationCounter counter;
    VariantChangeType(&dest, &row.source, 0, target.vt);
    VariantConvertScalar(&dest, &row.source, target.vt);
    EXPECT_EQ(0u, counter.Count());
}

std::string NumericName(const ::testing::TestParamInfo<std::tuple<Row, NumericTarget>>& info) {
    return std::string(std::get<0>(info.param).name) + "_to_" + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Table, ChangeType_Numeric,
                         ::testing::Combine(::testing::ValuesIn(kRows), ::testing::ValuesIn(kNumericTargets)),
                         NumericName);

// Every target outside the numeric ones, from every numeric source: the status
// of the table, a zeroed value field (null pointer) on success, dest untouched
// on failure.
struct OtherTarget {
    const char* name;
    VARTYPE vt;
    HRESULT status;
};
const OtherTarget kOtherTargets[] = {
    {"EMPTY", VT_EMPTY, S_OK},
    {"NULL", VT_NULL, S_OK},
    {"CY", VT_CY, S_OK},
    {"DATE", VT_DATE, S_OK},
    {"ERROR", VT_ERROR, S_OK},
    {"VARIANT", VT_VARIANT, S_OK},
    {"DECIMAL", VT_DECIMAL, S_OK},
    {"DISPATCH", VT_DISPATCH, S_OK},
    {"UNKNOWN", VT_UNKNOWN, S_OK},
    {"BYREF_I4", VT_BYREF | VT_I4, S_OK},
    {"BYREF_BSTR", VT_BYREF | VT_BSTR, S_OK},
    {"BSTR", VT_BSTR, E_NOTIMPL},
    {"RECORD", VT_RECORD, E_NOTIMPL},
    {"ARRAY_I4", VT_ARRAY | VT_I4, DISP_E_TYPEMISMATCH},
    {"ARRAY_UI1", VT_ARRAY | VT_UI1, DISP_E_TYPEMISMATCH},
    {"BYREF_ARRAY_I4", VT_BYREF | VT_ARRAY | VT_I4, DISP_E_TYPEMISMATCH},
    {"VECTOR_I4", VT_VECTOR | VT_I4, DISP_E_BADVARTYPE},
    {"RESERVED_I4", VT_RESERVED | VT_I4, DISP_E_BADVARTYPE},
    {"Type15", 15, DISP_E_BADVARTYPE},
    {"INT_PTR", VT_INT_PTR, DISP_E_BADVARTYPE},
    {"Type24", 24, DISP_E_BADVARTYPE},  // the first code past the scalar targets
    {"ARRAY_EMPTY", VT_ARRAY | VT_EMPTY, DISP_E_BADVARTYPE},
    {"BYREF_NULL", VT_BYREF | VT_NULL, DISP_E_BADVARTYPE},
};

class ChangeType_OtherTarget : public ::testing::TestWithParam<std::tuple<Row, OtherTarget>> {};

TEST_P(ChangeType_OtherTarget, StatusAndDefinedValue) {
    const auto& [row, target] = GetParam();
    const VARIANT before = Sentinel();
    VARIANT dest = before;
    ASSERT_EQ(target.status, VariantChangeType(&dest, &row.source, 0, target.vt));
    if (FAILED(target.status)) {
        EXPECT_TRUE(SameBytes(before, dest));
        return;
    }
    EXPECT_EQ(target.vt, dest.vt);
    EXPECT_EQ(0u, dest.ullVal);
    EXPECT_EQ(nullptr, dest.pRecInfo);
}

// The scalar step itself writes no value for these targets: the zero above
// comes from VariantChangeTypeEx's zeroed temporary.
TEST_P(ChangeType_OtherTarget, ScalarStepWritesNothing) {
    const auto& [row, target] = GetParam();
    if ((target.vt & VT_ARRAY) != 0 || FAILED(target.status)) return;
    const VARIANT before = Sentinel();
    VARIANT result = before;
    ASSERT_EQ(S_OK, VariantConvertScalar(&result, &row.source, target.vt));
    EXPECT_TRUE(SameBytes(before, result));
}

std::string OtherName(const ::testing::TestParamInfo<std::tuple<Row, OtherTarget>>& info) {
    return std::string(std::get<0>(info.param).name) + "_to_" + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Table, ChangeType_OtherTarget,
                         // R8 -1, I8 -1 and UI8 2^64-1: one source of each class.
                         ::testing::Combine(::testing::Values(kRows[1], kRows[21], kRows[33]),
                                            ::testing::ValuesIn(kOtherTargets)),
                         OtherName);

// ---------------------------------------------------------------------------
// Sources outside the numeric classes.

TEST(ChangeType, IntegerAliasesAreSameTypeCopies) {
    VARIANT src = Integer(VT_INT, 7);
    src.pRecInfo = reinterpret_cast<IRecordInfo*>(0x99);  // carried by the copy
    VARIANT dest{};
    ASSERT_EQ(S_OK, VariantChangeType(&dest, &src, 0, VT_I4));
    EXPECT_EQ(VT_I4, dest.vt);
    EXPECT_EQ(7, dest.lVal);
    EXPECT_EQ(src.pRecInfo, dest.pRecInfo);

    src = Integer(VT_I4, 7);
    ASSERT_EQ(S_OK, VariantChangeType(&dest, &src, 0, VT_UINT));
    EXPECT_EQ(VT_UINT, dest.vt);
    EXPECT_EQ(7u, dest.uintVal);
}

TEST(ChangeType, BooleanTargetKeepsTheLow16Bits) {
    const VARIANT src = Integer(VT_I4, 5);
    VARIANT dest{};
    ASSERT_EQ(S_OK, VariantChangeType(&dest, &src, 0, VT_BOOL));
    EXPECT_EQ(VT_BOOL, dest.vt);
    EXPECT_EQ(5, dest.boolVal);
}

TEST(ChangeType, SourcesWithoutANumberSucceedWithZero) {
    VARIANT sources[] = {Integer(VT_BOOL, 0xFFFF),
                         Integer(VT_EMPTY, 0),
                         Integer(VT_NULL, 0),
                         Integer(VT_CY, 123),
                         Integer(VT_DATE, 0x4000000000000000),
                         Integer(VT_ERROR, 5),
                         String("12")};
    for (const VARIANT& src : sources) {
        for (VARTYPE vt : {VT_I1, VT_I4, VT_UI8, VT_R4, VT_R8}) {
            VARIANT dest = Sentinel();
            ASSERT_EQ(S_OK, VariantChangeType(&dest, &src, 0, vt)) << src.vt << " to " << vt;
            EXPECT_EQ(vt, dest.vt);
            EXPECT_EQ(0u, dest.ullVal) << src.vt << " to " << vt;
        }
    }
    for (const VARIANT& src : sources) {
        VARIANT result = Sentinel();
        ASSERT_EQ(S_OK, VariantConvertScalar(&result, &src, VT_I4)) << src.vt;
        EXPECT_TRUE(SameBytes(Sentinel(), result)) << src.vt;
    }
    VariantClear(&sources[6]);
}

TEST(ChangeType, SameTypeRequestsCopy) {
    VARIANT src = Integer(VT_CY, 0x123456789);
    VARIANT dest{};
    ASSERT_EQ(S_OK, VariantChangeType(&dest, &src, 0, VT_CY));
    EXPECT_TRUE(SameBytes(src, dest));

    src = String("ab\0cd", 5);
    ASSERT_EQ(S_OK, VariantChangeType(&dest, &src, 0, VT_BSTR));
    EXPECT_EQ(VT_BSTR, dest.vt);
    EXPECT_NE(src.bstrVal, dest.bstrVal);
    EXPECT_EQ(2u, SysStringLen(dest.bstrVal));  // a text copy ends at the NUL
    VariantClear(&dest);
    VariantClear(&src);
}

TEST(ChangeType, NoNumberBecomesTextAndNoRecordIsMade) {
    const VARIANT i4 = Integer(VT_I4, 12);
    VARIANT dest = Sentinel();
    EXPECT_EQ(E_NOTIMPL, VariantChangeType(&dest, &i4, 0, VT_BSTR));
    EXPECT_EQ(E_NOTIMPL, VariantChangeType(&dest, &i4, 0, VT_RECORD));
    EXPECT_TRUE(SameBytes(Sentinel(), dest));
}

TEST(ChangeType, NullToEmptyIsAMismatchButNumbersBecomeEmptyOrNull) {
    const VARIANT null = Integer(VT_NULL, 0);
    VARIANT dest = Sentinel();
    EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(&dest, &null, 0, VT_EMPTY));
    EXPECT_TRUE(SameBytes(Sentinel(), dest));
    const VARIANT i4 = Integer(VT_I4, 3);
    ASSERT_EQ(S_OK, VariantChangeType(&dest, &i4, 0, VT_EMPTY));
    EXPECT_EQ(VT_EMPTY, dest.vt);
    ASSERT_EQ(S_OK, VariantChangeType(&dest, &i4, 0, VT_NULL));
    EXPECT_EQ(VT_NULL, dest.vt);
}

TEST(ChangeType, InvalidSourceTypeIsRefused) {
    for (VARTYPE vt : {VARTYPE{15}, VARTYPE{VT_INT_PTR}, VARTYPE(VT_VECTOR | VT_I4), VARTYPE(VT_ARRAY | VT_NULL)}) {
        const VARIANT src = Integer(vt, 1);
        VARIANT dest = Sentinel();
        EXPECT_EQ(DISP_E_BADVARTYPE, VariantChangeType(&dest, &src, 0, VT_I4)) << vt;
        EXPECT_TRUE(SameBytes(Sentinel(), dest));
    }
}

TEST(ChangeType, ByReferenceIsResolvedAndANullReferenceRefused) {
    double value = 2.5;
    VARIANT reference{};
    reference.vt = VT_BYREF | VT_R8;
    reference.pdblVal = &value;
    VARIANT dest{};
    ASSERT_EQ(S_OK, VariantChangeType(&dest, &reference, 0, VT_I2));
    EXPECT_EQ(VT_I2, dest.vt);
    EXPECT_EQ(2, dest.iVal);

    reference.pdblVal = nullptr;
    dest = Sentinel();
    EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(&dest, &reference, 0, VT_I2));
    EXPECT_TRUE(SameBytes(Sentinel(), dest));
}

TEST(ChangeType, FlagsAndLocaleAreIgnored) {
    const VARIANT src = Real(-2.9);
    VARIANT a{};
    VARIANT b{};
    ASSERT_EQ(S_OK, VariantChangeType(&a, &src, 0xFFFF, VT_I4));
    ASSERT_EQ(S_OK, VariantChangeTypeEx(&b, &src, 0x409, 0xFFFF, VT_I4));
    EXPECT_EQ(-2, a.lVal);
    EXPECT_TRUE(SameBytes(a, b));
}

// The scalar step on its own meets targets the type change refuses earlier:
// codes from 24 up are no scalar target (VT_RECORD is unsupported), and the
// value field is not written.
TEST(ConvertScalar, TargetsPastTheScalarTypesAreRefused) {
    const VARIANT source = Integer(VT_I4, 7);
    for (const auto& [vt, status] : {std::pair<VARTYPE, HRESULT>{24, DISP_E_TYPEMISMATCH},
                                     {VT_INT_PTR, DISP_E_TYPEMISMATCH},
                                     {VT_CLSID, DISP_E_TYPEMISMATCH},
                                     {VT_RECORD, E_NOTIMPL}}) {
        VARIANT result = Sentinel();
        EXPECT_EQ(status, VariantConvertScalar(&result, &source, vt)) << vt;
        EXPECT_TRUE(SameBytes(Sentinel(), result)) << vt;
    }
}

TEST(ChangeType, NullRecordPointersAreRefused) {
    VARIANT v = Integer(VT_I4, 1);
    EXPECT_EQ(E_INVALIDARG, VariantChangeType(nullptr, &v, 0, VT_I2));
    EXPECT_EQ(E_INVALIDARG, VariantChangeType(&v, nullptr, 0, VT_I2));
    EXPECT_EQ(E_INVALIDARG, VariantConvertScalar(nullptr, &v, VT_I2));
    EXPECT_EQ(E_INVALIDARG, VariantConvertScalar(&v, nullptr, VT_I2));
    EXPECT_EQ(E_INVALIDARG, VariantConvertArray(nullptr, &v, VT_BSTR));
    EXPECT_EQ(E_INVALIDARG, VariantConvertArray(&v, nullptr, VT_BSTR));
}

// The refusal comes before the result is copied for dest: no allocation, and
// no allocation failure can hide it.
TEST(ChangeType, ClearingTheDestinationCanFail) {
    const VARIANT src = Integer(VT_I4, 1);
    VARIANT dest = Integer(VT_INT_PTR, 9);  // invalid: VariantClear refuses it
    EXPECT_EQ(E_INVALIDARG, VariantChangeType(&dest, &src, 0, VT_R8));
    EXPECT_EQ(VT_INT_PTR, dest.vt);
    EXPECT_EQ(9u, dest.ullVal);

    Variant text, unlocked, locked;
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString("text");
    for (Variant* array : {&unlocked, &locked}) {
        array->vt = VT_ARRAY | VT_I4;
        array->parray = SafeArrayCreateVector(VT_I4, 0, 1);
    }
    locked.parray->cLocks = 1;
    const AllocationCounter changing;
    EXPECT_EQ(S_OK, VariantChangeType(&unlocked, &text, 0, VT_BSTR));
    const std::uint64_t made = changing.Count();
    const AllocationCounter refused;
    EXPECT_EQ(DISP_E_ARRAYISLOCKED, VariantChangeType(&locked, &text, 0, VT_BSTR));
    EXPECT_EQ(made - 1, refused.Count());  // all but the copy for dest
    locked.parray->cLocks = 0;
}

// ---------------------------------------------------------------------------
// In place.

TEST(ChangeType, InPlaceSucceedsAndReplacesTheValue) {
    VARIANT v = Integer(VT_I4, 0xFFFFFFFF);
    ASSERT_EQ(S_OK, VariantChangeType(&v, &v, 0, VT_R8));
    EXPECT_EQ(VT_R8, v.vt);
    EXPECT_EQ(-1.0, v.dblVal);

    v = String("abc");  // the string is released once the vector is made
    ASSERT_EQ(S_OK, VariantChangeType(&v, &v, 0, VT_ARRAY | VT_UI1));
    EXPECT_EQ(VT_ARRAY | VT_UI1, v.vt);
    EXPECT_EQ(3u, v.parray->rgsabound[0].cElements);
    VariantClear(&v);
}

// The source may be an element of the array the destination owns.
TEST(ChangeType, SourceInsideTheDestinationsArray) {
    for (VARTYPE target : {VT_R8, VT_BSTR}) {
        VARIANT dest{};
        dest.vt = VT_ARRAY | VT_VARIANT;
        dest.parray = SafeArrayCreateVector(VT_VARIANT, 0, 2);
        VARIANT* elements = static_cast<VARIANT*>(dest.parray->pvData);
        elements[0] = Integer(VT_I4, 5);
        elements[1] = String("text");
        const VARIANT& source = target == VT_R8 ? elements[0] : elements[1];
        ASSERT_EQ(S_OK, VariantChangeType(&dest, &source, 0, target)) << target;
        EXPECT_EQ(target, dest.vt);
        if (target == VT_R8) {
            EXPECT_EQ(5.0, dest.dblVal);
        } else {
            EXPECT_STREQ("text", dest.bstrVal);
        }
        VariantClear(&dest);
    }
}

TEST(ChangeType, InPlaceFailureKeepsTheSource) {
    VARIANT v = Integer(VT_I4, 42);
    EXPECT_EQ(E_NOTIMPL, VariantChangeType(&v, &v, 0, VT_BSTR));
    EXPECT_EQ(VT_I4, v.vt);
    EXPECT_EQ(42, v.lVal);

    VARIANT s = String("abc");
    const BSTR text = s.bstrVal;
    EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(&s, &s, 0, VT_ARRAY | VT_I4));
    EXPECT_EQ(VT_BSTR, s.vt);
    EXPECT_EQ(text, s.bstrVal);
    EXPECT_STREQ("abc", s.bstrVal);
    VariantClear(&s);

    FakeUnknown object(false);
    VARIANT u = Interface(VT_UNKNOWN, object.unknown());
    object.AddRef();  // the variant's reference
    EXPECT_EQ(E_NOINTERFACE, VariantChangeType(&u, &u, 0, VT_DISPATCH));
    EXPECT_EQ(VT_UNKNOWN, u.vt);
    EXPECT_EQ(object.unknown(), u.punkVal);
    EXPECT_EQ(1, object.outstanding());
    VariantClear(&u);
    EXPECT_EQ(0, object.outstanding());
}

// ---------------------------------------------------------------------------
// Interfaces.

// Each direction asks for the other interface and hands dest the reference
// that QueryInterface added; the temporaries keep none.
TEST(ChangeType, InterfacesConvertIntoEachOther) {
    for (const auto& [from, to] : {std::pair{VT_UNKNOWN, VT_DISPATCH}, std::pair{VT_DISPATCH, VT_UNKNOWN}}) {
        FakeUnknown object(true);
        const VARIANT src = Interface(from, object.unknown());
        VARIANT dest{};
        ASSERT_EQ(S_OK, VariantChangeType(&dest, &src, 0, to));
        EXPECT_EQ(to, dest.vt);
        EXPECT_EQ(object.unknown(), dest.punkVal);
        EXPECT_EQ(1, object.queries());
        EXPECT_EQ(1, object.outstanding());  // dest's reference only
        VariantClear(&dest);
        EXPECT_EQ(0, object.outstanding());
    }
}

TEST(ChangeType, InterfaceFailureIsReturnedAndDestUntouched) {
    FakeUnknown object(false);
    const VARIANT src = Interface(VT_UNKNOWN, object.unknown());
    VARIANT dest = Sentinel();
    EXPECT_EQ(E_NOINTERFACE, VariantChangeType(&dest, &src, 0, VT_DISPATCH));
    EXPECT_TRUE(SameBytes(Sentinel(), dest));
    EXPECT_EQ(0, object.outstanding());
}

TEST(ChangeType, NullInterfaceConvertsToNullWithoutACall) {
    const VARIANT src = Interface(VT_UNKNOWN, nullptr);
    VARIANT dest = Sentinel();
    ASSERT_EQ(S_OK, VariantChangeType(&dest, &src, 0, VT_DISPATCH));
    EXPECT_EQ(VT_DISPATCH, dest.vt);
    EXPECT_EQ(nullptr, dest.pdispVal);
}

TEST(ChangeType, InterfaceFromAnythingElseIsNull) {
    FakeUnknown object(true);
    const VARIANT src = Interface(VT_UNKNOWN, object.unknown());
    VARIANT dest = Sentinel();
    ASSERT_EQ(S_OK, VariantChangeType(&dest, &src, 0, VT_BYREF | VT_UNKNOWN));
    EXPECT_EQ(nullptr, dest.byref);
    const VARIANT number = Integer(VT_I4, 5);
    ASSERT_EQ(S_OK, VariantChangeType(&dest, &number, 0, VT_UNKNOWN));
    EXPECT_EQ(nullptr, dest.punkVal);
    EXPECT_EQ(0, object.queries());
    EXPECT_EQ(0, object.outstanding());
}

// ---------------------------------------------------------------------------
// Strings and arrays.

TEST(ChangeType, ByteArrayBecomesAStringOfAllItsBytes) {
    VARIANT src = ArrayVariant(VT_UI1, ByteArray(5, "abc", 3));
    VARIANT dest{};
    ASSERT_EQ(S_OK, VariantChangeType(&dest, &src, 0, VT_BSTR));
    EXPECT_EQ(VT_BSTR, dest.vt);
    EXPECT_EQ(3u, SysStringLen(dest.bstrVal));
    EXPECT_STREQ("abc", dest.bstrVal);
    VariantClear(&dest);
    VariantClear(&src);

    // The conversion keeps the zero byte; the copy into dest stops at it.
    src = ArrayVariant(VT_UI1, ByteArray(0, "a\0b", 3));
    ASSERT_EQ(S_OK, VariantChangeType(&dest, &src, 0, VT_BSTR));
    EXPECT_EQ(1u, SysStringLen(dest.bstrVal));
    VARIANT direct{};
    ASSERT_EQ(S_OK, VariantConvertArray(&direct, &src, VT_BSTR));
    EXPECT_EQ(3u, SysStringLen(direct.bstrVal));
    EXPECT_EQ(0, std::memcmp("a\0b", direct.bstrVal, 4));
    SysFreeString(direct.bstrVal);
    VariantClear(&dest);
    VariantClear(&src);
}

TEST(ChangeType, MalformedOrEmptyByteArraysAreRefused) {
    const SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    VARIANT twoDims = ArrayVariant(VT_UI1, SafeArrayCreate(VT_UI1, 2, bounds));
    VARIANT empty = ArrayVariant(VT_UI1, ByteArray(0, "", 0));
    VARIANT nullArray = ArrayVariant(VT_UI1, nullptr);
    VARIANT dest = Sentinel();
    EXPECT_EQ(E_INVALIDARG, VariantChangeType(&dest, &twoDims, 0, VT_BSTR));
    EXPECT_EQ(E_OUTOFMEMORY, VariantChangeType(&dest, &empty, 0, VT_BSTR));
    EXPECT_EQ(E_INVALIDARG, VariantChangeType(&dest, &nullArray, 0, VT_BSTR));
    EXPECT_TRUE(SameBytes(Sentinel(), dest));
    VARIANT ints = ArrayVariant(VT_I4, SafeArrayCreateVector(VT_I4, 0, 2));
    EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(&dest, &ints, 0, VT_BSTR));
    VariantClear(&ints);
    VariantClear(&twoDims);
    VariantClear(&empty);
}

TEST(ChangeType, StringBecomesAByteVector) {
    VARIANT src = String("abc");
    VARIANT dest{};
    ASSERT_EQ(S_OK, VariantChangeType(&dest, &src, 0, VT_ARRAY | VT_UI1));
    ASSERT_EQ(VT_ARRAY | VT_UI1, dest.vt);
    EXPECT_EQ(1, dest.parray->cDims);
    EXPECT_EQ(3u, dest.parray->rgsabound[0].cElements);
    EXPECT_EQ(0, dest.parray->rgsabound[0].lLbound);
    EXPECT_EQ(0, std::memcmp("abc", dest.parray->pvData, 3));
    VariantClear(&dest);
    VariantClear(&src);

    // The source reaches the conversion as a text copy, so it ends at its NUL.
    src = String("a\0c", 3);
    ASSERT_EQ(S_OK, VariantChangeType(&dest, &src, 0, VT_ARRAY | VT_UI1));
    EXPECT_EQ(1u, dest.parray->rgsabound[0].cElements);
    VariantClear(&dest);
    VariantClear(&src);
}

TEST(ConvertArray, StringBecomesAByteVectorOfAllItsBytes) {
    VARIANT src = String("a\0c", 3);
    VARIANT result{};
    ASSERT_EQ(S_OK, VariantConvertArray(&result, &src, VT_ARRAY | VT_UI1));
    const SAFEARRAY* array = result.parray;
    ASSERT_NE(nullptr, array);
    EXPECT_EQ(1, array->cDims);
    EXPECT_EQ(1u, array->cbElements);
    EXPECT_EQ(FADF_INLINE_DATA | FADF_HAVEVARTYPE, array->fFeatures);
    EXPECT_EQ(3u, array->rgsabound[0].cElements);
    EXPECT_EQ(0, array->rgsabound[0].lLbound);
    EXPECT_EQ(VT_UI1, KoAtlCom::detail::ReadPrefixVartype(array));
    // The elements sit right behind the bound.
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(array) + 32, array->pvData);
    EXPECT_EQ(0, std::memcmp("a\0c", array->pvData, 3));
    result.vt = VT_ARRAY | VT_UI1;
    VariantClear(&result);
    VariantClear(&src);
}

TEST(ChangeType, NullStringBecomesAnEmptyVector) {
    VARIANT src{};
    src.vt = VT_BSTR;
    VARIANT dest{};
    ASSERT_EQ(S_OK, VariantChangeType(&dest, &src, 0, VT_ARRAY | VT_UI1));
    ASSERT_NE(nullptr, dest.parray);
    EXPECT_EQ(1, dest.parray->cDims);
    EXPECT_EQ(0u, dest.parray->rgsabound[0].cElements);
    VariantClear(&dest);
}

TEST(ChangeType, ArrayConvertsOnlyToItsOwnType) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 1, 2);
    static_cast<LONG*>(array->pvData)[1] = 77;
    VARIANT src = ArrayVariant(VT_I4, array);
    VARIANT dest{};
    ASSERT_EQ(S_OK, VariantChangeType(&dest, &src, 0, VT_ARRAY | VT_I4));
    ASSERT_NE(nullptr, dest.parray);
    EXPECT_NE(array, dest.parray);
    EXPECT_EQ(77, static_cast<LONG*>(dest.parray->pvData)[1]);
    VariantClear(&dest);

    dest = Sentinel();
    EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(&dest, &src, 0, VT_ARRAY | VT_I2));
    EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(&dest, &src, 0, VT_I4));
    EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(&dest, &src, 0, VT_BYREF | VT_ARRAY | VT_I4));
    const VARIANT scalar = Integer(VT_I4, 1);
    EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(&dest, &scalar, 0, VT_ARRAY | VT_I4));
    EXPECT_TRUE(SameBytes(Sentinel(), dest));
    VariantClear(&src);
}

// Under every failing allocation the status is E_OUTOFMEMORY, dest is
// untouched and nothing leaks; the first run that fails nothing succeeds.
void SweepChange(VARIANT (*makeSource)(), VARTYPE target) {
    SweepAllocationFailures([&](std::uint64_t nth, FailureMode mode) {
        VARIANT src = makeSource();
        VARIANT dest = Sentinel();
        HRESULT hr;
        bool fired;
        {
            AllocationFailure failure(nth, mode == FailureMode::Persistent);
            hr = VariantChangeType(&dest, &src, 0, target);
            fired = failure.Fired();
        }
        if (fired) {
            EXPECT_EQ(E_OUTOFMEMORY, hr) << nth;
            EXPECT_TRUE(SameBytes(Sentinel(), dest)) << nth;
        } else {
            EXPECT_EQ(S_OK, hr);
            EXPECT_EQ(target, dest.vt);
            VariantClear(&dest);
        }
        VariantClear(&src);
        return fired;
    });
}

TEST(ChangeType, AllocationFailuresAreReportedAndLeakNothing) {
    SweepChange([] { return String("hello"); }, VT_ARRAY | VT_UI1);
    SweepChange([] { return String("hello"); }, VT_BSTR);
    SweepChange([] { return ArrayVariant(VT_UI1, ByteArray(0, "hello", 5)); }, VT_BSTR);
    SweepChange([] { return ArrayVariant(VT_I4, SafeArrayCreateVector(VT_I4, 0, 4)); }, VT_ARRAY | VT_I4);
}

// ---------------------------------------------------------------------------
// The integer readers.

std::int64_t Signed(VARIANT v) { return VariantReadSigned(&v); }
std::uint64_t Unsigned(VARIANT v) { return VariantReadUnsigned(&v); }

TEST(ReadInteger, WidensByTypeAndGivesZeroForOthers) {
    EXPECT_EQ(-1, Signed(Integer(VT_I1, 0xFF)));
    EXPECT_EQ(-1, Signed(Integer(VT_BOOL, 0xFFFF)));
    EXPECT_EQ(-1, Signed(Integer(VT_INT, 0xFFFFFFFF)));
    EXPECT_EQ(0x7FFF, Signed(Integer(VT_I2, 0xAAAA7FFF)));
    EXPECT_EQ(0, Signed(Integer(VT_UI1, 5)));
    EXPECT_EQ(0, Signed(Integer(VT_BYREF | VT_I4, 5)));
    EXPECT_EQ(0xFFu, Unsigned(Integer(VT_UI1, 0xAAFF)));
    EXPECT_EQ(0xFFFFFFFFu, Unsigned(Integer(VT_UINT, kAllOnes)));
    EXPECT_EQ(kAllOnes, Unsigned(Integer(VT_UI8, kAllOnes)));
    EXPECT_EQ(0u, Unsigned(Integer(VT_I4, 5)));
    EXPECT_EQ(0u, Unsigned(Integer(VT_BOOL, 1)));
}

}  // namespace
