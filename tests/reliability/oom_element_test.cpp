// The out-of-memory sweep over element access, byte vectors and prepared raw
// data.
#include <cstring>

#include "automation/automation.h"
#include "automation/safearray/bytevector.h"
#include "automation/safearray/element.h"
#include "reliability/oom_inputs.h"
#include "reliability/oom_release.h"
#include "reliability/oom_sweep.h"

namespace zentrel::test::oom {
namespace {

SAFEARRAY* const kUntouched = reinterpret_cast<SAFEARRAY*>(0x5A5A5A5A5A5A5A50);
const LONG kSecond[] = {1};  // index 1 of a vector with lower bound 0

void OutUntouched(World& w) { w.outArray = kUntouched; }

// ReleaseAll must not destroy the sentinel.
void Release(World& w) {
    if (w.outArray == kUntouched) {
        w.outArray = nullptr;
    }
    ReleaseAll(w);
}

// A byte vector holding exactly `bytes`, or, after a failure, `onFailure` in
// the out-pointer.
template <SAFEARRAY* const* onFailure>
void ByteVectorOf(World& w, const std::string& bytes, bool failed) {
    if (failed) {
        EXPECT_EQ(*onFailure, w.outArray);
        return;
    }
    ASSERT_NE(nullptr, w.outArray);
    ASSERT_NE(kUntouched, w.outArray);
    EXPECT_EQ(FADF_INLINE_DATA | FADF_HAVEVARTYPE, w.outArray->fFeatures);
    ASSERT_EQ(bytes.size(), w.outArray->rgsabound[0].cElements);
    EXPECT_EQ(0, std::memcmp(bytes.data(), w.outArray->pvData, bytes.size()));
}

SAFEARRAY* const kNull = nullptr;

void HoldsText(World& w) {
    w.str = SysAllocStringLen("with\0nul and more", 17);
    OutUntouched(w);
}

const OomCase kElementCases[] = {
    {"SafeArrayGetElement_String",
     [](World& w) {
         w.array = StringVector({"a", kLongText});
     },
     [](World& w) { return SafeArrayGetElement(w.array, kSecond, &w.outStr); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     [](World& w, HRESULT, bool failed) { EXPECT_EQ(failed ? "" : kLongText, Text(w.outStr)); },
     Release},
    {"SafeArrayGetElement_Variant",
     [](World& w) {
         const SAFEARRAYBOUND bound{2, 0};
         w.array = SafeArrayCreate(VT_VARIANT, 1, &bound);
         SetString(static_cast<VARIANT*>(w.array->pvData)[1], kLongText);
     },
     [](World& w) { return SafeArrayGetElement(w.array, kSecond, &w.out); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     [](World& w, HRESULT, bool failed) {
         EXPECT_EQ(VT_BSTR, w.out.vt);
         EXPECT_EQ(failed ? "" : kLongText, Text(w.out.bstrVal));
     },
     Release},
    // The element's old string goes first; a failed copy leaves it null.
    {"SafeArrayPutElement_String",
     [](World& w) {
         w.array = StringVector({"a", "the element's old text"});
         w.str = SysAllocString(kLongText);
     },
     [](World& w) { return SafeArrayPutElement(w.array, kSecond, &w.str); },
     {E_OUTOFMEMORY},
     Inputs::Checked,
     [](World& w, HRESULT, bool failed) {
         const BSTR element = static_cast<BSTR*>(w.array->pvData)[1];
         if (failed) {
             EXPECT_EQ(nullptr, element);
         } else {
             EXPECT_EQ(kLongText, Text(element));
             EXPECT_NE(w.str, element);
         }
         EXPECT_EQ(kLongText, Text(w.str)) << "the source string changed";
     },
     Release},
    {"SafeArrayPutElement_Variant",
     [](World& w) {
         w.array = SafeArrayCreateVector(VT_VARIANT, 0, 2);
         SetString(w.in, kLongText);
     },
     [](World& w) { return SafeArrayPutElement(w.array, kSecond, &w.in); },
     {E_OUTOFMEMORY},
     Inputs::Checked,
     [](World& w, HRESULT, bool failed) {
         const VARIANT& element = static_cast<VARIANT*>(w.array->pvData)[1];
         EXPECT_EQ(VT_BSTR, element.vt);
         EXPECT_EQ(failed ? "" : kLongText, Text(element.bstrVal));
         EXPECT_EQ(kLongText, Text(w.in.bstrVal)) << "the source variant changed";
     },
     Release},
    {"VectorFromBstr",
     HoldsText,
     [](World& w) { return VectorFromBstr(w.str, &w.outArray); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     [](World& w, HRESULT, bool failed) { ByteVectorOf<&kNull>(w, Text(w.str), failed); },
     Release},
    {"ByteVectorFromBstr",
     HoldsText,
     [](World& w) { return ByteVectorFromBstr(w.str, &w.outArray); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     [](World& w, HRESULT, bool failed) { ByteVectorOf<&kUntouched>(w, Text(w.str), failed); },
     Release},
    {"ByteVectorFromBytes",
     OutUntouched,
     [](World& w) { return ByteVectorFromBytes(kLongText, 20, &w.outArray); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     [](World& w, HRESULT, bool failed) { ByteVectorOf<&kUntouched>(w, std::string(kLongText, 20), failed); },
     Release},
    {"ByteVectorFromVariant",
     [](World& w) {
         w.in.vt = VT_ARRAY | VT_UI1;
         w.in.parray = ByteArray(kLongText, 12);
         OutUntouched(w);
     },
     [](World& w) { return ByteVectorFromVariant(&w.in, &w.outArray); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     [](World& w, HRESULT, bool failed) { ByteVectorOf<&kUntouched>(w, std::string(kLongText, 12), failed); },
     Release},
    {"BstrFromVector",
     [](World& w) { w.array = ByteArray("bytes\0kept", 10); },
     [](World& w) { return BstrFromVector(w.array, &w.outStr); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     [](World& w, HRESULT, bool failed) {
         using namespace std::string_literals;
         EXPECT_EQ(failed ? ""s : "bytes\0kept"s, Text(w.outStr));
     },
     Release},
    // A vector sized from the byte count, or an array from caller bounds.
    {"VariantPrepareRawData_Vector",
     [](World&) {},
     [](World& w) {
         ULONG size = 12;
         return VariantPrepareRawData(&w.out, VT_ARRAY | VT_I4, &size, &w.outPtr, nullptr, 0);
     },
     {E_OUTOFMEMORY, E_INVALIDARG},
     Inputs::Intact,
     [](World& w, HRESULT, bool failed) {
         EXPECT_EQ(VT_ARRAY | VT_I4, w.out.vt);
         if (failed) {
             EXPECT_EQ(nullptr, w.out.parray);
         } else {
             ASSERT_NE(nullptr, w.out.parray);
             EXPECT_EQ(w.out.parray->pvData, w.outPtr);
         }
         w.outPtr = nullptr;  // points into the array, which the variant owns
     },
     Release},
    {"VariantPrepareRawData_Bounds",
     [](World&) {},
     [](World& w) {
         const SAFEARRAYBOUND bounds[] = {{2, 0}, {3, 1}};
         ULONG size = 0;
         return VariantPrepareRawData(&w.out, VT_ARRAY | VT_R8, &size, &w.outPtr, bounds, 2);
     },
     {E_OUTOFMEMORY, E_INVALIDARG},
     Inputs::Intact,
     [](World& w, HRESULT, bool failed) {
         if (failed) {
             EXPECT_EQ(nullptr, w.out.parray);
         } else {
             ASSERT_NE(nullptr, w.out.parray);
             EXPECT_EQ(6u, SafeArrayElementCount(w.out.parray));
         }
         w.outPtr = nullptr;
     },
     Release},
};

INSTANTIATE_TEST_SUITE_P(Element, OomSweep, ::testing::ValuesIn(kElementCases), CaseName);

}  // namespace
}  // namespace zentrel::test::oom
