#include <cstring>

#include <gtest/gtest.h>

#include "automation/automation.h"
#include "support/array_testing.h"
#include "support/fault_injection.h"
#include "support/manual_array.h"
#include "support/variant_values.h"

namespace {

using zentrel::test::Typed;

using zentrel::test::AllocationFailure;
using zentrel::test::ManualArray;

struct RawCase {
    VARTYPE vt;
    ULONG size;
};

// The eleven plain scalar types that have raw data, with their raw sizes.
const RawCase kRawTypes[] = {{VT_I2, 2},  {VT_I4, 4},  {VT_R4, 4},  {VT_R8, 8}, {VT_BOOL, 1}, {VT_I1, 1},
                             {VT_UI1, 1}, {VT_UI2, 2}, {VT_UI4, 4}, {VT_I8, 8}, {VT_UI8, 8}};

class RawData_Scalars : public ::testing::TestWithParam<RawCase> {};

TEST_P(RawData_Scalars, ValueFieldOrReferencedStorage) {
    const RawCase c = GetParam();
    VARIANT v = Typed(c.vt);
    ULONG size = 0;
    void* data = nullptr;
    ASSERT_EQ(S_OK, VariantGetRawData(&v, &size, &data));
    EXPECT_EQ(c.size, size);
    EXPECT_EQ(static_cast<void*>(&v.llVal), data);

    std::uint64_t storage = 0;
    v.vt = VT_BYREF | c.vt;
    v.byref = &storage;
    ASSERT_EQ(S_OK, VariantGetRawData(&v, &size, &data));
    EXPECT_EQ(c.size, size);
    EXPECT_EQ(static_cast<void*>(&storage), data);
}

TEST_P(RawData_Scalars, ArrayDataOfEachElementType) {
    const RawCase c = GetParam();
    const SAFEARRAYBOUND bounds[] = {{2, 0}, {3, 0}};
    VARIANT v = Typed(VT_ARRAY | c.vt);
    v.parray = SafeArrayCreate(c.vt, 2, bounds);
    ULONG size = 0;
    void* data = nullptr;
    ASSERT_EQ(S_OK, VariantGetRawData(&v, &size, &data));
    EXPECT_EQ(6 * v.parray->cbElements, size);  // the array's element size: 2 for VT_BOOL
    EXPECT_EQ(v.parray->pvData, data);

    VARIANT ref = Typed(VT_BYREF | VT_ARRAY | c.vt);
    ref.pparray = &v.parray;
    ASSERT_EQ(S_OK, VariantGetRawData(&ref, &size, &data));
    EXPECT_EQ(v.parray->pvData, data);
    VariantClear(&v);
}

INSTANTIATE_TEST_SUITE_P(Types, RawData_Scalars, ::testing::ValuesIn(kRawTypes),
                         [](const auto& param) { return "vt" + std::to_string(param.param.vt); });

TEST(RawData_Refused, TypesWithoutRawData) {
    for (VARTYPE vt : std::initializer_list<VARTYPE>{
             VT_EMPTY, VT_NULL, VT_CY, VT_DATE, VT_ERROR, VT_DECIMAL, VT_VARIANT, VT_UNKNOWN, VT_DISPATCH, VT_RECORD,
             VT_INT_PTR, VT_VECTOR | VT_I4, VT_ARRAY | VT_BSTR, VT_ARRAY | VT_INT, VT_ARRAY | VT_UINT,
             VT_ARRAY | VT_VARIANT, VT_ARRAY | VT_I4, VT_BYREF | VT_ARRAY | VT_I4, VT_BYREF | VT_BSTR}) {
        VARIANT v = Typed(vt);  // null array and null references where the type has them
        ULONG size = 77;
        void* data = &size;
        EXPECT_EQ(E_INVALIDARG, VariantGetRawData(&v, &size, &data)) << vt;
        EXPECT_EQ(77u, size);
        EXPECT_EQ(static_cast<void*>(&size), data);
    }
    for (VARTYPE vt : std::initializer_list<VARTYPE>{VT_INT, VT_UINT}) {
        VARIANT v = Typed(vt);
        ULONG size = 77;
        void* data = &size;
        EXPECT_EQ(E_INVALIDARG, VariantGetRawData(&v, &size, &data));
        EXPECT_EQ(4u, size);
        EXPECT_EQ(static_cast<void*>(&size), data);
    }
    VARIANT v = Typed(VT_I4);
    ULONG size;
    void* data;
    EXPECT_EQ(E_INVALIDARG, VariantGetRawData(nullptr, &size, &data));
    EXPECT_EQ(E_INVALIDARG, VariantGetRawData(&v, nullptr, &data));
    EXPECT_EQ(E_INVALIDARG, VariantGetRawData(&v, &size, nullptr));
}

TEST(RawData_Strings, TheCharactersAndTheLengthPrefix) {
    BSTR text = SysAllocStringLen("ab\0c", 4);
    for (VARTYPE vt :
         std::initializer_list<VARTYPE>{VT_BSTR, VT_VECTOR | VT_BSTR}) {  // other flag bits are not looked at
        VARIANT v = Typed(vt);
        v.bstrVal = text;
        ULONG size = 0;
        void* data = nullptr;
        ASSERT_EQ(S_OK, VariantGetRawData(&v, &size, &data));
        EXPECT_EQ(static_cast<void*>(text), data);
        EXPECT_EQ(4u, size);
    }
    VARIANT ref = Typed(VT_BYREF | VT_BSTR);
    ref.pbstrVal = &text;
    ULONG size = 0;
    void* data = nullptr;
    ASSERT_EQ(S_OK, VariantGetRawData(&ref, &size, &data));
    EXPECT_EQ(static_cast<void*>(text), data);
    SysFreeString(text);

    VARIANT null = Typed(VT_BSTR);
    ASSERT_EQ(S_OK, VariantGetRawData(&null, &size, &data));
    EXPECT_EQ(nullptr, data);
    EXPECT_EQ(0u, size);
}

TEST(RawData_Arrays, SizeWrapsModulo2To32) {
    unsigned char storage[8];
    ManualArray huge(FADF_HAVEVARTYPE, 0x10000, storage, {{0x10001, 0}});
    VARIANT v = Typed(VT_ARRAY | VT_I4);  // the array's own element size counts
    v.parray = huge.get();
    ULONG size = 0;
    void* data = nullptr;
    ASSERT_EQ(S_OK, VariantGetRawData(&v, &size, &data));
    EXPECT_EQ(0x10000u, size);
    ASSERT_EQ(S_OK, SafeArrayGetRawData(huge.get(), &size, &data));
    EXPECT_EQ(0x10000u, size);
    EXPECT_EQ(static_cast<void*>(storage), data);
}

// A size beyond 64 bits describes no block: every raw view refuses it alike.
TEST(RawData_Arrays, SizeBeyondSixtyFourBitsIsRefused) {
    unsigned char storage[8];
    ManualArray huge(FADF_HAVEVARTYPE, 0x10000, storage, {{0xFFFFFFFF, 0}, {0xFFFFFFFF, 0}});
    VARIANT v = Typed(VT_ARRAY | VT_I4);
    v.parray = huge.get();
    ULONG size = 7;
    void* data = nullptr;
    SAFEARRAY* bytes = nullptr;
    EXPECT_EQ(E_INVALIDARG, VariantGetRawData(&v, &size, &data));
    EXPECT_EQ(E_INVALIDARG, ByteVectorFromVariant(&v, &bytes));
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetRawData(huge.get(), &size, &data));
    EXPECT_EQ(7u, size);
    EXPECT_EQ(nullptr, data);
    EXPECT_EQ(nullptr, bytes);
}

TEST(NormalizedRawData_Bool, TrueBecomesOne) {
    VARIANT v = Typed(VT_BOOL);
    v.boolVal = VARIANT_TRUE;
    ULONG size = 0;
    void* data = nullptr;
    ASSERT_EQ(S_OK, VariantGetNormalizedRawData(&v, &size, &data));
    EXPECT_EQ(1, v.boolVal);
    EXPECT_EQ(1u, size);
    EXPECT_EQ(1, *static_cast<unsigned char*>(data));

    v.boolVal = 0;
    ASSERT_EQ(S_OK, VariantGetNormalizedRawData(&v, &size, &data));
    EXPECT_EQ(0, v.boolVal);

    VARIANT_BOOL referenced = 2;
    VARIANT ref = Typed(VT_BYREF | VT_BOOL);
    ref.pboolVal = &referenced;
    ASSERT_EQ(S_OK, VariantGetNormalizedRawData(&ref, &size, &data));
    EXPECT_EQ(1, referenced);
    EXPECT_EQ(static_cast<void*>(&referenced), data);

    VARIANT number = Typed(VT_I2);
    number.iVal = -1;
    ASSERT_EQ(S_OK, VariantGetNormalizedRawData(&number, &size, &data));
    EXPECT_EQ(-1, number.iVal);
    ref.pboolVal = nullptr;  // nothing to normalise; the null address is the raw data
    ASSERT_EQ(S_OK, VariantGetNormalizedRawData(&ref, &size, &data));
    EXPECT_EQ(nullptr, data);
}

TEST(PrepareRawData_Vector, ElementCountFromTheRawSize) {
    const struct {
        VARTYPE vt;
        ULONG requested, elements, size;
    } cases[] = {{VT_ARRAY | VT_I4, 12, 3, 12}, {VT_ARRAY | VT_BOOL, 4, 4, 8}, {VT_ARRAY | VT_R8, 20, 2, 16}};
    for (const auto& c : cases) {
        VARIANT v;
        std::memset(&v, 0xAB, sizeof v);  // overwritten without being released
        ULONG size = c.requested;
        void* data = nullptr;
        ASSERT_EQ(S_OK, VariantPrepareRawData(&v, c.vt, &size, &data, nullptr, 0));
        EXPECT_EQ(c.vt, v.vt);
        ASSERT_NE(nullptr, v.parray);
        EXPECT_EQ(1u, v.parray->cDims);
        EXPECT_EQ(c.elements, v.parray->rgsabound[0].cElements);
        EXPECT_EQ(0, v.parray->rgsabound[0].lLbound);
        EXPECT_EQ(c.size, size);
        EXPECT_EQ(v.parray->pvData, data);
        for (ULONG i = 0; i < c.size; ++i) EXPECT_EQ(0, static_cast<unsigned char*>(data)[i]);
        VariantClear(&v);
    }
}

TEST(PrepareRawData_Bounds, ArrayOfTheCallersShape) {
    const SAFEARRAYBOUND bounds[] = {{2, 1}, {3, -1}};
    VARIANT v;
    ULONG size = 0;
    void* data = nullptr;
    ASSERT_EQ(S_OK, VariantPrepareRawData(&v, VT_ARRAY | VT_I2, &size, &data, bounds, 2));
    LONG lower = 0;
    ASSERT_EQ(S_OK, SafeArrayGetLBound(v.parray, 2, &lower));
    EXPECT_EQ(-1, lower);
    EXPECT_EQ(12u, size);
    EXPECT_EQ(v.parray->pvData, data);
    VariantClear(&v);

    // VT_INT passes the raw-size check, so the array is made, but it has no raw data.
    ASSERT_EQ(E_INVALIDARG, VariantPrepareRawData(&v, VT_ARRAY | VT_INT, &size, &data, bounds, 2));
    EXPECT_NE(nullptr, v.parray);
    VariantClear(&v);
    ASSERT_EQ(E_INVALIDARG, VariantPrepareRawData(&v, VT_ARRAY | VT_I4, &size, &data, bounds, 0));
    EXPECT_EQ(nullptr, v.parray);
}

TEST(PrepareRawData_Scalars, ZeroedValueField) {
    VARIANT v;
    std::memset(&v, 0xAB, sizeof v);
    ULONG size = 0;
    void* data = nullptr;
    ASSERT_EQ(S_OK, VariantPrepareRawData(&v, VT_I8, &size, &data, nullptr, 0));
    EXPECT_EQ(VT_I8, v.vt);
    EXPECT_EQ(0, v.llVal);
    EXPECT_EQ(nullptr, v.pRecInfo);
    EXPECT_EQ(8u, size);
    EXPECT_EQ(static_cast<void*>(&v.llVal), data);

    ASSERT_EQ(S_OK, VariantPrepareRawData(&v, VT_BSTR, &size, &data, nullptr, 0));
    EXPECT_EQ(nullptr, data);
    EXPECT_EQ(0u, size);

    size = 8;
    ASSERT_EQ(E_INVALIDARG, VariantPrepareRawData(&v, VT_ARRAY | VT_BSTR, &size, &data, nullptr, 0));
    EXPECT_EQ(VT_ARRAY | VT_BSTR, v.vt);
    EXPECT_EQ(nullptr, v.parray);
}

TEST(PrepareRawData_Refused, ByReferenceTypesAndNullPointers) {
    VARIANT v = Typed(VT_I2);
    v.iVal = 9;
    ULONG size = 4;
    void* data = nullptr;
    for (VARTYPE vt :
         std::initializer_list<VARTYPE>{VT_BYREF | VT_I4, VT_BYREF | VT_BSTR, VT_BYREF | VT_ARRAY | VT_I4}) {
        EXPECT_EQ(E_INVALIDARG, VariantPrepareRawData(&v, vt, &size, &data, nullptr, 0)) << vt;
        EXPECT_EQ(VT_I2, v.vt);
        EXPECT_EQ(9, v.iVal);
    }
    EXPECT_EQ(E_INVALIDARG, VariantPrepareRawData(nullptr, VT_I4, &size, &data, nullptr, 0));
    EXPECT_EQ(E_INVALIDARG, VariantPrepareRawData(&v, VT_I4, nullptr, &data, nullptr, 0));
    EXPECT_EQ(E_INVALIDARG, VariantPrepareRawData(&v, VT_I4, &size, nullptr, nullptr, 0));
}

TEST(PrepareRawData_Memory, AllocationFailureLeavesANullArray) {
    VARIANT v;
    ULONG size = 16;
    void* data = &data;
    {
        AllocationFailure failure(1, true);
        EXPECT_EQ(E_INVALIDARG, VariantPrepareRawData(&v, VT_ARRAY | VT_UI1, &size, &data, nullptr, 0));
    }
    EXPECT_EQ(VT_ARRAY | VT_UI1, v.vt);
    EXPECT_EQ(nullptr, v.parray);
    EXPECT_EQ(static_cast<void*>(&data), data);
}

TEST(ElementCount_OfArray, ProductOfAllDimensions) {
    const SAFEARRAYBOUND bounds[] = {{3, 0}, {4, 9}};
    zentrel::test::ArrayPtr array(SafeArrayCreate(VT_R4, 2, bounds));
    ULONG count = 0;
    ASSERT_EQ(S_OK, SafeArrayGetElementCount(array.get(), &count));
    EXPECT_EQ(12u, count);
    ULONG size = 0;
    void* data = nullptr;
    ASSERT_EQ(S_OK, SafeArrayGetRawData(array.get(), &size, &data));
    EXPECT_EQ(48u, size);
    EXPECT_EQ(array->pvData, data);

    ManualArray noDims(FADF_HAVEVARTYPE, 4, nullptr, {});
    ASSERT_EQ(S_OK, SafeArrayGetElementCount(noDims.get(), &count));
    EXPECT_EQ(0u, count);
    ManualArray wraps(FADF_HAVEVARTYPE, 1, nullptr, {{0x10000, 0}, {0x10001, 0}});
    ASSERT_EQ(S_OK, SafeArrayGetElementCount(wraps.get(), &count));
    EXPECT_EQ(0x10000u, count);

    EXPECT_EQ(E_INVALIDARG, SafeArrayGetElementCount(nullptr, &count));
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetElementCount(array.get(), nullptr));
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetRawData(nullptr, &size, &data));
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetRawData(array.get(), nullptr, &data));
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetRawData(array.get(), &size, nullptr));
}

}  // namespace
