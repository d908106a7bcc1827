// The out-of-memory sweep over type change and what is built on it: the
// string accessors and the numeric accessors' temporary copy. (The comparison
// parses numbers in place and allocates nothing.)
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "automation/variant/accessors.h"
#include "automation/variant/convert.h"
#include "reliability/oom_inputs.h"
#include "reliability/oom_release.h"
#include "reliability/oom_sweep.h"

namespace zentrel::test::oom {
namespace {

constexpr VARTYPE kByteArray = VT_ARRAY | VT_UI1;
constexpr char kBytes[] = "bytes\0that become text";  // 23 bytes, one of them NUL

// dest starts as a plain number, so that "untouched" can be told apart.
void DestHoldsNumber(World& w) {
    w.out.vt = VT_I4;
    w.out.lVal = 42;
}

// A failed type change leaves dest as it was, or, when only the final copy
// into dest failed, cleared to the target type with a null string or array.
template <VARTYPE target>
void ChangedOrUntouched(World& w, HRESULT, bool failed, const std::string& expected) {
    if (!failed) {
        EXPECT_EQ(target, w.out.vt);
        EXPECT_EQ(expected, Value(w.out));
        return;
    }
    if (w.out.vt == VT_I4) {
        EXPECT_EQ(42, w.out.lVal);
    } else {
        EXPECT_EQ(target, w.out.vt);
        EXPECT_EQ(nullptr, w.out.byref);
    }
}

// Value() of a VT_BSTR variant holding `text`.
std::string StringValue(const char* text) {
    const VARTYPE vt = VT_BSTR;
    return std::string("variant") + std::string(reinterpret_cast<const char*>(&vt), sizeof vt) + "string " + text;
}

// The text a char* or wchar_t* accessor handed out (outPtr), or nothing.
void NarrowText(World& w, HRESULT, bool failed) {
    if (failed) {
        EXPECT_EQ(nullptr, w.outPtr);
    } else {
        ASSERT_NE(nullptr, w.outPtr);
        EXPECT_STREQ(kLongText, static_cast<const char*>(w.outPtr));
    }
}

const OomCase kConvertCases[] = {
    {"VariantChangeType_StringToString",
     [](World& w) {
         SetString(w.in, kLongText);
         DestHoldsNumber(w);
     },
     [](World& w) { return VariantChangeType(&w.out, &w.in, 0, VT_BSTR); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     [](World& w, HRESULT s, bool failed) { ChangedOrUntouched<VT_BSTR>(w, s, failed, StringValue(kLongText)); },
     ReleaseAll},
    {"VariantChangeType_BytesToString",
     [](World& w) {
         w.in.vt = kByteArray;
         w.in.parray = ByteArray(kBytes, sizeof kBytes - 1);
         DestHoldsNumber(w);
     },
     [](World& w) { return VariantChangeType(&w.out, &w.in, 0, VT_BSTR); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     [](World& w, HRESULT s, bool failed) { ChangedOrUntouched<VT_BSTR>(w, s, failed, StringValue("bytes")); },
     ReleaseAll},
    {"VariantChangeType_StringToBytes",
     [](World& w) {
         SetString(w.in, kLongText);
         DestHoldsNumber(w);
     },
     [](World& w) { return VariantChangeType(&w.out, &w.in, 0, kByteArray); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     [](World& w, HRESULT s, bool failed) {
         if (!failed) {
             ASSERT_EQ(kByteArray, w.out.vt);
             ASSERT_EQ(std::strlen(kLongText), w.out.parray->rgsabound[0].cElements);
             EXPECT_EQ(0, std::memcmp(kLongText, w.out.parray->pvData, std::strlen(kLongText)));
         } else {
             ChangedOrUntouched<kByteArray>(w, s, failed, "");
         }
     },
     ReleaseAll},
    {"VariantChangeType_ArrayToSameType",
     [](World& w) {
         w.in.vt = VT_ARRAY | VT_VARIANT;
         w.in.parray = MixedVariants(w.unknown);
         DestHoldsNumber(w);
     },
     [](World& w) { return VariantChangeType(&w.out, &w.in, 0, VT_ARRAY | VT_VARIANT); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     [](World& w, HRESULT s, bool failed) { ChangedOrUntouched<VT_ARRAY | VT_VARIANT>(w, s, failed, Value(w.in)); },
     ReleaseAll},
    // In place: the source is cleared only after the conversion succeeded.
    {"VariantChangeType_InPlace",
     [](World& w) { SetString(w.in, kLongText); },
     [](World& w) { return VariantChangeType(&w.in, &w.in, 0, kByteArray); },
     {E_OUTOFMEMORY},
     Inputs::Checked,
     [](World& w, HRESULT, bool failed) {
         if (!failed) {
             ASSERT_EQ(kByteArray, w.in.vt);
             EXPECT_EQ(std::strlen(kLongText), w.in.parray->rgsabound[0].cElements);
         } else if (w.in.vt == VT_BSTR) {
             EXPECT_EQ(kLongText, Text(w.in.bstrVal));
         } else {
             EXPECT_EQ(kByteArray, w.in.vt);
             EXPECT_EQ(nullptr, w.in.parray);
         }
     },
     ReleaseAll},
    {"VariantConvertArray_BytesToString",
     [](World& w) {
         w.in.vt = kByteArray;
         w.in.parray = ByteArray(kBytes, sizeof kBytes - 1);
     },
     [](World& w) {
         const HRESULT status = VariantConvertArray(&w.out, &w.in, VT_BSTR);
         if (SUCCEEDED(status)) w.out.vt = VT_BSTR;
         return status;
     },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     [](World& w, HRESULT, bool failed) {
         if (failed) {
             EXPECT_EQ(nullptr, w.out.bstrVal);
         } else {
             EXPECT_EQ(std::string(kBytes, sizeof kBytes - 1), Text(w.out.bstrVal));
         }
     },
     ReleaseAll},
    {"VariantConvertArray_StringToBytes",
     [](World& w) { SetString(w.in, kLongText); },
     [](World& w) {
         const HRESULT status = VariantConvertArray(&w.out, &w.in, kByteArray);
         if (SUCCEEDED(status)) w.out.vt = kByteArray;
         return status;
     },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     [](World& w, HRESULT, bool failed) {
         if (failed) {
             EXPECT_EQ(nullptr, w.out.parray);
         } else {
             EXPECT_EQ(0, std::memcmp(kLongText, w.out.parray->pvData, std::strlen(kLongText)));
         }
     },
     ReleaseAll},
    {"VariantToStringAlloc",
     [](World& w) { SetString(w.in, kLongText); },
     [](World& w) { return VariantToStringAlloc(&w.in, reinterpret_cast<char**>(&w.outPtr)); },
     {E_OUTOFMEMORY, kThrewBadAlloc},
     Inputs::Intact,
     NarrowText,
     ReleaseAll},
    {"VariantToStringAlloc_FromBytes",
     [](World& w) {
         w.in.vt = kByteArray;
         w.in.parray = ByteArray(kLongText, static_cast<ULONG>(std::strlen(kLongText)));
     },
     [](World& w) { return VariantToStringAlloc(&w.in, reinterpret_cast<char**>(&w.outPtr)); },
     {E_OUTOFMEMORY, kThrewBadAlloc},
     Inputs::Intact,
     NarrowText,
     ReleaseAll},
    {"VariantToWideStringAlloc",
     [](World& w) { SetString(w.in, "caf\xC3\xA9 and a tail of plain text"); },
     [](World& w) { return VariantToWideStringAlloc(&w.in, reinterpret_cast<wchar_t**>(&w.outPtr)); },
     {E_OUTOFMEMORY, kThrewBadAlloc},
     Inputs::Intact,
     [](World& w, HRESULT, bool failed) {
         if (failed) {
             EXPECT_EQ(nullptr, w.outPtr);
         } else {
             ASSERT_NE(nullptr, w.outPtr);
             EXPECT_STREQ(L"caf\u00E9 and a tail of plain text", static_cast<const wchar_t*>(w.outPtr));
         }
     },
     ReleaseAll},
    // The numeric accessors copy a string source into their temporary.
    {"VariantToInt32_FromString",
     [](World& w) { SetString(w.in, kLongText); },
     [](World& w) {
         std::int32_t value = 0;
         return VariantToInt32(&w.in, &value);
     },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     [](World&, HRESULT, bool) {},
     ReleaseAll},
};

INSTANTIATE_TEST_SUITE_P(Convert, OomSweep, ::testing::ValuesIn(kConvertCases), CaseName);

}  // namespace
}  // namespace zentrel::test::oom
