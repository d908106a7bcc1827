// The out-of-memory sweep over variant copies: strings, arrays of any depth and
// interface references, directly and through one reference level.
#include "automation/variant/lifecycle.h"
#include "reliability/oom_inputs.h"
#include "reliability/oom_release.h"
#include "reliability/oom_sweep.h"

namespace zentrel::test::oom {
namespace {

// dest is a faithful copy of `expected` after success. After a failure it has
// the source's type with a null string or array (a copy never shares the
// source's storage).
void CopiedOrEmptied(const VARIANT& dest, const VARIANT& expected, bool failed) {
    if (!failed) {
        EXPECT_EQ(Value(expected), Value(dest));
        return;
    }
    EXPECT_EQ(expected.vt, dest.vt);
    EXPECT_EQ(nullptr, dest.byref) << "a failed copy holds no string or array";
}

void CopyOfIn(World& w, HRESULT, bool failed) { CopiedOrEmptied(w.out, w.in, failed); }
void CopyOfIn2(World& w, HRESULT, bool failed) { CopiedOrEmptied(w.out, w.in2, failed); }

HRESULT CopyInToOut(World& w) { return VariantCopy(&w.out, &w.in); }
HRESULT CopyIndInToOut(World& w) { return VariantCopyInd(&w.out, &w.in); }

// dest already holds something that the copy must release first.
void HoldsOldString(World& w) { SetString(w.out, "the destination's old string"); }

const OomCase kVariantCases[] = {
    {"VariantCopy_String",
     [](World& w) {
         SetString(w.in, kLongText);
         HoldsOldString(w);
     },
     CopyInToOut,
     {E_OUTOFMEMORY},
     Inputs::Intact,
     CopyOfIn,
     ReleaseAll},
    {"VariantCopy_ArrayOfStrings",
     [](World& w) {
         w.in.vt = VT_ARRAY | VT_BSTR;
         w.in.parray = StringMatrix();
         HoldsOldString(w);
     },
     CopyInToOut,
     {E_OUTOFMEMORY},
     Inputs::Intact,
     CopyOfIn,
     ReleaseAll},
    {"VariantCopy_NestedVariants",
     [](World& w) {
         w.in.vt = VT_ARRAY | VT_VARIANT;
         w.in.parray = MixedVariants(w.unknown);
     },
     CopyInToOut,
     {E_OUTOFMEMORY},
     Inputs::Intact,
     CopyOfIn,
     ReleaseAll},
    {"VariantCopyInd_ReferencedString",
     [](World& w) {
         w.str = SysAllocString(kLongText);
         w.in.vt = VT_BYREF | VT_BSTR;
         w.in.pbstrVal = &w.str;
         w.in2.vt = VT_BSTR;  // what the copy must look like
         w.in2.bstrVal = SysAllocString(kLongText);
     },
     CopyIndInToOut,
     {E_OUTOFMEMORY},
     Inputs::Intact,
     CopyOfIn2,
     ReleaseAll},
    {"VariantCopyInd_ReferencedArray",
     [](World& w) {
         w.array = StringMatrix();
         w.in.vt = VT_BYREF | VT_ARRAY | VT_BSTR;
         w.in.pparray = &w.array;
     },
     CopyIndInToOut,
     {E_OUTOFMEMORY},
     Inputs::Intact,
     [](World& w, HRESULT, bool failed) {
         EXPECT_EQ(VT_ARRAY | VT_BSTR, w.out.vt);
         if (failed) {
             EXPECT_EQ(nullptr, w.out.parray);
         } else {
             EXPECT_EQ(Value(w.array), Value(w.out.parray));
         }
     },
     ReleaseAll},
    {"VariantCopyInd_ReferencedVariant",
     [](World& w) {
         w.in2.vt = VT_ARRAY | VT_VARIANT;
         w.in2.parray = MixedVariants(w.unknown);
         w.in.vt = VT_BYREF | VT_VARIANT;
         w.in.pvarVal = &w.in2;
     },
     CopyIndInToOut,
     {E_OUTOFMEMORY},
     Inputs::Intact,
     CopyOfIn2,
     ReleaseAll},
    // In place: the record turns from a reference into a copy of the string.
    {"VariantCopyInd_InPlace",
     [](World& w) {
         w.str = SysAllocString(kLongText);
         w.in.vt = VT_BYREF | VT_BSTR;
         w.in.pbstrVal = &w.str;
     },
     [](World& w) { return VariantCopyInd(&w.in, &w.in); },
     {E_OUTOFMEMORY},
     Inputs::Checked,
     [](World& w, HRESULT, bool failed) {
         EXPECT_EQ(VT_BSTR, w.in.vt);
         EXPECT_EQ(failed ? "" : kLongText, Text(w.in.bstrVal));
         EXPECT_NE(w.str, w.in.bstrVal);
         EXPECT_EQ(kLongText, Text(w.str)) << "the referenced string changed";
     },
     ReleaseAll},
};

INSTANTIATE_TEST_SUITE_P(Variant, OomSweep, ::testing::ValuesIn(kVariantCases), CaseName);

}  // namespace
}  // namespace zentrel::test::oom
