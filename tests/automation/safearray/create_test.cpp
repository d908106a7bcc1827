#include <array>
#include <cstring>

#include <gtest/gtest.h>

#include "automation/safearray/layout.h"
#include "support/array_testing.h"
#include "support/fault_injection.h"

namespace {

using namespace zentrel::test;

constexpr IID kOtherIid = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};

bool AllZero(const void* p, std::size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i)
        if (b[i] != 0) return false;
    return true;
}

TEST(Create_Layout, StoresBoundsReversedWithZeroedDataAndVartypePrefix) {
    const SAFEARRAYBOUND bounds[2] = {{3, 1}, {4, 0}};
    ArrayPtr psa(SafeArrayCreate(VT_I4, 2, bounds));
    ASSERT_TRUE(psa);
    const unsigned char* block = BlockOf(psa.get());
    std::uint16_t header[2];
    std::memcpy(header, block + 16, 4);
    EXPECT_EQ(2, header[0]);                 // cDims at +0
    EXPECT_EQ(FADF_HAVEVARTYPE, header[1]);  // fFeatures at +2
    EXPECT_EQ(4u, psa->cbElements);
    EXPECT_EQ(0u, psa->cLocks);
    EXPECT_EQ(3u, PrefixWord(psa.get()));
    EXPECT_EQ(4u, psa->rgsabound[0].cElements);
    EXPECT_EQ(0, psa->rgsabound[0].lLbound);
    EXPECT_EQ(3u, psa->rgsabound[1].cElements);
    EXPECT_EQ(1, psa->rgsabound[1].lLbound);
    EXPECT_EQ(12u, SafeArrayElementCount(psa.get()));
    EXPECT_TRUE(AllZero(psa->pvData, 48));
    // The data block is separate and holds exactly 48 bytes (ASan checks).
    EXPECT_NE(static_cast<const void*>(block + 48), psa->pvData);
    DataOf<LONG>(psa.get())[11] = 7;
}

// What the creators give an array of one type: features, element size, prefix.
struct TypeCase {
    VARTYPE vt;
    USHORT features;
    ULONG size;
    const IID* iid;  // null: the prefix holds the VARTYPE
};

void ExpectTypeLayout(SAFEARRAY* psa, const TypeCase& c, ULONG count) {
    ASSERT_NE(nullptr, psa);
    EXPECT_EQ(c.features, psa->fFeatures);
    EXPECT_EQ(c.size, psa->cbElements);
    EXPECT_EQ(1, psa->cDims);
    if (c.iid != nullptr) {
        EXPECT_EQ(*c.iid, PrefixIid(psa));
    } else {
        EXPECT_EQ(c.vt, PrefixWord(psa));
    }
    EXPECT_TRUE(AllZero(psa->pvData, count * c.size));
}

class CreateByType : public ::testing::TestWithParam<TypeCase> {};

TEST_P(CreateByType, AddsTheKindBitAndPrefix) {
    const SAFEARRAYBOUND bound{2, 0};
    ArrayPtr psa(SafeArrayCreate(GetParam().vt, 1, &bound));
    ExpectTypeLayout(psa.get(), GetParam(), 2);
}

INSTANTIATE_TEST_SUITE_P(Types, CreateByType,
                         ::testing::Values(TypeCase{VT_BSTR, 0x180, 8, nullptr},
                                           TypeCase{VT_VARIANT, 0x880, 24, nullptr},
                                           TypeCase{VT_UNKNOWN, 0x240, 8, &IID_IUnknown},
                                           TypeCase{VT_DISPATCH, 0x440, 8, &IID_IDispatch},
                                           TypeCase{VT_BOOL, 0x80, 2, nullptr}, TypeCase{VT_UI1, 0x80, 1, nullptr},
                                           TypeCase{VT_CY, 0x80, 8, nullptr}));

TEST(Create_Refusals, RecordNullBoundsNoDimensionsAndSizelessTypesLeaveNothing) {
    const SAFEARRAYBOUND bound{2, 0};
    AllocationCounter counter;
    EXPECT_EQ(nullptr, SafeArrayCreate(VT_RECORD, 1, &bound));
    EXPECT_EQ(nullptr, SafeArrayCreate(VT_I4, 1, nullptr));
    EXPECT_EQ(0u, counter.Count());
    EXPECT_EQ(nullptr, SafeArrayCreate(VT_I4, 0, &bound));
    for (VARTYPE vt : {VARTYPE(VT_DECIMAL), VARTYPE(VT_EMPTY), VARTYPE(VT_NULL), VARTYPE(VT_ARRAY | VT_I4), VARTYPE(24),
                       VARTYPE(39)})
        EXPECT_EQ(nullptr, SafeArrayCreate(vt, 1, &bound)) << vt;  // ASan: the descriptor was freed
    EXPECT_EQ(nullptr, SafeArrayCreateEx(VT_RECORD, 1, &bound, nullptr));
}

TEST(Create_Overflow, SizesBeyondSixtyFourBitsAreRefusedNotWrapped) {
    // 2^32-1 cubed elements: the count itself does not fit 64 bits.
    const SAFEARRAYBOUND huge[3] = {{0xFFFFFFFF, 0}, {0xFFFFFFFF, 0}, {0xFFFFFFFF, 0}};
    AllocationCounter counter;
    EXPECT_EQ(nullptr, SafeArrayCreate(VT_UI1, 3, huge));
    // Count fits, count x 24 bytes does not.
    const SAFEARRAYBOUND wide[2] = {{0xFFFFFFFF, 0}, {0xFFFFFFFF, 0}};
    EXPECT_EQ(nullptr, SafeArrayCreate(VT_VARIANT, 2, wide));
    EXPECT_EQ(2u, counter.Count());  // only the two descriptors, both freed (ASan)
}

TEST(Create_EmptyDimension, SucceedsWithAnEmptyBlock) {
    const SAFEARRAYBOUND bounds[2] = {{3, 0}, {0, 5}};
    ArrayPtr psa(SafeArrayCreate(VT_BSTR, 2, bounds));
    ASSERT_TRUE(psa);
    EXPECT_NE(nullptr, psa->pvData);
    EXPECT_EQ(0u, SafeArrayElementCount(psa.get()));
}

TEST(Create_OutOfMemory, EveryFailureGivesNullAndLeavesNothing) {
    const SAFEARRAYBOUND bounds[2] = {{3, 0}, {2, 0}};
    const int runs = SweepAllocationFailures(FailureMode::Transient, [&](std::uint64_t nth, FailureMode) {
        AllocationFailure failure(nth, false);
        SAFEARRAY* psa = SafeArrayCreate(VT_VARIANT, 2, bounds);
        EXPECT_EQ(failure.Fired(), psa == nullptr);
        EXPECT_EQ(S_OK, SafeArrayDestroy(psa));
        return failure.Fired();
    });
    EXPECT_EQ(3, runs);  // descriptor, data, then success
}

TEST(CreateEx_Extra, SetsTheIidOfInterfaceArraysOnly) {
    const SAFEARRAYBOUND bound{1, 0};
    IID extra = kOtherIid;
    ArrayPtr unk(SafeArrayCreateEx(VT_UNKNOWN, 1, &bound, &extra));
    ArrayPtr disp(SafeArrayCreateEx(VT_DISPATCH, 1, &bound, nullptr));
    ArrayPtr ints(SafeArrayCreateEx(VT_I4, 1, &bound, &extra));
    ASSERT_TRUE(unk && disp && ints);
    EXPECT_EQ(kOtherIid, PrefixIid(unk.get()));
    EXPECT_EQ(IID_IDispatch, PrefixIid(disp.get()));
    EXPECT_EQ(FADF_HAVEVARTYPE, ints->fFeatures);
    EXPECT_EQ(3u, PrefixWord(ints.get()));
    EXPECT_EQ(nullptr, SafeArrayCreateEx(VT_UNKNOWN, 1, nullptr, &extra));
}

TEST(CreateVector_Layout, FortyEightByteHeadThenInlineElements) {
    ArrayPtr psa(SafeArrayCreateVector(VT_UI1, -5, 10));
    ASSERT_TRUE(psa);
    const unsigned char* block = BlockOf(psa.get());
    std::uint64_t typeWord;
    std::memcpy(&typeWord, block + 12, 8);
    EXPECT_EQ(0x2080000100000011ull, typeWord);  // VARTYPE word, cDims 1, features 0x2080
    EXPECT_TRUE(AllZero(block, 12));
    EXPECT_EQ(1u, psa->cbElements);
    EXPECT_EQ(0u, psa->cLocks);
    EXPECT_TRUE(AllZero(block + 16 + 12, 4));  // padding
    EXPECT_EQ(static_cast<const void*>(block + 48), psa->pvData);
    EXPECT_EQ(reinterpret_cast<unsigned char*>(psa.get()) + 32, psa->pvData);
    EXPECT_EQ(10u, psa->rgsabound[0].cElements);
    EXPECT_EQ(-5, psa->rgsabound[0].lLbound);
    EXPECT_TRUE(AllZero(psa->pvData, 10));
}

class CreateVectorByType : public ::testing::TestWithParam<TypeCase> {};

TEST_P(CreateVectorByType, FeaturesPrefixAndSize) {
    ArrayPtr psa(SafeArrayCreateVector(GetParam().vt, 0, 3));
    ExpectTypeLayout(psa.get(), GetParam(), 3);
    if (GetParam().iid == nullptr) {
        EXPECT_TRUE(AllZero(BlockOf(psa.get()), 12));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Types, CreateVectorByType,
    ::testing::Values(TypeCase{VT_UNKNOWN, 0x2240, 8, &IID_IUnknown}, TypeCase{VT_DISPATCH, 0x2440, 8, &IID_IDispatch},
                      TypeCase{VT_BSTR, 0x2180, 8, nullptr}, TypeCase{VT_VARIANT, 0x2880, 24, nullptr},
                      TypeCase{VT_I4, 0x2080, 4, nullptr}, TypeCase{VT_BOOL, 0x2080, 2, nullptr},
                      TypeCase{VT_DECIMAL, 0x2080, 0, nullptr}, TypeCase{VT_EMPTY, 0x2080, 0, nullptr},
                      TypeCase{VARTYPE(VT_ARRAY | VT_I4), 0x2080, 0, nullptr}));

TEST(CreateVector_Refusals, RecordAndOutOfMemoryGiveNull) {
    EXPECT_EQ(nullptr, SafeArrayCreateVector(VT_RECORD, 0, 1));
    AllocationFailure failure(1, false);
    EXPECT_EQ(nullptr, SafeArrayCreateVector(VT_I4, 0, 1));
    EXPECT_TRUE(failure.Fired());
}

TEST(CreateVectorEx_Types, OnlyInterfaceVectorsWithOptionalIid) {
    IID extra = kOtherIid;
    EXPECT_EQ(nullptr, SafeArrayCreateVectorEx(VT_I4, 0, 2, &extra));
    EXPECT_EQ(nullptr, SafeArrayCreateVectorEx(VT_I4, 0, 2, nullptr));
    ArrayPtr withIid(SafeArrayCreateVectorEx(VT_UNKNOWN, 0, 2, &extra));
    ArrayPtr plain(SafeArrayCreateVectorEx(VT_UNKNOWN, 0, 2, nullptr));
    ASSERT_TRUE(withIid && plain);
    EXPECT_EQ(kOtherIid, PrefixIid(withIid.get()));
    EXPECT_EQ(0x2240, withIid->fFeatures);
    EXPECT_EQ(IID_IUnknown, PrefixIid(plain.get()));
}

TEST(CreateByteVector_Layout, IsTheVectorBlockWithTheBytesCopiedIn) {
    const std::array<unsigned char, 5> bytes = {1, 0, 255, 3, 4};
    SAFEARRAY* built = KoAtlCom::detail::CreateByteVector(bytes.data(), 5);
    SAFEARRAY* vector = SafeArrayCreateVector(VT_UI1, 0, 5);
    ASSERT_TRUE(built && vector);
    std::memcpy(vector->pvData, bytes.data(), 5);
    // Identical blocks apart from the self-pointer pvData.
    EXPECT_EQ(0, std::memcmp(BlockOf(built), BlockOf(vector), 32));
    EXPECT_EQ(0, std::memcmp(BlockOf(built) + 40, BlockOf(vector) + 40, 8 + 5));
    EXPECT_EQ(reinterpret_cast<unsigned char*>(built) + 32, built->pvData);
    SafeArrayDestroy(built);
    SafeArrayDestroy(vector);

    ArrayPtr zeros(KoAtlCom::detail::CreateByteVector(nullptr, 4));
    ArrayPtr empty(KoAtlCom::detail::CreateByteVector(bytes.data(), 0));
    ASSERT_TRUE(zeros && empty);
    EXPECT_TRUE(AllZero(zeros->pvData, 4));
    EXPECT_EQ(0u, empty->rgsabound[0].cElements);
    AllocationFailure failure(1, false);
    EXPECT_EQ(nullptr, KoAtlCom::detail::CreateByteVector(bytes.data(), 5));
}

}  // namespace
