#include <cstdlib>
#include <tuple>

#include <gtest/gtest.h>

#include "automation/safearray/layout.h"
#include "automation/vartypes.h"
#include "support/array_testing.h"
#include "support/fault_injection.h"

namespace {

using namespace zentrel::test;
using KoAtlCom::detail::DataSize;
using KoAtlCom::detail::ElementKind;
using KoAtlCom::detail::KindOf;
using KoAtlCom::detail::KindOrder;
using KoAtlCom::detail::RowOf;

constexpr IID kOtherIid = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};

void FreeBlock(SAFEARRAY* psa) { std::free(const_cast<unsigned char*>(BlockOf(psa))); }

TEST(AllocDescriptor_Layout, SetsCountAndLocksAndLeavesTheRestToTheCaller) {
    SAFEARRAY* psa = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAllocDescriptor(3, &psa));
    EXPECT_EQ(3, psa->cDims);
    EXPECT_EQ(0u, psa->cLocks);
    psa->rgsabound[2] = {7, -1};  // the block holds three bounds (ASan checks the size)
    FreeBlock(psa);
}

TEST(AllocDescriptor_Refusals, ZeroDimensionsNullOutAndCountsBeyondSixteenBits) {
    SAFEARRAY* psa = reinterpret_cast<SAFEARRAY*>(0x1);
    EXPECT_EQ(E_INVALIDARG, SafeArrayAllocDescriptor(0, &psa));
    EXPECT_EQ(E_INVALIDARG, SafeArrayAllocDescriptor(1, nullptr));
    // cDims is 16 bits: 65536 would be stored as 0 over a block sized for 65536.
    EXPECT_EQ(E_INVALIDARG, SafeArrayAllocDescriptor(65536, &psa));
    EXPECT_EQ(E_INVALIDARG, SafeArrayAllocDescriptorEx(VT_I4, 0x10001, &psa));
    EXPECT_EQ(E_INVALIDARG, SafeArrayAllocDescriptorEx(VT_I4, 0, &psa));
    EXPECT_EQ(reinterpret_cast<SAFEARRAY*>(0x1), psa);
    EXPECT_EQ(nullptr, SafeArrayCreate(VT_I4, 65536, nullptr));

    ASSERT_EQ(S_OK, SafeArrayAllocDescriptor(65535, &psa));
    EXPECT_EQ(65535, psa->cDims);
    FreeBlock(psa);
}

// The Ex form makes the allocator's checks on the caller's own out-pointer.
TEST(AllocDescriptorEx_NullOut, IsRefusedWithoutAllocating) {
    for (VARTYPE vt : {VT_I4, VT_BSTR, VT_UNKNOWN, VT_DISPATCH, VT_RECORD}) {
        AllocationCounter counter;
        EXPECT_EQ(E_INVALIDARG, SafeArrayAllocDescriptorEx(vt, 2, nullptr)) << vt;
        EXPECT_EQ(0u, counter.Count()) << vt;
    }
}

TEST(AllocDescriptor_OutOfMemory, ReturnsOutOfMemoryAndLeavesOutUntouched) {
    SAFEARRAY* psa = reinterpret_cast<SAFEARRAY*>(0x1);
    {
        AllocationFailure failure(1, true);
        EXPECT_EQ(E_OUTOFMEMORY, SafeArrayAllocDescriptor(2, &psa));
        EXPECT_EQ(E_OUTOFMEMORY, SafeArrayAllocDescriptorEx(VT_I4, 2, &psa));
    }
    EXPECT_EQ(reinterpret_cast<SAFEARRAY*>(0x1), psa);
}

struct ExCase {
    VARTYPE vt;
    USHORT features;
    ULONG size;
};

class AllocDescriptorExByType : public ::testing::TestWithParam<ExCase> {};

TEST_P(AllocDescriptorExByType, SetsFeaturesPrefixAndElementSize) {
    const ExCase c = GetParam();
    SAFEARRAY* psa = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAllocDescriptorEx(c.vt, 2, &psa));
    EXPECT_EQ(c.features, psa->fFeatures);
    EXPECT_EQ(c.size, psa->cbElements);
    EXPECT_EQ(2, psa->cDims);
    if (c.vt == VT_UNKNOWN) {
        EXPECT_EQ(IID_IUnknown, PrefixIid(psa));
    } else if (c.vt == VT_DISPATCH) {
        EXPECT_EQ(IID_IDispatch, PrefixIid(psa));
    } else if (c.vt == VT_RECORD) {
        EXPECT_EQ(GUID{}, PrefixIid(psa));
    } else {
        EXPECT_EQ(c.vt, PrefixWord(psa));
    }
    FreeBlock(psa);
}

INSTANTIATE_TEST_SUITE_P(Types, AllocDescriptorExByType,
                         ::testing::Values(ExCase{VT_I4, FADF_HAVEVARTYPE, 4}, ExCase{VT_BSTR, FADF_HAVEVARTYPE, 8},
                                           ExCase{VT_VARIANT, FADF_HAVEVARTYPE, 24},
                                           ExCase{VT_UNKNOWN, FADF_HAVEIID, 8}, ExCase{VT_DISPATCH, FADF_HAVEIID, 8},
                                           ExCase{VT_RECORD, FADF_RECORD, 32}, ExCase{VT_DECIMAL, FADF_HAVEVARTYPE, 0},
                                           ExCase{VT_ARRAY | VT_I4, FADF_HAVEVARTYPE, 0},
                                           ExCase{VT_BOOL, FADF_HAVEVARTYPE, 2},
                                           ExCase{VT_UINT_PTR, FADF_HAVEVARTYPE, 8}));

class ElementSizeTable : public ::testing::TestWithParam<std::tuple<VARTYPE, ULONG>> {};

TEST_P(ElementSizeTable, GivesTheSizeOfOneElement) {
    const auto [vt, size] = GetParam();
    EXPECT_EQ(size, RowOf(vt).element) << "vt " << vt;
}

INSTANTIATE_TEST_SUITE_P(
    Types, ElementSizeTable,
    ::testing::Values(std::tuple{VARTYPE{VT_EMPTY}, 0u}, std::tuple{VARTYPE{VT_NULL}, 0u},
                      std::tuple{VARTYPE{VT_I2}, 2u}, std::tuple{VARTYPE{VT_I4}, 4u}, std::tuple{VARTYPE{VT_R4}, 4u},
                      std::tuple{VARTYPE{VT_R8}, 8u}, std::tuple{VARTYPE{VT_CY}, 8u}, std::tuple{VARTYPE{VT_DATE}, 8u},
                      std::tuple{VARTYPE{VT_BSTR}, 8u}, std::tuple{VARTYPE{VT_DISPATCH}, 8u},
                      std::tuple{VARTYPE{VT_ERROR}, 4u}, std::tuple{VARTYPE{VT_BOOL}, 2u},
                      std::tuple{VARTYPE{VT_VARIANT}, 24u}, std::tuple{VARTYPE{VT_UNKNOWN}, 8u},
                      std::tuple{VARTYPE{VT_DECIMAL}, 0u}, std::tuple{VARTYPE{15}, 0u}, std::tuple{VARTYPE{VT_I1}, 1u},
                      std::tuple{VARTYPE{VT_UI1}, 1u}, std::tuple{VARTYPE{VT_UI2}, 2u}, std::tuple{VARTYPE{VT_UI4}, 4u},
                      std::tuple{VARTYPE{VT_I8}, 8u}, std::tuple{VARTYPE{VT_UI8}, 8u}, std::tuple{VARTYPE{VT_INT}, 4u},
                      std::tuple{VARTYPE{VT_UINT}, 4u}, std::tuple{VARTYPE{24}, 0u}, std::tuple{VARTYPE{35}, 0u},
                      std::tuple{VARTYPE{VT_RECORD}, 32u}, std::tuple{VARTYPE{VT_INT_PTR}, 8u},
                      std::tuple{VARTYPE{VT_UINT_PTR}, 8u}, std::tuple{VARTYPE{39}, 0u},
                      std::tuple{VARTYPE{VT_ARRAY | VT_I4}, 0u}, std::tuple{VARTYPE{VT_BYREF | VT_I2}, 0u}));

class RawSizeTable : public ::testing::TestWithParam<std::tuple<VARTYPE, ULONG>> {};

TEST_P(RawSizeTable, AcceptsOnlyTheThirteenScalarTypes) {
    const auto [vt, size] = GetParam();
    ULONG out = 0xDEAD;
    if (size == 0) {
        EXPECT_EQ(E_INVALIDARG, VartypeGetRawSize(vt, &out));
        EXPECT_EQ(0xDEADu, out);
    } else {
        EXPECT_EQ(S_OK, VartypeGetRawSize(vt, &out));
        EXPECT_EQ(size, out);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Types, RawSizeTable,
    ::testing::Values(std::tuple{VARTYPE{VT_I2}, 2u}, std::tuple{VARTYPE{VT_I4}, 4u}, std::tuple{VARTYPE{VT_R4}, 4u},
                      std::tuple{VARTYPE{VT_R8}, 8u}, std::tuple{VARTYPE{VT_BOOL}, 1u}, std::tuple{VARTYPE{VT_I1}, 1u},
                      std::tuple{VARTYPE{VT_UI1}, 1u}, std::tuple{VARTYPE{VT_UI2}, 2u}, std::tuple{VARTYPE{VT_UI4}, 4u},
                      std::tuple{VARTYPE{VT_I8}, 8u}, std::tuple{VARTYPE{VT_UI8}, 8u}, std::tuple{VARTYPE{VT_INT}, 4u},
                      std::tuple{VARTYPE{VT_UINT}, 4u}, std::tuple{VARTYPE{VT_EMPTY}, 0u},
                      std::tuple{VARTYPE{VT_CY}, 0u}, std::tuple{VARTYPE{VT_DATE}, 0u},
                      std::tuple{VARTYPE{VT_BSTR}, 0u}, std::tuple{VARTYPE{VT_ERROR}, 0u},
                      std::tuple{VARTYPE{VT_VARIANT}, 0u}, std::tuple{VARTYPE{VT_DECIMAL}, 0u},
                      std::tuple{VARTYPE{VT_INT_PTR}, 0u}, std::tuple{VARTYPE{VT_ARRAY | VT_I4}, 0u}));

TEST(VartypeGetRawSize_NullOut, IsRefused) { EXPECT_EQ(E_INVALIDARG, VartypeGetRawSize(VT_I4, nullptr)); }

class VartypeValidity : public ::testing::TestWithParam<std::tuple<VARTYPE, bool>> {};

TEST_P(VartypeValidity, FollowsTheVariantTypeRule) {
    const auto [vt, valid] = GetParam();
    EXPECT_EQ(valid, VartypeIsValid(vt)) << std::hex << vt;
}

INSTANTIATE_TEST_SUITE_P(
    Types, VartypeValidity,
    ::testing::Values(std::tuple{VARTYPE{0}, true}, std::tuple{VARTYPE{1}, true}, std::tuple{VARTYPE{14}, true},
                      std::tuple{VARTYPE{23}, true}, std::tuple{VARTYPE{36}, true},
                      std::tuple{VARTYPE{VT_ARRAY | VT_I4}, true},
                      std::tuple{VARTYPE{VT_BYREF | VT_ARRAY | VT_I4}, true},
                      std::tuple{VARTYPE{VT_BYREF | VT_RECORD}, true}, std::tuple{VARTYPE{15}, false},
                      std::tuple{VARTYPE{24}, false}, std::tuple{VARTYPE{37}, false}, std::tuple{VARTYPE{72}, false},
                      std::tuple{VARTYPE{VT_VECTOR | VT_I4}, false}, std::tuple{VARTYPE{VT_RESERVED | VT_I4}, false},
                      std::tuple{VARTYPE{VT_ARRAY | VT_EMPTY}, false}, std::tuple{VARTYPE{VT_BYREF | VT_NULL}, false},
                      std::tuple{VARTYPE{VT_ARRAY | 15}, false}));

// KindOf: each operation's order decides arrays with several kind bits, and
// the kind it picks counts only when the element size is that kind's.
struct KindCase {
    USHORT features;
    ULONG size;
    ElementKind release;
    ElementKind copy;
    ElementKind access;
};

class KindOrders : public ::testing::TestWithParam<KindCase> {};

TEST_P(KindOrders, FirstBitInTheOperationsOrderDecides) {
    const KindCase c = GetParam();
    SAFEARRAY sa{};
    sa.fFeatures = c.features;
    sa.cbElements = c.size;
    EXPECT_EQ(c.release, KindOf(sa, KindOrder::Release));
    EXPECT_EQ(c.copy, KindOf(sa, KindOrder::Copy));
    EXPECT_EQ(c.access, KindOf(sa, KindOrder::Access));
}

using EK = ElementKind;
INSTANTIATE_TEST_SUITE_P(
    Features, KindOrders,
    ::testing::Values(KindCase{0, 3, EK::Plain, EK::Plain, EK::Plain},
                      KindCase{FADF_HAVEVARTYPE | FADF_HAVEIID, 8, EK::Plain, EK::Plain, EK::Plain},
                      KindCase{FADF_VARIANT, 24, EK::Variant, EK::Variant, EK::Variant},
                      KindCase{FADF_BSTR, 8, EK::String, EK::String, EK::String},
                      KindCase{FADF_UNKNOWN, 8, EK::Interface, EK::Interface, EK::Interface},
                      KindCase{FADF_DISPATCH, 8, EK::Interface, EK::Interface, EK::Interface},
                      KindCase{FADF_RECORD, 32, EK::Record, EK::Record, EK::Record},
                      KindCase{FADF_RECORD, 0, EK::Record, EK::Record, EK::Record},
                      KindCase{FADF_VARIANT | FADF_BSTR, 24, EK::Mismatched, EK::Variant, EK::Variant},
                      KindCase{FADF_VARIANT | FADF_BSTR, 8, EK::String, EK::Mismatched, EK::Mismatched},
                      KindCase{FADF_VARIANT | FADF_UNKNOWN, 24, EK::Mismatched, EK::Variant, EK::Variant},
                      KindCase{FADF_RECORD | FADF_UNKNOWN, 8, EK::Interface, EK::Record, EK::Interface},
                      KindCase{FADF_RECORD | FADF_VARIANT, 24, EK::Variant, EK::Variant, EK::Variant},
                      KindCase{FADF_BSTR | FADF_DISPATCH, 8, EK::String, EK::String, EK::String},
                      KindCase{FADF_VARIANT, 8, EK::Mismatched, EK::Mismatched, EK::Mismatched},
                      KindCase{FADF_BSTR, 0, EK::Mismatched, EK::Mismatched, EK::Mismatched},
                      KindCase{FADF_UNKNOWN, 24, EK::Mismatched, EK::Mismatched, EK::Mismatched}));

TEST(DataSize_Overflow, IsReportedInsteadOfWrapping) {
    SAFEARRAY* psa = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAllocDescriptor(3, &psa));
    psa->cbElements = 24;
    psa->rgsabound[0] = {0xFFFFFFFF, 0};
    psa->rgsabound[1] = {0xFFFFFFFF, 0};
    psa->rgsabound[2] = {2, 0};
    EXPECT_FALSE(DataSize(*psa).has_value());
    psa->rgsabound[2] = {0, 0};  // an empty dimension empties the array
    EXPECT_EQ(0u, DataSize(*psa).value());
    psa->rgsabound[2] = {1, 0};
    psa->cbElements = 1;
    EXPECT_EQ(0xFFFFFFFE00000001ull, DataSize(*psa).value());
    EXPECT_EQ(0xFFFFFFFE00000001ull, SafeArrayElementCount(psa));
    psa->cbElements = 2;
    EXPECT_FALSE(DataSize(*psa).has_value());
    FreeBlock(psa);
}

TEST(AllocData_Sizes, ZeroesCountTimesSizeAndSkipsStaticAndInline) {
    SAFEARRAY* psa = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAllocDescriptorEx(VT_I2, 2, &psa));
    psa->rgsabound[0] = {3, 0};
    psa->rgsabound[1] = {5, 0};
    psa->pvData = reinterpret_cast<void*>(0x1);
    ASSERT_EQ(S_OK, SafeArrayAllocData(psa));
    for (int i = 0; i < 15; ++i) EXPECT_EQ(0, DataOf<SHORT>(psa)[i]);
    void* data = psa->pvData;
    psa->fFeatures |= FADF_STATIC;
    EXPECT_EQ(S_OK, SafeArrayAllocData(psa));
    psa->fFeatures = FADF_INLINE_DATA;
    EXPECT_EQ(S_OK, SafeArrayAllocData(psa));
    EXPECT_EQ(data, psa->pvData);
    std::free(data);
    psa->fFeatures = 0;
    {
        AllocationFailure failure(1, false);
        EXPECT_EQ(E_OUTOFMEMORY, SafeArrayAllocData(psa));
    }
    EXPECT_EQ(nullptr, psa->pvData);
    psa->rgsabound[0] = {0xFFFFFFFF, 0};
    psa->rgsabound[1] = {0xFFFFFFFF, 0};
    psa->cbElements = 0x7FFFFFFF;
    EXPECT_EQ(E_OUTOFMEMORY, SafeArrayAllocData(psa));
    EXPECT_EQ(nullptr, psa->pvData);
    EXPECT_EQ(E_INVALIDARG, SafeArrayAllocData(nullptr));
    FreeBlock(psa);
}

TEST(Accessors_Null, AnswerZeroOrInvalidArgument) {
    VARTYPE vt = 77;
    GUID iid{};
    EXPECT_EQ(0u, SafeArrayGetDim(nullptr));
    EXPECT_EQ(0u, SafeArrayGetElemsize(nullptr));
    EXPECT_EQ(0u, SafeArrayElementCount(nullptr));
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetVartype(nullptr, &vt));
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetElementVartype(nullptr, &vt));
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetIID(nullptr, &iid));
    EXPECT_EQ(E_INVALIDARG, SafeArraySetIID(nullptr, kOtherIid));
    EXPECT_EQ(77, vt);
}

struct VartypeCase {
    USHORT features;
    std::uint32_t word;
    HRESULT status;
    VARTYPE vt;
};

class GetVartypeRules : public ::testing::TestWithParam<VartypeCase> {};

TEST_P(GetVartypeRules, FirstMatchingFeatureDecides) {
    const VartypeCase c = GetParam();
    SAFEARRAY* psa = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAllocDescriptor(1, &psa));
    psa->fFeatures = c.features;
    std::memcpy(const_cast<unsigned char*>(BlockOf(psa)) + 12, &c.word, 4);
    VARTYPE vt = 0xBEEF, vt2 = 0xBEEF;
    EXPECT_EQ(c.status, SafeArrayGetVartype(psa, &vt));
    EXPECT_EQ(c.status, SafeArrayGetElementVartype(psa, &vt2));
    EXPECT_EQ(c.vt, vt);
    EXPECT_EQ(c.vt, vt2);
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetVartype(psa, nullptr));
    FreeBlock(psa);
}

INSTANTIATE_TEST_SUITE_P(Features, GetVartypeRules,
                         ::testing::Values(VartypeCase{FADF_HAVEVARTYPE, 0x00030003, S_OK, VT_I4},  // low 16 bits only
                                           VartypeCase{FADF_HAVEIID, 0, S_OK, VT_UNKNOWN},
                                           VartypeCase{FADF_HAVEIID | FADF_DISPATCH, 0, S_OK, VT_DISPATCH},
                                           VartypeCase{FADF_DISPATCH, 0, E_INVALIDARG, 0xBEEF},
                                           VartypeCase{FADF_HAVEIID | FADF_RECORD, 0, S_OK, VT_RECORD},
                                           VartypeCase{FADF_RECORD | FADF_HAVEVARTYPE, 8, S_OK, VT_RECORD},
                                           VartypeCase{FADF_BSTR, 8, E_INVALIDARG, 0xBEEF}));

TEST(SetIID_InterfaceArrays, ReplacesThePrefixAndKeepsTheType) {
    SAFEARRAYBOUND bound{2, 0};
    ArrayPtr disp(SafeArrayCreate(VT_DISPATCH, 1, &bound));
    ArrayPtr ints(SafeArrayCreate(VT_I4, 1, &bound));
    ASSERT_TRUE(disp && ints);
    EXPECT_EQ(E_INVALIDARG, SafeArraySetIID(ints.get(), kOtherIid));
    EXPECT_EQ(3u, PrefixWord(ints.get()));
    EXPECT_EQ(S_OK, SafeArraySetIID(disp.get(), kOtherIid));
    GUID iid{};
    EXPECT_EQ(S_OK, SafeArrayGetIID(disp.get(), &iid));
    EXPECT_EQ(kOtherIid, iid);
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetIID(disp.get(), nullptr));
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetIID(ints.get(), &iid));
    VARTYPE vt = 0;
    EXPECT_EQ(S_OK, SafeArrayGetVartype(disp.get(), &vt));
    EXPECT_EQ(VT_DISPATCH, vt);
    EXPECT_EQ(1u, SafeArrayGetDim(disp.get()));
    EXPECT_EQ(8u, SafeArrayGetElemsize(disp.get()));
}

}  // namespace
