#include <gtest/gtest.h>

#include "support/array_testing.h"
#include "support/fault_injection.h"

namespace {

using namespace zentrel::test;

TEST(Redim_Refusals, NullFixedSizeInlineStaticAndLocked) {
    const SAFEARRAYBOUND bound{2, 0};
    const SAFEARRAYBOUND next{4, 3};
    ArrayPtr psa(SafeArrayCreate(VT_I4, 1, &bound));
    ArrayPtr vector(SafeArrayCreateVector(VT_I4, 0, 2));
    EXPECT_EQ(E_INVALIDARG, SafeArrayRedim(nullptr, &next));
    EXPECT_EQ(E_INVALIDARG, SafeArrayRedim(psa.get(), nullptr));
    EXPECT_EQ(E_INVALIDARG, SafeArrayRedim(vector.get(), &next));
    for (USHORT flag : {FADF_FIXEDSIZE, FADF_STATIC}) {
        psa->fFeatures |= flag;
        EXPECT_EQ(E_INVALIDARG, SafeArrayRedim(psa.get(), &next)) << flag;
        psa->fFeatures &= ~flag;
    }
    SAFEARRAY noDimensions{};
    EXPECT_EQ(E_INVALIDARG, SafeArrayRedim(&noDimensions, &next));
    psa->cLocks = 1;
    EXPECT_EQ(DISP_E_ARRAYISLOCKED, SafeArrayRedim(psa.get(), &next));
    psa->fFeatures |= FADF_STATIC;  // the lock is reported first
    EXPECT_EQ(DISP_E_ARRAYISLOCKED, SafeArrayRedim(psa.get(), &next));
    psa->fFeatures &= ~FADF_STATIC;
    psa->cLocks = 0;
    EXPECT_EQ(2u, psa->rgsabound[0].cElements);
    EXPECT_EQ(0, psa->rgsabound[0].lLbound);
    EXPECT_EQ(2u, vector->rgsabound[0].cElements);
}

TEST(Redim_Grow, KeepsPrefixAndZeroesTail) {
    const SAFEARRAYBOUND bounds[2] = {{3, 0}, {4, 0}};
    ArrayPtr psa(SafeArrayCreate(VT_I4, 2, bounds));
    for (LONG i = 0; i < 12; ++i) DataOf<LONG>(psa.get())[i] = i + 1;
    const SAFEARRAYBOUND next{6, 1};
    ASSERT_EQ(S_OK, SafeArrayRedim(psa.get(), &next));
    EXPECT_EQ(18u, SafeArrayElementCount(psa.get()));
    for (LONG i = 0; i < 12; ++i) EXPECT_EQ(i + 1, DataOf<LONG>(psa.get())[i]);
    for (LONG i = 12; i < 18; ++i) EXPECT_EQ(0, DataOf<LONG>(psa.get())[i]);
    LONG lower = 0, upper = 0;
    EXPECT_EQ(6u, psa->rgsabound[0].cElements);
    lower = psa->rgsabound[0].lLbound;
    upper = lower + static_cast<LONG>(psa->rgsabound[0].cElements) - 1;
    EXPECT_EQ(1, lower);
    EXPECT_EQ(6, upper);
    EXPECT_EQ(3u, psa->rgsabound[1].cElements);
}

TEST(Redim_ShrinkStrings, FreesTheDroppedTailAndKeepsTheBlock) {
    const SAFEARRAYBOUND bound{5, 0};
    ArrayPtr psa(SafeArrayCreate(VT_BSTR, 1, &bound));
    for (int i = 0; i < 5; ++i) DataOf<BSTR>(psa.get())[i] = MakeBstr(std::string(1, char('a' + i)));
    void* data = psa->pvData;
    const SAFEARRAYBOUND next{2, 0};
    ASSERT_EQ(S_OK, SafeArrayRedim(psa.get(), &next));  // ASan: c, d, e freed here, a and b later
    EXPECT_EQ(data, psa->pvData);
    EXPECT_EQ(2u, SafeArrayElementCount(psa.get()));
    EXPECT_EQ("b", BstrText(DataOf<BSTR>(psa.get())[1]));
}

TEST(Redim_ShrinkTwoDimensions, ReleasesWholeRowsOfTheLastDimension) {
    const SAFEARRAYBOUND bounds[2] = {{2, 0}, {3, 0}};  // 2 x 3: rows of 2 elements
    ArrayPtr psa(SafeArrayCreate(VT_BSTR, 2, bounds));
    for (int i = 0; i < 6; ++i) DataOf<BSTR>(psa.get())[i] = MakeBstr(std::to_string(i));
    const SAFEARRAYBOUND next{1, 0};
    ASSERT_EQ(S_OK, SafeArrayRedim(psa.get(), &next));  // elements 2..5 freed
    EXPECT_EQ(2u, SafeArrayElementCount(psa.get()));
    EXPECT_EQ("1", BstrText(DataOf<BSTR>(psa.get())[1]));
}

TEST(Redim_SameCount, ChangesOnlyTheLowerBound) {
    const SAFEARRAYBOUND bound{3, 0};
    ArrayPtr psa(SafeArrayCreate(VT_I4, 1, &bound));
    void* data = psa->pvData;
    const SAFEARRAYBOUND next{3, -7};
    AllocationCounter counter;
    EXPECT_EQ(S_OK, SafeArrayRedim(psa.get(), &next));
    EXPECT_EQ(0u, counter.Count());
    EXPECT_EQ(-7, psa->rgsabound[0].lLbound);
    EXPECT_EQ(data, psa->pvData);
}

TEST(Redim_FromEmpty, AllocatesZeroedElements) {
    const SAFEARRAYBOUND bound{0, 0};
    ArrayPtr psa(SafeArrayCreate(VT_R8, 1, &bound));
    const SAFEARRAYBOUND next{4, 0};
    ASSERT_EQ(S_OK, SafeArrayRedim(psa.get(), &next));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(0.0, DataOf<double>(psa.get())[i]);  // 32 bytes readable (ASan)
}

TEST(Redim_OutOfMemory, KeepsCountAndDataButTakesTheLowerBound) {
    const SAFEARRAYBOUND bound{2, 0};
    ArrayPtr psa(SafeArrayCreate(VT_I4, 1, &bound));
    DataOf<LONG>(psa.get())[1] = 42;
    void* data = psa->pvData;
    const SAFEARRAYBOUND next{8, 5};
    {
        AllocationFailure failure(1, false);
        EXPECT_EQ(E_OUTOFMEMORY, SafeArrayRedim(psa.get(), &next));
    }
    EXPECT_EQ(5, psa->rgsabound[0].lLbound);
    EXPECT_EQ(2u, psa->rgsabound[0].cElements);
    EXPECT_EQ(data, psa->pvData);
    EXPECT_EQ(42, DataOf<LONG>(psa.get())[1]);
}

TEST(Redim_Overflow, GrowthBeyondSixtyFourBitsFailsCleanly) {
    const SAFEARRAYBOUND bounds[2] = {{0xFFFFFFFF, 0}, {1, 0}};
    SAFEARRAY* psa = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAllocDescriptorEx(VT_VARIANT, 2, &psa));
    psa->fFeatures |= FADF_VARIANT;
    psa->rgsabound[0] = bounds[1];
    psa->rgsabound[1] = bounds[0];
    psa->pvData = nullptr;  // never allocated: the test only checks the arithmetic
    const SAFEARRAYBOUND next{0xFFFFFFFF, 0};
    AllocationCounter counter;
    EXPECT_EQ(E_OUTOFMEMORY, SafeArrayRedim(psa, &next));
    EXPECT_EQ(0u, counter.Count());
    EXPECT_EQ(1u, psa->rgsabound[0].cElements);
    EXPECT_EQ(S_OK, SafeArrayDestroyDescriptor(psa));
}

}  // namespace
