#include "automation/strings/guid_text.h"
#include "automation/automation.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "automation/safearray/safearray.h"
#include "automation/strings/bstr.h"
#include "support/variant_values.h"

namespace {

using zentrel::test::Typed;

using namespace std::string_literals;

constexpr GUID kSentinel = {0xA5A5A5A5, 0xA5A5, 0xA5A5, {0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5}};
constexpr GUID kSample = {0x01234567, 0x89AB, 0xCDEF, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};
constexpr const char* kSampleText = "{01234567-89AB-CDEF-FEDC-BA9876543210}";

std::string Format(const GUID& guid) {
    char buffer[39];
    EXPECT_EQ(StringFromGUID2(guid, buffer, sizeof buffer), 39);
    return std::string(buffer);
}

TEST(StringFromGUID2, WritesBracedUpperCaseTextAndNothingMore) {
    char buffer[48];
    std::memset(buffer, 0x7E, sizeof buffer);
    EXPECT_EQ(StringFromGUID2(kSample, buffer, 39), 39);
    EXPECT_EQ(std::string(buffer, 39), kSampleText + "\0"s);
    for (std::size_t i = 39; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], 0x7E) << "byte " << i;
    EXPECT_EQ(Format(IID_IUnknown), "{00000000-0000-0000-C000-000000000046}");
    EXPECT_EQ(Format(IID_IErrorInfo), "{1CF2B120-547D-101B-8E65-08002B2BD119}");
}

TEST(StringFromGUID2, SmallCapacityLeavesBufferUntouched) {
    for (int capacity : {38, 0, -1, -39}) {
        char buffer[39];
        std::memset(buffer, 0x7E, sizeof buffer);
        EXPECT_EQ(StringFromGUID2(kSample, buffer, capacity), 0) << capacity;
        for (char c : buffer) ASSERT_EQ(c, 0x7E) << capacity;
    }
}

TEST(StringFromGUID2, NullBufferFails) { EXPECT_EQ(StringFromGUID2(kSample, nullptr, 39), 0); }

TEST(GUIDFromString, NullOrEmptyTextGivesZeroGuid) {
    for (const char* text : {static_cast<const char*>(nullptr), ""}) {
        GUID guid = kSentinel;
        EXPECT_TRUE(GUIDFromString(text, &guid));
        EXPECT_EQ(guid, GUID{});
        EXPECT_FALSE(GUIDFromString(text, nullptr));
    }
}

TEST(GUIDFromString, NullGuidFailsForValidText) { EXPECT_FALSE(GUIDFromString(kSampleText, nullptr)); }

TEST(GUIDFromString, AcceptsBothFormsAndEitherCase) {
    for (const char* text : {"00000000-0000-0000-c000-000000000046", "{00000000-0000-0000-C000-000000000046}",
                             "{00000000-0000-0000-c000-000000000046}"}) {
        GUID guid = kSentinel;
        EXPECT_TRUE(GUIDFromString(text, &guid)) << text;
        EXPECT_EQ(guid, IID_IUnknown) << text;
    }
    for (const char* text : {"01234567-89ab-cdef-fedc-ba9876543210", "01234567-89Ab-cDeF-FeDc-bA9876543210"}) {
        GUID guid = kSentinel;
        EXPECT_TRUE(GUIDFromString(text, &guid)) << text;
        EXPECT_EQ(guid, kSample) << text;
    }
}

class GUIDFromStringRejects : public ::testing::TestWithParam<std::string> {};

TEST_P(GUIDFromStringRejects, LeavesGuidUntouched) {
    GUID guid = kSentinel;
    EXPECT_FALSE(GUIDFromString(GetParam().c_str(), &guid));
    EXPECT_EQ(guid, kSentinel);
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, GUIDFromStringRejects,
    ::testing::Values("{00000000-0000-0000-C000-000000000046",       // no closing brace (37)
                      "{00000000-0000-0000-C000-000000000046)",      // wrong closing character
                      "{00000000-0000-0000-C000-000000000046}}",     // 39 characters
                      "{00000000-0000-0000-C000-0000000000}",        // braced but 36
                      "00000000-0000-0000-C000-000000000046}",       // 37, no opening brace
                      "00000000-0000-0000-C000-000000000046  ",      // 38 without a brace
                      "00000000-0000-0000-C000-000000000046 ",       // trailing space
                      " 00000000-0000-0000-C000-000000000046",       // leading space
                      "0000000-00000-0000-C000-000000000046",        // first dash moved left
                      "000000000-000-0000-C000-000000000046",        // first dash moved right
                      "00000000-0000-00000-000-000000000046",        // third dash moved
                      "00000000-0000-0000-C0000-00000000046",        // fourth dash moved
                      "00000000+0000-0000-C000-000000000046",        // not a dash
                      "G0000000-0000-0000-C000-000000000046",        // G
                      "00000000-0000-0000-C000-00000000004g",        // g, last position
                      "00000000-0000-000`-C000-000000000046",        // grave accent (0x60)
                      "00000000-0000-0000-C@00-000000000046",        // '@' just below 'A'
                      "00000000-0000-0000-C000-00000000004:",        // ':' just above '9'
                      "0000000/-0000-0000-C000-000000000046",        // '/' just below '0'
                      "0000000\xB0-0000-0000-C000-000000000046",     // '0' with the top bit set
                      "00000000-0000-0000-C000-0000000000\xE6\xC6",  // 'f', 'F' with the top bit set
                      "00000000-0000-0000-C000-0000000000-6",        // dash among digits
                      "000000000000000000000000000000000000",        // no dashes
                      "0", "{", "{}", "-", "\xC3\xA9"));

TEST(GUIDFromString, StopsAtEmbeddedNul) {
    const std::string text = "01234567-89AB-CDEF-FEDC-BA9876543210"s + '\0' + "junk";
    GUID guid = kSentinel;
    EXPECT_TRUE(GUIDFromString(text.c_str(), &guid));
    EXPECT_EQ(guid, kSample);
    const std::string cut = "01234567-89AB-CDEF-FEDC-BA98765432"s + '\0' + "10";
    guid = kSentinel;
    EXPECT_FALSE(GUIDFromString(cut.c_str(), &guid));
    EXPECT_EQ(guid, kSentinel);
}

// Every prefix of a valid text, each in a block of exactly its own size, so
// that the sanitizer build reports any read past the terminator.
TEST(GUIDFromString, NeverReadsPastTheTerminator) {
    const std::string full = kSampleText;
    for (std::size_t begin : {0u, 1u}) {
        for (std::size_t n = 1; n + begin <= full.size(); ++n) {
            auto text = std::make_unique<char[]>(n + 1);
            std::memcpy(text.get(), full.data() + begin, n);
            text[n] = '\0';
            GUID guid = kSentinel;
            const bool accepted = GUIDFromString(text.get(), &guid);
            EXPECT_EQ(accepted, n == (begin == 0 ? 38u : 36u)) << text.get();
        }
    }
}

TEST(GUIDText, RoundTripsManyGuids) {
    std::mt19937_64 random(20240611);
    for (int i = 0; i < 20000; ++i) {
        GUID guid;
        const std::uint64_t words[2] = {random(), random()};
        std::memcpy(&guid, words, sizeof guid);
        if (i == 0) guid = GUID{};
        if (i == 1) std::memset(&guid, 0xFF, sizeof guid);
        const std::string text = Format(guid);
        ASSERT_EQ(text.size(), 38u);
        for (char c : text) ASSERT_FALSE(std::islower(static_cast<unsigned char>(c))) << text;
        GUID parsed = kSentinel;
        ASSERT_TRUE(GUIDFromString(text.c_str(), &parsed)) << text;
        ASSERT_EQ(parsed, guid) << text;
        const std::string bare = text.substr(1, 36);
        parsed = kSentinel;
        ASSERT_TRUE(GUIDFromString(bare.c_str(), &parsed)) << bare;
        ASSERT_EQ(parsed, guid) << bare;
    }
}

// --- VariantToGUID -----------------------------------------------------------

// A one-dimensional byte array descriptor with `count` elements over `data`.
SAFEARRAY ByteArray(ULONG count, void* data, USHORT dims = 1) {
    SAFEARRAY array{};
    array.cDims = dims;
    array.cbElements = 1;
    array.pvData = data;
    array.rgsabound[0] = {count, 0};
    return array;
}

TEST(VariantToGUID, ParsesBstrAsNulTerminatedText) {
    VARIANT v = Typed(VT_BSTR);
    const std::string withTail = kSampleText + "\0tail"s;
    v.bstrVal = SysAllocStringLen(withTail.data(), static_cast<UINT>(withTail.size()));
    GUID guid = kSentinel;
    EXPECT_EQ(VariantToGUID(&v, &guid), S_OK);
    EXPECT_EQ(guid, kSample);
    SysFreeString(v.bstrVal);

    v.bstrVal = SysAllocString("not a guid");
    guid = kSentinel;
    EXPECT_EQ(VariantToGUID(&v, &guid), E_FAIL);
    EXPECT_EQ(guid, kSentinel);
    EXPECT_EQ(VariantToGUID(&v, nullptr), E_FAIL);
    SysFreeString(v.bstrVal);
}

TEST(VariantToGUID, NullEmptyOrNulLeadingBstrGivesZeroGuid) {
    VARIANT v = Typed(VT_BSTR);
    BSTR strings[] = {nullptr, SysAllocString(""), SysAllocStringLen(kSampleText, 0),
                      SysAllocStringLen(("\0"s + kSampleText).data(), 39)};
    for (BSTR s : strings) {
        v.bstrVal = s;
        GUID guid = kSentinel;
        EXPECT_EQ(VariantToGUID(&v, &guid), S_OK);
        EXPECT_EQ(guid, GUID{});
        SysFreeString(s);
    }
}

TEST(VariantToGUID, CopiesClsid) {
    VARIANT v = Typed(VT_CLSID);
    GUID source = kSample;
    v.byref = &source;
    GUID guid = kSentinel;
    EXPECT_EQ(VariantToGUID(&v, &guid), S_OK);
    EXPECT_EQ(guid, kSample);
}

TEST(VariantToGUID, CopiesSixteenByteArray) {
    unsigned char bytes[16];
    std::memcpy(bytes, &kSample, sizeof bytes);
    SAFEARRAY array = ByteArray(16, bytes);
    array.rgsabound[0].lLbound = -7;  // the lower bound plays no part
    VARIANT v = Typed(VT_ARRAY | VT_UI1);
    v.parray = &array;
    GUID guid = kSentinel;
    EXPECT_EQ(VariantToGUID(&v, &guid), S_OK);
    EXPECT_EQ(guid, kSample);
}

TEST(VariantToGUID, RejectsMalformedArrays) {
    unsigned char bytes[32] = {};
    SAFEARRAY arrays[] = {ByteArray(15, bytes), ByteArray(17, bytes), ByteArray(16, bytes, 2), ByteArray(16, bytes, 0),
                          ByteArray(16, nullptr)};
    VARIANT v = Typed(VT_ARRAY | VT_UI1);
    for (SAFEARRAY& array : arrays) {
        v.parray = &array;
        GUID guid = kSentinel;
        EXPECT_EQ(VariantToGUID(&v, &guid), E_INVALIDARG);
        EXPECT_EQ(guid, kSentinel);
    }
    v.parray = nullptr;
    GUID guid = kSentinel;
    EXPECT_EQ(VariantToGUID(&v, &guid), E_INVALIDARG);
    EXPECT_EQ(guid, kSentinel);
}

struct TypeCase {
    VARTYPE vt;
    HRESULT expected;
};

class VariantToGUIDType : public ::testing::TestWithParam<TypeCase> {};

TEST_P(VariantToGUIDType, RefusesWithoutWriting) {
    GUID source = kSample;
    VARIANT v = Typed(GetParam().vt);
    v.byref = &source;  // a plausible pointer for the BYREF forms
    GUID guid = kSentinel;
    EXPECT_EQ(VariantToGUID(&v, &guid), GetParam().expected);
    EXPECT_EQ(guid, kSentinel);
}

INSTANTIATE_TEST_SUITE_P(Types, VariantToGUIDType,
                         ::testing::Values(TypeCase{VT_LPWSTR, E_NOTIMPL}, TypeCase{VT_I4, E_INVALIDARG},
                                           TypeCase{VT_EMPTY, E_INVALIDARG}, TypeCase{VT_UI1, E_INVALIDARG},
                                           TypeCase{VT_BYREF | VT_CLSID, E_INVALIDARG},
                                           TypeCase{VT_BYREF | VT_BSTR, E_INVALIDARG},
                                           TypeCase{VT_ARRAY | VT_I1, E_INVALIDARG},
                                           TypeCase{VT_BYREF | VT_ARRAY | VT_UI1, E_INVALIDARG},
                                           TypeCase{VT_VECTOR | VT_UI1, E_INVALIDARG}));

TEST(VariantToGUID, NullArgumentsOnCopyPathsAreRefused) {
    GUID source = kSample;
    VARIANT v = Typed(VT_CLSID);
    v.byref = &source;
    EXPECT_EQ(VariantToGUID(&v, nullptr), E_INVALIDARG);
    v.byref = nullptr;
    GUID guid = kSentinel;
    EXPECT_EQ(VariantToGUID(&v, &guid), E_INVALIDARG);
    EXPECT_EQ(guid, kSentinel);

    unsigned char bytes[16] = {};
    SAFEARRAY array = ByteArray(16, bytes);
    v = Typed(VT_ARRAY | VT_UI1);
    v.parray = &array;
    EXPECT_EQ(VariantToGUID(&v, nullptr), E_INVALIDARG);
    EXPECT_EQ(VariantToGUID(nullptr, &guid), E_INVALIDARG);
    EXPECT_EQ(guid, kSentinel);
}

}  // namespace
