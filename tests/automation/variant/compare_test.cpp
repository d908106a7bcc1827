#include "automation/variant/compare.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "automation/automation.h"
#include "support/fault_injection.h"
#include "support/variant_values.h"

namespace {

using zentrel::test::AllocationCounter;
using zentrel::test::NameOf;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t kAllOnes = ~std::uint64_t{0};

// An operand as a test case describes it; strings are made when the case runs.
struct Operand {
    VARTYPE vt;
    std::uint64_t bits = 0;
    double real = 0;
    const char* text = nullptr;  // VT_BSTR: null gives a null string
    UINT length = 0;
};

Operand Int(VARTYPE vt, std::uint64_t bits) { return {vt, bits}; }
Operand R8(double d) { return {VT_R8, 0, d}; }
Operand R4(float f) {
    Operand o{VT_R4};
    std::memcpy(&o.bits, &f, sizeof f);
    return o;
}
Operand Str(const char* text) { return {VT_BSTR, 0, 0, text, static_cast<UINT>(std::strlen(text))}; }
Operand StrN(const char* text, UINT length) { return {VT_BSTR, 0, 0, text, length}; }
Operand NullStr() { return {VT_BSTR}; }
Operand Bool(VARIANT_BOOL b) { return Int(VT_BOOL, static_cast<std::uint16_t>(b)); }

// A variant built from an operand; it owns its string.
class Built {
public:
    explicit Built(const Operand& o) {
        v_.vt = o.vt;
        if (o.vt == VT_R8) {
            v_.dblVal = o.real;
        } else if (o.vt == VT_BSTR) {
            v_.bstrVal = o.text != nullptr ? SysAllocStringLen(o.text, o.length) : nullptr;
            if (o.text != nullptr && o.length == 0) v_.bstrVal = SysAllocString("");
        } else {
            v_.ullVal = o.bits;
        }
    }
    ~Built() {
        if (v_.vt == VT_BSTR) SysFreeString(v_.bstrVal);
    }
    Built(const Built&) = delete;
    Built& operator=(const Built&) = delete;
    const VARIANT* get() const { return &v_; }

private:
    VARIANT v_{};
};

struct Case {
    const char* name;
    Operand left;
    Operand right;
    ULONG flags;
    HRESULT expected;
};

const Case kCases[] = {
    // both signed
    {"I4m1_I8m1", Int(VT_I4, 0xFFFFFFFF), Int(VT_I8, kAllOnes), 0, VARCMP_EQ},
    {"I1min_I2_5", Int(VT_I1, 0x80), Int(VT_I2, 5), 0, VARCMP_LT},
    {"I8max_INT0", Int(VT_I8, kAllOnes >> 1), Int(VT_INT, 0), 0, VARCMP_GT},
    // left unsigned, right signed: signed 64-bit, so 2^63 and above are negative
    {"UI8max_I4_0", Int(VT_UI8, kAllOnes), Int(VT_I4, 0), 0, VARCMP_LT},
    {"UI4_1_I4m1", Int(VT_UI4, 1), Int(VT_I4, 0xFFFFFFFF), 0, VARCMP_GT},
    {"UI8max_I8m1", Int(VT_UI8, kAllOnes), Int(VT_I8, kAllOnes), 0, VARCMP_EQ},
    // left signed, right unsigned
    {"I4m1_UI4_1", Int(VT_I4, 0xFFFFFFFF), Int(VT_UI4, 1), 0, VARCMP_LT},
    {"I4_0_UI8max", Int(VT_I4, 0), Int(VT_UI8, kAllOnes), 0, VARCMP_GT},
    // both unsigned
    {"UI8max_UI4_1", Int(VT_UI8, kAllOnes), Int(VT_UI4, 1), 0, VARCMP_GT},
    {"UI1_5_UINT5", Int(VT_UI1, 5), Int(VT_UINT, 5), 0, VARCMP_EQ},
    {"UI2_1_UI8max", Int(VT_UI2, 1), Int(VT_UI8, kAllOnes), 0, VARCMP_LT},
    // both floating
    {"R4half_R8half", R4(0.5f), R8(0.5), 0, VARCMP_EQ},
    {"R8_1_R8_2", R8(1), R8(2), 0, VARCMP_LT},
    {"R8NaN_R8NaN", R8(kNaN), R8(kNaN), 0, VARCMP_GT},
    {"R8_1_R8NaN", R8(1), R8(kNaN), 0, VARCMP_GT},
    // floating with integer, on either side
    {"R8_3_I2_3", R8(3), Int(VT_I2, 3), 0, VARCMP_EQ},
    {"R8NaN_I4_0", R8(kNaN), Int(VT_I4, 0), 0, VARCMP_GT},
    {"R8_2pow64_UI8max", R8(0x1p64), Int(VT_UI8, kAllOnes), 0, VARCMP_EQ},
    {"R8m1_UI8max", R8(-1), Int(VT_UI8, kAllOnes), 0, VARCMP_LT},
    {"I2_3_R8_3", Int(VT_I2, 3), R8(3), 0, VARCMP_EQ},
    {"I4_0_R8NaN", Int(VT_I4, 0), R8(kNaN), 0, VARCMP_GT},
    {"UI8top1_R8_2pow63", Int(VT_UI8, (std::uint64_t{1} << 63) + 1), R8(0x1p63), 0, VARCMP_EQ},
    {"I8m1_R4_0", Int(VT_I8, kAllOnes), R4(0), 0, VARCMP_LT},
    // strings
    {"abc_ABC", Str("abc"), Str("ABC"), 0, VARCMP_GT},
    {"abc_ABC_nocase", Str("abc"), Str("ABC"), NORM_IGNORECASE, VARCMP_EQ},
    {"a_b_otherflags", Str("a"), Str("B"), 0xFFFFFFFE, VARCMP_GT},
    {"afterNul", StrN("a\0b", 3), StrN("a\0c", 3), 0, VARCMP_EQ},
    {"null_empty", NullStr(), Str(""), 0, VARCMP_EQ},
    {"null_a", NullStr(), Str("a"), 0, VARCMP_LT},
    // string with boolean: "true" only for exactly -1, case never matters
    {"TRUE_boolm1", Str("TRUE"), Bool(-1), 0, VARCMP_EQ},
    {"true_bool1", Str("true"), Bool(1), 0, VARCMP_GT},
    {"false_bool2", Str("False"), Bool(2), 0, VARCMP_EQ},
    {"bool0_FALSE", Bool(0), Str("FALSE"), 0, VARCMP_EQ},
    {"boolm1_zzz", Bool(-1), Str("zzz"), 0, VARCMP_LT},
    {"boolm1_null", Bool(-1), NullStr(), 0, VARCMP_GT},
    // string parsed as the partner's kind of number
    {"space12_I4_12", Str(" 12"), Int(VT_I4, 12), 0, VARCMP_EQ},
    {"12abc_I4_12", Str("12abc"), Int(VT_I4, 12), 0, VARCMP_EQ},
    {"1_I4_2", Str("1"), Int(VT_I4, 2), 0, VARCMP_LT},
    {"m1_UI4_5", Str("-1"), Int(VT_UI4, 5), 0, VARCMP_GT},
    {"2pow63_UI8", Str("9223372036854775808"), Int(VT_UI8, std::uint64_t{1} << 63), 0, VARCMP_EQ},
    {"2_5_R8", Str("2.5"), R8(2.5), 0, VARCMP_EQ},
    {"nan_R8", Str("nan"), R8(1), 0, VARCMP_GT},
    {"I4_12_space12", Int(VT_I4, 12), Str(" 12"), 0, VARCMP_EQ},
    {"I4_13_12", Int(VT_I4, 13), Str("12"), 0, VARCMP_GT},
    {"UI4_5_m1", Int(VT_UI4, 5), Str("-1"), 0, VARCMP_LT},
    {"R8NaN_1", R8(kNaN), Str("1"), 0, VARCMP_GT},
    {"R4half_half", R4(0.5f), Str("0.5"), 0, VARCMP_EQ},
    {"R8_1_2", R8(1), Str("2"), 0, VARCMP_LT},
    // pairs that cannot be compared
    {"str_empty", Str("1"), Int(VT_EMPTY, 0), 0, E_INVALIDARG},
    {"null_str", Int(VT_NULL, 0), Str("1"), 0, E_INVALIDARG},
    {"str_byrefI4", Str("1"), Int(VT_BYREF | VT_I4, 0), 0, E_INVALIDARG},
    {"str_cy", Str("1"), Int(VT_CY, 1), 0, E_INVALIDARG},
    {"bool_I4", Bool(-1), Int(VT_I4, 0xFFFFFFFF), 0, E_INVALIDARG},
    {"I4_bool", Int(VT_I4, 0), Bool(0), 0, E_INVALIDARG},
    {"bool_bool", Bool(0), Bool(0), 0, E_INVALIDARG},
    {"empty_empty", Int(VT_EMPTY, 0), Int(VT_EMPTY, 0), 0, E_INVALIDARG},
    {"null_I4", Int(VT_NULL, 0), Int(VT_I4, 0), 0, E_INVALIDARG},
    {"byrefI4_I4", Int(VT_BYREF | VT_I4, 0), Int(VT_I4, 0), 0, E_INVALIDARG},
    {"arrayI4_I4", Int(VT_ARRAY | VT_I4, 0), Int(VT_I4, 0), 0, E_INVALIDARG},
    {"cy_cy", Int(VT_CY, 1), Int(VT_CY, 1), 0, E_INVALIDARG},
    {"date_R8", Int(VT_DATE, 0), R8(0), 0, E_INVALIDARG},
    {"error_I4", Int(VT_ERROR, 0), Int(VT_I4, 0), 0, E_INVALIDARG},
    {"decimal_I4", Int(VT_DECIMAL, 0), Int(VT_I4, 0), 0, E_INVALIDARG},
    {"unknown_unknown", Int(VT_UNKNOWN, 0), Int(VT_UNKNOWN, 0), 0, E_INVALIDARG},
};

class VarCmp_Pairs : public ::testing::TestWithParam<Case> {};

TEST_P(VarCmp_Pairs, GivesTheOrderOfItsRule) {
    const Case& c = GetParam();
    const Built left(c.left);
    const Built right(c.right);
    VARIANT leftBefore = *left.get();
    VARIANT rightBefore = *right.get();
    EXPECT_EQ(c.expected, VarCmp(left.get(), right.get(), 0x409, c.flags));
    EXPECT_EQ(0, std::memcmp(&leftBefore, left.get(), sizeof(VARIANT)));
    EXPECT_EQ(0, std::memcmp(&rightBefore, right.get(), sizeof(VARIANT)));
}

INSTANTIATE_TEST_SUITE_P(Rules, VarCmp_Pairs, ::testing::ValuesIn(kCases), NameOf());

TEST(VarCmp, NullOperandGivesVarcmpNull) {
    const Built v(Int(VT_I4, 1));
    EXPECT_EQ(VARCMP_NULL, VarCmp(nullptr, v.get(), 0, 0));
    EXPECT_EQ(VARCMP_NULL, VarCmp(v.get(), nullptr, 0, 0));
    EXPECT_EQ(3, VarCmp(nullptr, nullptr, 0, 0));
}

// The parsers' two exceptions reach the caller, from either side; the operands
// are unchanged, nothing leaks (the sanitizers check) and errno is preserved.
struct Throwing {
    const char* name;
    Operand left;
    Operand right;
    bool outOfRange;
};

const Throwing kThrowing[] = {
    {"abc_I4", Str("abc"), Int(VT_I4, 1), false},
    {"I4_abc", Int(VT_I4, 1), Str("abc"), false},
    {"null_I4", NullStr(), Int(VT_I4, 1), false},
    {"empty_UI8", Str(""), Int(VT_UI8, 1), false},
    {"R8_null", R8(1), NullStr(), false},
    {"longText_R8", Str("not a number, and longer than any short-string buffer"), R8(1), false},
    {"1e400_R8", Str("1e400"), R8(1), true},
    {"R4_m1e400", R4(1), Str("-1e400"), true},
    {"big_I4", Str("99999999999999999999"), Int(VT_I4, 1), true},
    {"UI8_big", Int(VT_UI8, 1), Str("99999999999999999999"), true},
};

class VarCmp_Throws : public ::testing::TestWithParam<Throwing> {};

TEST_P(VarCmp_Throws, TheParsersExceptionPassesThrough) {
    const Throwing& c = GetParam();
    const Built left(c.left);
    const Built right(c.right);
    errno = 1234;
    if (c.outOfRange) {
        EXPECT_THROW(VarCmp(left.get(), right.get(), 0, 0), std::out_of_range);
    } else {
        EXPECT_THROW(VarCmp(left.get(), right.get(), 0, 0), std::invalid_argument);
    }
    EXPECT_EQ(c.left.vt, left.get()->vt);
    EXPECT_EQ(c.right.vt, right.get()->vt);
    EXPECT_EQ(1234, errno);
}

INSTANTIATE_TEST_SUITE_P(Parsers, VarCmp_Throws, ::testing::ValuesIn(kThrowing), NameOf());

// An ERANGE left in errno by the caller is not taken for the parser's: a valid
// number compares, and the caller's errno comes back as it was.
TEST(VarCmp, StaleRangeErrorOfTheCallerIsNotTheParsers) {
    const struct {
        Operand number;
        Operand text;
        HRESULT expected;
    } cases[] = {
        {Int(VT_I4, 5), Str("7"), VARCMP_LT},
        {Int(VT_UI8, 9), Str("7"), VARCMP_GT},
        {R8(7.5), Str("7.5"), VARCMP_EQ},
    };
    for (const auto& c : cases) {
        const Built number(c.number);
        const Built text(c.text);
        errno = ERANGE;
        HRESULT result = E_FAIL;
        EXPECT_NO_THROW(result = VarCmp(number.get(), text.get(), 0, 0)) << c.text.text;
        EXPECT_EQ(c.expected, result) << c.text.text;
        EXPECT_EQ(ERANGE, errno);
    }
}

TEST(VarCmp, NumbersAndParsedTextAllocateNothing) {
    const Built i4(Int(VT_I4, 7));
    const Built r8(R8(7.5));
    const Built ui8(Int(VT_UI8, kAllOnes));
    const Built i2(Int(VT_I2, 0xFFFF));
    const Built text(Str("  7 and a long tail that no short-string buffer would hold"));
    AllocationCounter counter;
    EXPECT_EQ(VARCMP_LT, VarCmp(i4.get(), r8.get(), 0, 0));
    EXPECT_EQ(VARCMP_EQ, VarCmp(ui8.get(), i2.get(), 0, 0));
    EXPECT_EQ(VARCMP_EQ, VarCmp(text.get(), i4.get(), 0, 0));
    EXPECT_EQ(VARCMP_LT, VarCmp(text.get(), r8.get(), 0, 0));
    EXPECT_EQ(0u, counter.Count());
}

}  // namespace
