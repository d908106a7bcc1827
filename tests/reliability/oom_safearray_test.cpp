// The out-of-memory sweep over array descriptors, creation, copy and resize.
#include <cstdlib>

#include "automation/automation.h"
#include "automation/safearray/create.h"
#include "automation/safearray/data.h"
#include "automation/safearray/descriptor.h"
#include "automation/safearray/resize.h"
#include "automation/safearray/safearray.h"
#include "reliability/oom_inputs.h"
#include "reliability/oom_release.h"
#include "reliability/oom_sweep.h"

namespace zentrel::test::oom {
namespace {

// The out-pointer of the descriptor allocators keeps this after a failure.
SAFEARRAY* const kUntouched = reinterpret_cast<SAFEARRAY*>(0x5A5A5A5A5A5A5A50);

HRESULT StatusOf(SAFEARRAY* made) { return made != nullptr ? S_OK : E_OUTOFMEMORY; }

void NoInputs(World&) {}
void OutUntouched(World& w) { w.outArray = kUntouched; }

// A bare descriptor's fields are the caller's to fill, so it is freed as the
// block it is, not destroyed as an array.
void FreeDescriptor(World& w) {
    if (w.outArray != nullptr && w.outArray != kUntouched) {
        std::free(reinterpret_cast<unsigned char*>(w.outArray) - 16);
    }
    w.outArray = nullptr;
    ReleaseAll(w);
}

void DescriptorOrUntouched(World& w, HRESULT, bool failed) {
    if (failed) {
        EXPECT_EQ(kUntouched, w.outArray);
    } else {
        ASSERT_NE(kUntouched, w.outArray);
        EXPECT_EQ(2u, w.outArray->cDims);
        EXPECT_EQ(0u, w.outArray->cLocks);
    }
}

// A creator returns null after a failure, an array of the asked shape otherwise.
template <USHORT features, ULONG elementSize, ULONG count>
void Created(World& w, HRESULT, bool failed) {
    if (failed) {
        EXPECT_EQ(nullptr, w.outArray);
        return;
    }
    ASSERT_NE(nullptr, w.outArray);
    EXPECT_EQ(features, w.outArray->fFeatures);
    EXPECT_EQ(elementSize, w.outArray->cbElements);
    EXPECT_EQ(count, SafeArrayElementCount(w.outArray));
}

// A failed copy leaves null in the out-pointer; a successful one is an
// independent deep copy with its own data block.
void CopyOfArray(World& w, HRESULT, bool failed) {
    if (failed) {
        EXPECT_EQ(nullptr, w.outArray);
        return;
    }
    ASSERT_NE(nullptr, w.outArray);
    EXPECT_EQ(Value(w.array), Value(w.outArray));
    EXPECT_NE(w.array->pvData, w.outArray->pvData);
    EXPECT_EQ(0, w.outArray->fFeatures & FADF_INLINE_DATA);
}

HRESULT CopyArray(World& w) { return SafeArrayCopy(w.array, &w.outArray); }

const SAFEARRAYBOUND kBounds[] = {{3, 1}, {4, 0}};
const IID kOtherIid = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};

const OomCase kSafeArrayCases[] = {
    {"SafeArrayAllocDescriptor",
     OutUntouched,
     [](World& w) { return SafeArrayAllocDescriptor(2, &w.outArray); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     DescriptorOrUntouched,
     FreeDescriptor},
    {"SafeArrayAllocDescriptorEx",
     OutUntouched,
     [](World& w) { return SafeArrayAllocDescriptorEx(VT_BSTR, 2, &w.outArray); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     DescriptorOrUntouched,
     FreeDescriptor},
    {"SafeArrayAllocData",
     [](World& w) {
         ASSERT_EQ(S_OK, SafeArrayAllocDescriptorEx(VT_I4, 1, &w.outArray));
         w.outArray->rgsabound[0] = {5, 0};
         w.outArray->pvData = nullptr;
     },
     [](World& w) { return SafeArrayAllocData(w.outArray); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     [](World& w, HRESULT, bool failed) {
         if (failed) {
             EXPECT_EQ(nullptr, w.outArray->pvData);
         } else {
             ASSERT_NE(nullptr, w.outArray->pvData);
             EXPECT_EQ(0, static_cast<const LONG*>(w.outArray->pvData)[4]);
         }
     },
     ReleaseAll},
    {"SafeArrayCreate",
     NoInputs,
     [](World& w) { return StatusOf(w.outArray = SafeArrayCreate(VT_BSTR, 2, kBounds)); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     Created<FADF_HAVEVARTYPE | FADF_BSTR, 8, 12>,
     ReleaseAll},
    {"SafeArrayCreateEx",
     NoInputs,
     [](World& w) {
         return StatusOf(w.outArray = SafeArrayCreateEx(VT_UNKNOWN, 2, kBounds, const_cast<IID*>(&kOtherIid)));
     },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     Created<FADF_HAVEIID | FADF_UNKNOWN, 8, 12>,
     ReleaseAll},
    {"SafeArrayCreateVector",
     NoInputs,
     [](World& w) { return StatusOf(w.outArray = SafeArrayCreateVector(VT_VARIANT, -1, 4)); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     Created<FADF_INLINE_DATA | FADF_HAVEVARTYPE | FADF_VARIANT, 24, 4>,
     ReleaseAll},
    {"SafeArrayCreateVectorEx",
     NoInputs,
     [](World& w) {
         return StatusOf(w.outArray = SafeArrayCreateVectorEx(VT_DISPATCH, 0, 3, const_cast<IID*>(&kOtherIid)));
     },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     Created<FADF_INLINE_DATA | FADF_HAVEIID | FADF_DISPATCH, 8, 3>,
     ReleaseAll},
    {"SafeArrayCopy_Numbers",
     [](World& w) {
         w.array = SafeArrayCreate(VT_I4, 2, kBounds);
         for (LONG i = 0; i < 12; ++i) static_cast<LONG*>(w.array->pvData)[i] = i * 1000;
     },
     CopyArray,
     {E_OUTOFMEMORY},
     Inputs::Intact,
     CopyOfArray,
     ReleaseAll},
    {"SafeArrayCopy_StringVector",
     [](World& w) {
         w.array = StringVector({"alpha", kLongText, "gamma"});
     },
     CopyArray,
     {E_OUTOFMEMORY},
     Inputs::Intact,
     CopyOfArray,
     ReleaseAll},
    {"SafeArrayCopy_StringMatrix",
     [](World& w) { w.array = StringMatrix(); },
     CopyArray,
     {E_OUTOFMEMORY},
     Inputs::Intact,
     CopyOfArray,
     ReleaseAll},
    {"SafeArrayCopy_NestedVariants",
     [](World& w) { w.array = MixedVariants(w.unknown); },
     CopyArray,
     {E_OUTOFMEMORY},
     Inputs::Intact,
     CopyOfArray,
     ReleaseAll},
    {"SafeArrayCopy_Interfaces",
     [](World& w) {
         w.array = SafeArrayCreateVectorEx(VT_UNKNOWN, 0, 2, const_cast<IID*>(&kOtherIid));
         static_cast<IUnknown**>(w.array->pvData)[0] = w.unknown.unknown();
         w.unknown.AddRef();
     },
     CopyArray,
     {E_OUTOFMEMORY},
     Inputs::Intact,
     CopyOfArray,
     ReleaseAll},
    // Into an existing target: either no room for the copies could be had and
    // the target is unchanged, or the strings copied before a failure stay,
    // the failing element is null and the later ones keep their old strings.
    {"SafeArrayCopyData_Strings",
     [](World& w) {
         w.array = StringVector({"alpha", kLongText, "gamma"});
         w.outArray = StringVector({"old 0", "old 1", "old 2"});
     },
     [](World& w) { return SafeArrayCopyData(w.array, w.outArray); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     [](World& w, HRESULT, bool failed) {
         const BSTR* target = static_cast<BSTR*>(w.outArray->pvData);
         const BSTR* source = static_cast<BSTR*>(w.array->pvData);
         int nulls = 0;
         int old = 0;
         for (int i = 0; i < 3; ++i) {
             const std::string text = Text(target[i]);
             if (target[i] == nullptr) {
                 ++nulls;
             } else if (text == "old " + std::to_string(i)) {
                 ++old;
             } else {
                 EXPECT_EQ(Text(source[i]), text) << i;
             }
         }
         if (failed) {
             EXPECT_TRUE(nulls == 1 || old == 3) << nulls << " null, " << old << " old";
         } else {
             EXPECT_EQ(0, nulls + old);
         }
     },
     ReleaseAll},
    {"SafeArrayCopyData_Variants",
     [](World& w) {
         w.array = MixedVariants(w.unknown);
         const SAFEARRAYBOUND bound{4, 10};
         w.outArray = SafeArrayCreate(VT_VARIANT, 1, &bound);
     },
     [](World& w) { return SafeArrayCopyData(w.array, w.outArray); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     [](World& w, HRESULT, bool failed) {
         if (failed) return;
         for (int i = 0; i < 4; ++i) {
             EXPECT_EQ(Value(static_cast<VARIANT*>(w.array->pvData)[i]),
                       Value(static_cast<VARIANT*>(w.outArray->pvData)[i]))
                 << i;
         }
     },
     ReleaseAll},
    // Growing: a failure keeps the count and the data; the new lower bound
    // is stored before the allocation.
    {"SafeArrayRedim_Grow",
     [](World& w) { w.array = StringMatrix(); },
     [](World& w) {
         const SAFEARRAYBOUND bound{5, 7};
         return SafeArrayRedim(w.array, &bound);
     },
     {E_OUTOFMEMORY},
     Inputs::Checked,
     [](World& w, HRESULT, bool failed) {
         EXPECT_EQ(7, w.array->rgsabound[0].lLbound);
         EXPECT_EQ(failed ? 2u : 5u, w.array->rgsabound[0].cElements);
         const BSTR* slots = static_cast<BSTR*>(w.array->pvData);
         EXPECT_EQ(kLongText, Text(slots[2]));
         if (!failed) {
             EXPECT_EQ(nullptr, slots[9]);
         }
     },
     ReleaseAll},
};

INSTANTIATE_TEST_SUITE_P(SafeArray, OomSweep, ::testing::ValuesIn(kSafeArrayCases), CaseName);

}  // namespace
}  // namespace zentrel::test::oom
