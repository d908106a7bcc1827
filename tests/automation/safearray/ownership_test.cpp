// Ownership to any depth: arrays of variants holding arrays of strings,
// interfaces and further variants are copied, copied through references and
// released with every string freed once (ASan) and every AddRef balanced. Each
// allocation of the copies is made to fail in turn.
#include <string>

#include <gtest/gtest.h>

#include "support/array_testing.h"
#include "support/fake_unknown.h"
#include "support/fault_injection.h"

namespace {

using namespace zentrel::test;

class OwnershipTree : public ::testing::Test {
protected:
    // A 2 x 2 array of variants:
    //   [0] VT_ARRAY|VT_BSTR vector {"alpha", null, "gamma"}
    //   [1] VT_ARRAY|VT_UNKNOWN {a, null, b}
    //   [2] VT_ARRAY|VT_VARIANT vector {VT_BSTR "inner", VT_DISPATCH d, VT_ARRAY|VT_BSTR {"deep"}}
    //   [3] VT_BSTR "top"
    SAFEARRAY* Build() {
        const SAFEARRAYBOUND square[2] = {{2, 0}, {2, 1}};
        SAFEARRAY* outer = SafeArrayCreate(VT_VARIANT, 2, square);
        VARIANT* o = DataOf<VARIANT>(outer);

        o[0].vt = VT_ARRAY | VT_BSTR;
        o[0].parray = SafeArrayCreateVector(VT_BSTR, 0, 3);
        DataOf<BSTR>(o[0].parray)[0] = MakeBstr("alpha");
        DataOf<BSTR>(o[0].parray)[2] = MakeBstr("gamma");

        const SAFEARRAYBOUND three{3, 0};
        o[1].vt = VT_ARRAY | VT_UNKNOWN;
        o[1].parray = SafeArrayCreate(VT_UNKNOWN, 1, &three);
        DataOf<IUnknown*>(o[1].parray)[0] = Ref(a_);
        DataOf<IUnknown*>(o[1].parray)[2] = Ref(b_);

        o[2].vt = VT_ARRAY | VT_VARIANT;
        o[2].parray = SafeArrayCreateVector(VT_VARIANT, 0, 3);
        VARIANT* inner = DataOf<VARIANT>(o[2].parray);
        inner[0].vt = VT_BSTR;
        inner[0].bstrVal = MakeBstr("inner");
        inner[1].vt = VT_DISPATCH;
        inner[1].pdispVal = static_cast<IDispatch*>(Ref(d_));
        inner[2].vt = VT_ARRAY | VT_BSTR;
        inner[2].parray = SafeArrayCreateVector(VT_BSTR, 0, 1);
        DataOf<BSTR>(inner[2].parray)[0] = MakeBstr("deep");

        o[3].vt = VT_BSTR;
        o[3].bstrVal = MakeBstr("top");
        return outer;
    }

    static IUnknown* Ref(FakeUnknown& object) {
        object.AddRef();
        return object.unknown();
    }

    void ExpectOutstanding(int each) {
        EXPECT_EQ(each, a_.outstanding());
        EXPECT_EQ(each, b_.outstanding());
        EXPECT_EQ(each, d_.outstanding());
    }

    FakeUnknown a_, b_, d_{true};
};

// Equal contents, nothing shared but interface pointers.
void ExpectSameTree(SAFEARRAY* x, SAFEARRAY* y);

void ExpectSameVariant(const VARIANT& x, const VARIANT& y) {
    ASSERT_EQ(x.vt, y.vt);
    if ((x.vt & VT_ARRAY) != 0) {
        ExpectSameTree(x.parray, y.parray);
    } else if (x.vt == VT_BSTR) {
        EXPECT_EQ(BstrText(x.bstrVal), BstrText(y.bstrVal));
        if (x.bstrVal != nullptr) {
            EXPECT_NE(x.bstrVal, y.bstrVal);
        }
    } else {
        EXPECT_EQ(x.llVal, y.llVal);
    }
}

void ExpectSameTree(SAFEARRAY* x, SAFEARRAY* y) {
    ASSERT_TRUE(x != nullptr && y != nullptr);
    EXPECT_NE(x, y);
    EXPECT_NE(x->pvData, y->pvData);
    ASSERT_EQ(x->cDims, y->cDims);
    ASSERT_EQ(x->cbElements, y->cbElements);
    EXPECT_EQ(x->fFeatures & ~FADF_INLINE_DATA, y->fFeatures);
    for (USHORT d = 0; d < x->cDims; ++d) {
        EXPECT_EQ(x->rgsabound[d].cElements, y->rgsabound[d].cElements);
        EXPECT_EQ(x->rgsabound[d].lLbound, y->rgsabound[d].lLbound);
    }
    const std::uint64_t n = SafeArrayElementCount(x);
    for (std::uint64_t j = 0; j < n; ++j) {
        if ((x->fFeatures & FADF_VARIANT) != 0) {
            ExpectSameVariant(DataOf<VARIANT>(x)[j], DataOf<VARIANT>(y)[j]);
        } else if ((x->fFeatures & FADF_BSTR) != 0) {
            EXPECT_EQ(BstrText(DataOf<BSTR>(x)[j]), BstrText(DataOf<BSTR>(y)[j]));
        } else {
            EXPECT_EQ(DataOf<IUnknown*>(x)[j], DataOf<IUnknown*>(y)[j]);
        }
    }
}

TEST_F(OwnershipTree, SafeArrayCopyDeepCopiesAndBothDestroyCleanly) {
    SAFEARRAY* tree = Build();
    ExpectOutstanding(1);
    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(S_OK, SafeArrayCopy(tree, &copy));
    ExpectSameTree(tree, copy);
    ExpectOutstanding(2);
    EXPECT_EQ(S_OK, SafeArrayDestroy(tree));
    ExpectOutstanding(1);
    EXPECT_EQ("deep", BstrText(DataOf<BSTR>(DataOf<VARIANT>(DataOf<VARIANT>(copy)[2].parray)[2].parray)[0]));
    EXPECT_EQ(S_OK, SafeArrayDestroy(copy));
    ExpectOutstanding(0);
}

TEST_F(OwnershipTree, VariantCopyAndCopyThroughAReferenceThenClear) {
    Variant holder;
    holder.vt = VT_ARRAY | VT_VARIANT;
    holder.parray = Build();

    Variant copy;
    copy.vt = VT_BSTR;
    copy.bstrVal = MakeBstr("replaced");  // freed by the copy
    ASSERT_EQ(S_OK, VariantCopy(&copy, &holder));
    ExpectSameTree(holder.parray, copy.parray);

    Variant reference;
    reference.vt = VT_BYREF | VT_VARIANT;
    reference.pvarVal = &holder;
    Variant resolved;
    ASSERT_EQ(S_OK, VariantCopyInd(&resolved, &reference));
    EXPECT_EQ(VT_ARRAY | VT_VARIANT, resolved.vt);
    ExpectSameTree(holder.parray, resolved.parray);

    Variant arrayReference;
    arrayReference.vt = VT_BYREF | VT_ARRAY | VT_VARIANT;
    arrayReference.pparray = &holder.parray;
    Variant viaArrayReference;
    ASSERT_EQ(S_OK, VariantCopyInd(&viaArrayReference, &arrayReference));
    ExpectSameTree(holder.parray, viaArrayReference.parray);
    ExpectOutstanding(4);

    EXPECT_EQ(S_OK, VariantClear(&copy));
    EXPECT_EQ(S_OK, VariantClear(&resolved));
    EXPECT_EQ(S_OK, VariantClear(&viaArrayReference));
    EXPECT_EQ(S_OK, VariantClear(&reference));  // owns nothing
    ExpectOutstanding(1);
    EXPECT_EQ(S_OK, VariantClear(&holder));
    ExpectOutstanding(0);
}

TEST_F(OwnershipTree, SafeArrayCopySweptThroughEveryAllocationFailure) {
    SAFEARRAY* tree = Build();
    int failures = 0;
    SweepAllocationFailures([&](std::uint64_t nth, FailureMode mode) {
        SAFEARRAY* copy = reinterpret_cast<SAFEARRAY*>(0x1);
        HRESULT hr;
        bool fired;
        {
            AllocationFailure failure(nth, mode == FailureMode::Persistent);
            hr = SafeArrayCopy(tree, &copy);
            fired = failure.Fired();
        }
        if (fired) {
            ++failures;
            EXPECT_EQ(E_OUTOFMEMORY, hr) << "allocation " << nth;
            EXPECT_EQ(nullptr, copy);
        } else {
            EXPECT_EQ(S_OK, hr);
            ExpectSameTree(tree, copy);
            SafeArrayDestroy(copy);
        }
        ExpectOutstanding(1);  // the discarded copy gave back every reference
        EXPECT_EQ("gamma", BstrText(DataOf<BSTR>(DataOf<VARIANT>(tree)[0].parray)[2]));
        return fired;
    });
    // Descriptor and data of 5 arrays and 5 non-null strings, in both modes.
    EXPECT_EQ(2 * 15, failures);
    SafeArrayDestroy(tree);
    ExpectOutstanding(0);
}

TEST_F(OwnershipTree, VariantCopySweptThroughEveryAllocationFailure) {
    Variant holder;
    holder.vt = VT_ARRAY | VT_VARIANT;
    holder.parray = Build();
    SweepAllocationFailures([&](std::uint64_t nth, FailureMode mode) {
        Variant dest;
        dest.vt = VT_UNKNOWN;
        dest.punkVal = Ref(b_);  // released by the copy, whatever happens next
        HRESULT hr;
        bool fired;
        {
            AllocationFailure failure(nth, mode == FailureMode::Persistent);
            hr = VariantCopy(&dest, &holder);
            fired = failure.Fired();
        }
        EXPECT_EQ(VT_ARRAY | VT_VARIANT, dest.vt);
        if (fired) {
            EXPECT_EQ(E_OUTOFMEMORY, hr) << "allocation " << nth;
            EXPECT_EQ(nullptr, dest.parray);
        } else {
            EXPECT_EQ(S_OK, hr);
            ExpectSameTree(holder.parray, dest.parray);
        }
        return fired;
    });
    ExpectOutstanding(1);
}

TEST_F(OwnershipTree, VariantCopyIndOfAStringReferenceSwept) {
    BSTR text = MakeBstr("referenced");
    Variant reference;
    reference.vt = VT_BYREF | VT_BSTR;
    reference.pbstrVal = &text;
    const int runs = SweepAllocationFailures(FailureMode::Transient, [&](std::uint64_t nth, FailureMode) {
        Variant dest;
        AllocationFailure failure(nth, false);
        const HRESULT hr = VariantCopyInd(&dest, &reference);
        EXPECT_EQ(VT_BSTR, dest.vt);
        EXPECT_EQ(failure.Fired() ? E_OUTOFMEMORY : S_OK, hr);
        EXPECT_EQ(failure.Fired() ? "<null>" : "referenced", BstrText(dest.bstrVal));
        return failure.Fired();
    });
    EXPECT_EQ(2, runs);
    SysFreeString(text);
}

TEST(RedimSweep, GrowthFailureLeavesTheArrayUsable) {
    const SAFEARRAYBOUND bound{2, 0};
    SAFEARRAY* psa = SafeArrayCreate(VT_BSTR, 1, &bound);
    DataOf<BSTR>(psa)[0] = MakeBstr("first");
    DataOf<BSTR>(psa)[1] = MakeBstr("second");
    const int runs = SweepAllocationFailures(FailureMode::Persistent, [&](std::uint64_t nth, FailureMode) {
        const SAFEARRAYBOUND grow{2 + static_cast<ULONG>(nth), static_cast<LONG>(nth)};
        AllocationFailure failure(nth, true);
        const HRESULT hr = SafeArrayRedim(psa, &grow);
        EXPECT_EQ(static_cast<LONG>(nth), psa->rgsabound[0].lLbound);
        if (failure.Fired()) {
            EXPECT_EQ(E_OUTOFMEMORY, hr);
            EXPECT_EQ(2u, psa->rgsabound[0].cElements);
        } else {
            EXPECT_EQ(S_OK, hr);
            EXPECT_EQ(grow.cElements, psa->rgsabound[0].cElements);
        }
        EXPECT_EQ("second", BstrText(DataOf<BSTR>(psa)[1]));
        return failure.Fired();
    });
    EXPECT_EQ(2, runs);
    const SAFEARRAYBOUND shrink{1, 0};
    AllocationFailure noMemory(1, true);
    EXPECT_EQ(S_OK, SafeArrayRedim(psa, &shrink));  // shrinking needs no memory
    EXPECT_FALSE(noMemory.Fired());
    EXPECT_EQ(S_OK, SafeArrayDestroy(psa));
}

}  // namespace
