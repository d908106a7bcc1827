#include "automation/variant/accessors.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <gtest/gtest.h>

#include "automation/automation.h"
#include "support/fault_injection.h"
#include "support/variant_values.h"

namespace {

using zentrel::test::AllocationCounter;
using zentrel::test::AllocationFailure;
using zentrel::test::FailureMode;
using zentrel::test::Integer;
using zentrel::test::NameOf;
using zentrel::test::Real;
using zentrel::test::String;
using zentrel::test::SweepAllocationFailures;

constexpr std::uint64_t kAllOnes = ~std::uint64_t{0};
constexpr std::uint64_t kUntouched = 0xA5A5A5A5A5A5A5A5;

// One of the ten numeric accessors, seen through a common shape: the output is
// a 64-bit slot pre-filled with kUntouched, of which the accessor writes the
// low bytes.
struct Accessor {
    const char* name;
    VARTYPE wanted;
    std::size_t width;
    HRESULT (*read)(const VARIANT*, std::uint64_t*);
    HRESULT (*readNullOut)(const VARIANT*);
};

template <class T, HRESULT (*F)(const VARIANT*, T*) noexcept>
constexpr Accessor Make(const char* name, VARTYPE wanted) {
    return {name, wanted, sizeof(T),
            [](const VARIANT* v, std::uint64_t* slot) { return F(v, reinterpret_cast<T*>(slot)); },
            [](const VARIANT* v) { return F(v, nullptr); }};
}

const Accessor kAccessors[] = {
    Make<double, VariantToDouble>("Double", VT_R8),     Make<float, VariantToFloat>("Float", VT_R4),
    Make<std::int8_t, VariantToInt8>("Int8", VT_I1),    Make<std::uint8_t, VariantToUInt8>("UInt8", VT_UI1),
    Make<std::int16_t, VariantToInt16>("Int16", VT_I2), Make<std::uint16_t, VariantToUInt16>("UInt16", VT_UI2),
    Make<std::int32_t, VariantToInt32>("Int32", VT_I4), Make<std::uint32_t, VariantToUInt32>("UInt32", VT_UI4),
    Make<std::int64_t, VariantToInt64>("Int64", VT_I8), Make<std::uint64_t, VariantToUInt64>("UInt64", VT_UI8),
};

std::uint64_t WrittenPart(const Accessor& a, std::uint64_t bits) {
    return a.width == 8 ? bits : bits & ((std::uint64_t{1} << (8 * a.width)) - 1);
}
std::uint64_t UntouchedPart(const Accessor& a) { return kUntouched & ~WrittenPart(a, kAllOnes); }

class Accessor_Numeric : public ::testing::TestWithParam<Accessor> {};

TEST_P(Accessor_Numeric, WantedTypeIsReadInItsWidth) {
    const Accessor& a = GetParam();
    const VARIANT v = Integer(a.wanted, 0x8877665544332211);
    std::uint64_t slot = kUntouched;
    ASSERT_EQ(S_OK, a.read(&v, &slot));
    EXPECT_EQ(WrittenPart(a, 0x8877665544332211) | UntouchedPart(a), slot);
}

// Every other source gives exactly the value VariantChangeType gives.
TEST_P(Accessor_Numeric, OtherSourcesGiveTheTypeChangesValue) {
    const Accessor& a = GetParam();
    double referenced = -7.75;
    VARIANT byReference{};
    byReference.vt = VT_BYREF | VT_R8;
    byReference.pdblVal = &referenced;
    VARIANT sources[] = {Real(-2.9),
                         Real(3e9),
                         Real(1e300),
                         Real(-0x1p63),
                         Integer(VT_R4, 0xC0400000),  // -3.0f
                         Integer(VT_I1, 0x80),
                         Integer(VT_I4, 300),
                         Integer(VT_INT, 0xFFFFFFFF),
                         Integer(VT_UINT, 0xFFFFFFFF),
                         Integer(VT_UI8, kAllOnes),
                         Integer(VT_I8, std::uint64_t{1} << 63),
                         Integer(VT_BOOL, 0xFFFF),
                         Integer(VT_EMPTY, 0),
                         Integer(VT_CY, 99),
                         byReference,
                         String("12")};
    for (const VARIANT& v : sources) {
        if (v.vt == a.wanted) continue;
        VARIANT changed{};
        ASSERT_EQ(S_OK, VariantChangeType(&changed, &v, 0, a.wanted)) << v.vt;
        std::uint64_t slot = kUntouched;
        ASSERT_EQ(S_OK, a.read(&v, &slot)) << v.vt;
        EXPECT_EQ(WrittenPart(a, changed.ullVal) | UntouchedPart(a), slot) << "source vt " << v.vt;
        VariantClear(&changed);
    }
    VariantClear(&sources[15]);
}

TEST_P(Accessor_Numeric, FailureLeavesTheOutputAlone) {
    const Accessor& a = GetParam();
    SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, 1);
    VARIANT arrayVariant{};
    arrayVariant.vt = VT_ARRAY | VT_I4;
    arrayVariant.parray = array;
    std::uint64_t slot = kUntouched;
    EXPECT_EQ(DISP_E_TYPEMISMATCH, a.read(&arrayVariant, &slot));
    const VARIANT invalid = Integer(VT_INT_PTR, 1);
    EXPECT_EQ(DISP_E_BADVARTYPE, a.read(&invalid, &slot));
    VARIANT nullReference{};
    nullReference.vt = VT_BYREF | VT_I4;
    EXPECT_EQ(DISP_E_TYPEMISMATCH, a.read(&nullReference, &slot));
    EXPECT_EQ(kUntouched, slot);
    VariantClear(&arrayVariant);
}

TEST_P(Accessor_Numeric, NullPointersAreRefused) {
    const Accessor& a = GetParam();
    const VARIANT v = Integer(a.wanted, 1);
    EXPECT_EQ(E_POINTER, a.readNullOut(&v));
    std::uint64_t slot = kUntouched;
    EXPECT_EQ(E_INVALIDARG, a.read(nullptr, &slot));
    EXPECT_EQ(kUntouched, slot);
}

TEST_P(Accessor_Numeric, NumbersAllocateNothing) {
    const Accessor& a = GetParam();
    std::int32_t referenced = 5;
    VARIANT byReference{};
    byReference.vt = VT_BYREF | VT_I4;
    byReference.plVal = &referenced;
    const VARIANT sources[] = {Integer(a.wanted, 1), Real(-2.9), Integer(VT_UI8, kAllOnes), Integer(VT_BOOL, 1),
                               byReference};
    std::uint64_t slot = 0;
    AllocationCounter counter;
    for (const VARIANT& v : sources) EXPECT_EQ(S_OK, a.read(&v, &slot));
    EXPECT_EQ(0u, counter.Count());
}

INSTANTIATE_TEST_SUITE_P(All, Accessor_Numeric, ::testing::ValuesIn(kAccessors), NameOf());

TEST(Accessor, NumericExamples) {
    std::int32_t i32 = 0;
    VARIANT v = Integer(VT_INT, 7);
    EXPECT_EQ(S_OK, VariantToInt32(&v, &i32));
    EXPECT_EQ(7, i32);
    v = Real(-2.9);
    EXPECT_EQ(S_OK, VariantToInt32(&v, &i32));
    EXPECT_EQ(-2, i32);
    std::uint8_t u8 = 0;
    v = Integer(VT_I4, 300);
    EXPECT_EQ(S_OK, VariantToUInt8(&v, &u8));
    EXPECT_EQ(44, u8);
    std::int16_t i16 = 0;
    v = Integer(VT_UI2, 65535);
    EXPECT_EQ(S_OK, VariantToInt16(&v, &i16));
    EXPECT_EQ(-1, i16);
    std::int32_t five = 5;
    v = VARIANT{};
    v.vt = VT_BYREF | VT_I4;
    v.plVal = &five;
    double d = 0;
    EXPECT_EQ(S_OK, VariantToDouble(&v, &d));
    EXPECT_EQ(5.0, d);
    // No text is parsed: the value does not come from "12".
    v = String("12");
    i32 = 99;
    EXPECT_EQ(S_OK, VariantToInt32(&v, &i32));
    EXPECT_EQ(0, i32);
    VariantClear(&v);
}

// ---------------------------------------------------------------------------
// String accessors.

TEST(StringAlloc, CopiesTheTextIntoAMallocBlock) {
    VARIANT v = String("abc");
    char* out = reinterpret_cast<char*>(0x1);
    ASSERT_EQ(S_OK, VariantToStringAlloc(&v, &out));
    ASSERT_NE(nullptr, out);
    EXPECT_EQ(0, std::memcmp("abc", out, 4));
    std::free(out);
    VariantClear(&v);
}

TEST(StringAlloc, EmptyOrNullTextGivesNoBlock) {
    VARIANT empty{};
    empty.vt = VT_BSTR;
    empty.bstrVal = SysAllocString("");
    VARIANT null{};
    null.vt = VT_BSTR;
    VARIANT leadingNul = String("\0abc", 4);
    for (VARIANT* v : {&empty, &null, &leadingNul}) {
        char* out = reinterpret_cast<char*>(0x1);
        EXPECT_EQ(S_OK, VariantToStringAlloc(v, &out));
        EXPECT_EQ(nullptr, out);
        wchar_t* wide = reinterpret_cast<wchar_t*>(0x1);
        EXPECT_EQ(S_OK, VariantToWideStringAlloc(v, &wide));
        EXPECT_EQ(nullptr, wide);
    }
    VariantClear(&empty);
    VariantClear(&leadingNul);
}

TEST(StringAlloc, ByteArraysGiveTheirTextUpToTheFirstZero) {
    for (const auto& [bytes, count, expected] :
         {std::tuple<const char*, ULONG, const char*>{"hi", 2, "hi"}, {"h\0i", 3, "h"}}) {
        VARIANT v{};
        v.vt = VT_ARRAY | VT_UI1;
        v.parray = SafeArrayCreateVector(VT_UI1, 0, count);
        std::memcpy(v.parray->pvData, bytes, count);
        char* out = nullptr;
        ASSERT_EQ(S_OK, VariantToStringAlloc(&v, &out));
        EXPECT_STREQ(expected, out);
        std::free(out);
        VariantClear(&v);
    }
}

TEST(StringAlloc, ByReferenceStringIsRead) {
    BSTR text = SysAllocString("ref");
    VARIANT v{};
    v.vt = VT_BYREF | VT_BSTR;
    v.pbstrVal = &text;
    char* out = nullptr;
    ASSERT_EQ(S_OK, VariantToStringAlloc(&v, &out));
    EXPECT_STREQ("ref", out);
    std::free(out);
    SysFreeString(text);
}

TEST(StringAlloc, NothingIsFormattedAsText) {
    const VARIANT sources[] = {Integer(VT_I4, 12), Integer(VT_BOOL, 0xFFFF), Real(1.5), Integer(VT_EMPTY, 0)};
    for (const VARIANT& v : sources) {
        char* out = reinterpret_cast<char*>(0x1);
        EXPECT_EQ(E_NOTIMPL, VariantToStringAlloc(&v, &out));
        EXPECT_EQ(nullptr, out);
        wchar_t* wide = reinterpret_cast<wchar_t*>(0x1);
        EXPECT_EQ(E_NOTIMPL, VariantToWideStringAlloc(&v, &wide));
        EXPECT_EQ(nullptr, wide);
    }
    VARIANT ints{};
    ints.vt = VT_ARRAY | VT_I4;
    ints.parray = SafeArrayCreateVector(VT_I4, 0, 1);
    char* out = reinterpret_cast<char*>(0x1);
    EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantToStringAlloc(&ints, &out));
    EXPECT_EQ(nullptr, out);
    VariantClear(&ints);
}

TEST(StringAlloc, NullResultAddressIsRefusedWithoutTouchingTheVariant) {
    VARIANT v = String("abc");
    const BSTR text = v.bstrVal;
    EXPECT_EQ(E_POINTER, VariantToStringAlloc(&v, nullptr));
    EXPECT_EQ(E_POINTER, VariantToWideStringAlloc(&v, nullptr));
    EXPECT_EQ(VT_BSTR, v.vt);
    EXPECT_EQ(text, v.bstrVal);
    VariantClear(&v);
}

TEST(WideStringAlloc, DecodesUtf8) {
    VARIANT v = String("\xC3\xA9");
    wchar_t* out = nullptr;
    ASSERT_EQ(S_OK, VariantToWideStringAlloc(&v, &out));
    ASSERT_NE(nullptr, out);
    EXPECT_EQ(0xE9, static_cast<int>(out[0]));
    EXPECT_EQ(0, static_cast<int>(out[1]));
    std::free(out);
    VariantClear(&v);
}

TEST(WideStringAlloc, DecodedNulEndsTheTextAndTheRestIsZero) {
    VARIANT v = String(
        "a\xC0\x80"
        "b");  // an over-long form of U+0000
    wchar_t* out = nullptr;
    ASSERT_EQ(S_OK, VariantToWideStringAlloc(&v, &out));
    ASSERT_NE(nullptr, out);
    const wchar_t expected[4] = {L'a', 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(expected, out, sizeof expected));
    std::free(out);
    VariantClear(&v);
}

// Every failing allocation: E_OUTOFMEMORY (or, for the standard strings of
// the wide accessor, std::bad_alloc) with a null result; nothing leaks.
template <class Char, class Call>
void SweepStringAccessor(Call call) {
    SweepAllocationFailures([&](std::uint64_t nth, FailureMode mode) {
        VARIANT v = String("h\xC3\xA9llo, a text longer than a short-string buffer");
        Char* out = reinterpret_cast<Char*>(0x1);
        HRESULT hr = S_OK;
        bool threw = false;
        bool fired;
        {
            AllocationFailure failure(nth, mode == FailureMode::Persistent);
            try {
                hr = call(&v, &out);
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            fired = failure.Fired();
        }
        if (fired) {
            if (!threw) {
                EXPECT_EQ(E_OUTOFMEMORY, hr) << nth;
            }
            EXPECT_EQ(nullptr, out) << nth;
        } else {
            EXPECT_FALSE(threw);
            EXPECT_EQ(S_OK, hr);
            EXPECT_NE(nullptr, out);
            std::free(out);
        }
        EXPECT_EQ(VT_BSTR, v.vt);
        VariantClear(&v);
        return fired;
    });
}

TEST(StringAlloc, AllocationFailuresLeaveNothing) {
    SweepStringAccessor<char>([](const VARIANT* v, char** out) { return VariantToStringAlloc(v, out); });
    SweepStringAccessor<wchar_t>([](const VARIANT* v, wchar_t** out) { return VariantToWideStringAlloc(v, out); });
}

// ---------------------------------------------------------------------------
// VariantToIntegerOrString.

struct IntegerCase {
    const char* name;
    VARTYPE vt;
    std::uint64_t bits;
    std::uint64_t expected;
};

const IntegerCase kIntegerCases[] = {
    {"I2", VT_I2, 0xFFFB, 0xFFFFFFFFFFFFFFFB},
    {"I4", VT_I4, 0x80000000, 0xFFFFFFFF80000000},
    {"INT", VT_INT, 0xFFFFFFFF, kAllOnes},
    {"UI2", VT_UI2, 0xFFFB, 0xFFFB},
    {"UI4", VT_UI4, 0x80000000, 0x80000000},
    {"UINT", VT_UINT, 0xFFFFFFFF, 0xFFFFFFFF},
    // accepted, nothing written
    {"I1", VT_I1, 0xFF, 0},
    {"UI1", VT_UI1, 0xFF, 0},
    {"I8", VT_I8, 5, 0},
    {"UI8", VT_UI8, 5, 0},
    {"BOOL", VT_BOOL, 0xFFFF, 0},
    {"R8", VT_R8, 0x3FF0000000000000, 0},
    {"EMPTY", VT_EMPTY, 0, 0},
    {"ARRAY_I4", VT_ARRAY | VT_I4, 0, 0},
};

class IntegerOrString_Types : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(IntegerOrString_Types, DirectAndByReference) {
    const IntegerCase& c = GetParam();
    char text[] = "text";
    for (bool byReference : {false, true}) {
        std::uint64_t value = c.bits | 0xAAAAAAAA00000000 * (c.vt == VT_I2 || c.vt == VT_UI2);
        VARIANT v = Integer(c.vt, value);
        if (byReference) {
            if ((c.vt & VT_ARRAY) != 0) continue;
            v.vt |= VT_BYREF;
            v.byref = &value;
        }
        std::uint64_t integer = 0;
        BSTR string = text;
        ASSERT_EQ(S_OK, VariantToIntegerOrString(&v, &integer, &string));
        EXPECT_EQ(c.expected, integer) << (byReference ? "by reference" : "direct");
        EXPECT_EQ(text, string);
    }
}

INSTANTIATE_TEST_SUITE_P(All, IntegerOrString_Types, ::testing::ValuesIn(kIntegerCases), NameOf());

TEST(IntegerOrString, StringIsHandedOutWithoutACopy) {
    VARIANT v = String("abc");
    char text[] = "text";
    std::uint64_t integer = 0;
    BSTR string = text;
    ASSERT_EQ(S_OK, VariantToIntegerOrString(&v, &integer, &string));
    EXPECT_EQ(v.bstrVal, string);
    EXPECT_EQ(0u, integer);

    VARIANT reference{};
    reference.vt = VT_BYREF | VT_BSTR;
    reference.pbstrVal = &v.bstrVal;
    string = text;
    ASSERT_EQ(S_OK, VariantToIntegerOrString(&reference, &integer, &string));
    EXPECT_EQ(v.bstrVal, string);
    VariantClear(&v);
}

TEST(IntegerOrString, SlotsMustHoldTheirEntryValues) {
    const VARIANT v = Integer(VT_I4, 5);
    char text[] = "text";
    std::uint64_t integer = 1;
    BSTR string = text;
    EXPECT_EQ(E_INVALIDARG, VariantToIntegerOrString(&v, &integer, &string));
    EXPECT_EQ(1u, integer);
    integer = 0;
    string = nullptr;
    EXPECT_EQ(E_INVALIDARG, VariantToIntegerOrString(&v, &integer, &string));
    EXPECT_EQ(0u, integer);
    EXPECT_EQ(nullptr, string);
    EXPECT_EQ(E_INVALIDARG, VariantToIntegerOrString(&v, nullptr, &string));
    string = text;
    EXPECT_EQ(E_INVALIDARG, VariantToIntegerOrString(&v, &integer, nullptr));
    EXPECT_EQ(E_INVALIDARG, VariantToIntegerOrString(nullptr, &integer, &string));
    VARIANT nullReference{};
    nullReference.vt = VT_BYREF | VT_I4;
    EXPECT_EQ(E_INVALIDARG, VariantToIntegerOrString(&nullReference, &integer, &string));
    EXPECT_EQ(0u, integer);
}

}  // namespace
