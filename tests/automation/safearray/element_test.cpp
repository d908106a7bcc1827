#include "automation/safearray/element.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "automation/automation.h"
#include "support/array_testing.h"
#include "support/manual_array.h"

namespace {

using zentrel::test::ArrayPtr;
using zentrel::test::ManualArray;

std::uintptr_t Address(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

ArrayPtr Create(VARTYPE vt, std::vector<SAFEARRAYBOUND> bounds) {
    ArrayPtr array(SafeArrayCreate(vt, static_cast<UINT>(bounds.size()), bounds.data()));
    EXPECT_NE(nullptr, array);
    return array;
}

// ---------------------------------------------------------------------------
// Bounds

TEST(Bounds_Query, DimensionsAreNumberedInTheCallersOrder) {
    ArrayPtr array = Create(VT_I4, {{3, 1}, {4, 0}});
    LONG value = 99;
    ASSERT_EQ(S_OK, SafeArrayGetLBound(array.get(), 1, &value));
    EXPECT_EQ(1, value);
    ASSERT_EQ(S_OK, SafeArrayGetLBound(array.get(), 2, &value));
    EXPECT_EQ(0, value);
    ASSERT_EQ(S_OK, SafeArrayGetUBound(array.get(), 1, &value));
    EXPECT_EQ(3, value);
    ASSERT_EQ(S_OK, SafeArrayGetUBound(array.get(), 2, &value));
    EXPECT_EQ(3, value);

    value = 99;
    for (UINT bad : {0u, 3u, 0xFFFFFFFFu}) {
        EXPECT_EQ(E_INVALIDARG, SafeArrayGetLBound(array.get(), bad, &value)) << bad;
        EXPECT_EQ(E_INVALIDARG, SafeArrayGetUBound(array.get(), bad, &value)) << bad;
    }
    EXPECT_EQ(99, value);
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetLBound(nullptr, 1, &value));
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetUBound(nullptr, 1, &value));
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetLBound(array.get(), 1, nullptr));
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetUBound(array.get(), 1, nullptr));
}

TEST(Bounds_Query, UpperBoundWrapsIn32Bits) {
    ManualArray empty(FADF_HAVEVARTYPE, 4, nullptr, {{0, 5}, {0, INT_MIN}, {2, INT_MAX}});
    LONG value = 0;
    ASSERT_EQ(S_OK, SafeArrayGetUBound(empty.get(), 1, &value));
    EXPECT_EQ(4, value);  // an empty dimension ends one below its start
    ASSERT_EQ(S_OK, SafeArrayGetUBound(empty.get(), 2, &value));
    EXPECT_EQ(INT_MAX, value);
    ASSERT_EQ(S_OK, SafeArrayGetUBound(empty.get(), 3, &value));
    EXPECT_EQ(INT_MIN, value);
}

TEST(AccessData_Pointer, HandsOutDataWithoutLocking) {
    ArrayPtr array = Create(VT_I2, {{4, 0}});
    void* data = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAccessData(array.get(), &data));
    EXPECT_EQ(array->pvData, data);
    EXPECT_EQ(0u, array->cLocks);
    EXPECT_EQ(E_INVALIDARG, SafeArrayAccessData(nullptr, &data));
    EXPECT_EQ(E_INVALIDARG, SafeArrayAccessData(array.get(), nullptr));
}

// ---------------------------------------------------------------------------
// Index arithmetic

struct Shape {
    const char* name;
    std::vector<SAFEARRAYBOUND> bounds;  // caller's order
};

class Index_Shapes : public ::testing::TestWithParam<Shape> {};

// Visits every index tuple with the first dimension varying fastest, which is
// the storage order: the n-th tuple visited is flat index n.
template <class Visit>
void ForEachIndex(const std::vector<SAFEARRAYBOUND>& bounds, Visit visit) {
    std::vector<LONG> index;
    for (const auto& b : bounds) index.push_back(b.lLbound);
    for (std::uint64_t flat = 0;; ++flat) {
        visit(index, flat);
        std::size_t k = 0;
        while (k < bounds.size() && ++index[k] == bounds[k].lLbound + static_cast<LONG>(bounds[k].cElements)) {
            index[k] = bounds[k].lLbound;
            ++k;
        }
        if (k == bounds.size()) return;
    }
}

TEST_P(Index_Shapes, EveryPositionAddressesItsFlatIndex) {
    const Shape& shape = GetParam();
    ArrayPtr array = Create(VT_I4, shape.bounds);
    int visited = 0;
    ForEachIndex(shape.bounds, [&](const std::vector<LONG>& index, std::uint64_t flat) {
        void* element = nullptr;
        ASSERT_EQ(S_OK, SafeArrayPtrOfIndex(array.get(), index.data(), &element));
        EXPECT_EQ(Address(array->pvData) + 4 * flat, Address(element)) << flat;
        const LONG value = static_cast<LONG>(1000 + flat);
        ASSERT_EQ(S_OK, SafeArrayPutElement(array.get(), index.data(), const_cast<LONG*>(&value)));
        ++visited;
    });
    EXPECT_EQ(static_cast<int>(SafeArrayElementCount(array.get())), visited);
    ForEachIndex(shape.bounds, [&](const std::vector<LONG>& index, std::uint64_t flat) {
        LONG value = 0;
        ASSERT_EQ(S_OK, SafeArrayGetElement(array.get(), index.data(), &value));
        EXPECT_EQ(static_cast<LONG>(1000 + flat), value);
    });
}

TEST_P(Index_Shapes, EveryOutOfRangePositionIsRefusedWithoutWriting) {
    const Shape& shape = GetParam();
    ArrayPtr array = Create(VT_I4, shape.bounds);
    for (std::size_t k = 0; k < shape.bounds.size(); ++k) {
        const SAFEARRAYBOUND b = shape.bounds[k];
        for (LONG bad : {b.lLbound - 1, b.lLbound + static_cast<LONG>(b.cElements), INT_MIN, INT_MAX}) {
            std::vector<LONG> index;
            for (const auto& other : shape.bounds) index.push_back(other.lLbound);
            index[k] = bad;
            void* element = &array;
            LONG value = 7;
            EXPECT_EQ(DISP_E_BADINDEX, SafeArrayPtrOfIndex(array.get(), index.data(), &element)) << k << " " << bad;
            EXPECT_EQ(DISP_E_BADINDEX, SafeArrayGetElement(array.get(), index.data(), &value));
            EXPECT_EQ(DISP_E_BADINDEX, SafeArrayPutElement(array.get(), index.data(), &value));
            EXPECT_EQ(static_cast<void*>(&array), element);
            EXPECT_EQ(7, value);
        }
    }
    const std::vector<char> zero(4 * SafeArrayElementCount(array.get()), 0);
    EXPECT_EQ(0, std::memcmp(zero.data(), array->pvData, zero.size()));
}

INSTANTIATE_TEST_SUITE_P(Shapes, Index_Shapes,
                         ::testing::Values(Shape{"Vector", {{10, -5}}}, Shape{"VectorHighBase", {{3, 1000000}}},
                                           Shape{"TwoDims", {{3, 1}, {4, 0}}},
                                           Shape{"TwoDimsNegative", {{2, -7}, {5, -2}}},
                                           Shape{"ThreeDims", {{2, -1}, {3, 4}, {4, -100}}},
                                           Shape{"ThreeDimsSingle", {{1, 9}, {1, -9}, {5, 0}}}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(Index_Resolution, EmptyDimensionsAcceptNoIndex) {
    for (const auto& bounds :
         {std::vector<SAFEARRAYBOUND>{{0, 0}}, std::vector<SAFEARRAYBOUND>{{0, 3}, {2, 0}},
          std::vector<SAFEARRAYBOUND>{{2, 0}, {0, -1}}, std::vector<SAFEARRAYBOUND>{{2, 0}, {3, 0}, {0, 5}}}) {
        ArrayPtr array = Create(VT_I2, bounds);
        std::vector<LONG> index;
        for (const auto& b : bounds) index.push_back(b.lLbound);
        void* element = nullptr;
        EXPECT_EQ(DISP_E_BADINDEX, SafeArrayPtrOfIndex(array.get(), index.data(), &element));
        EXPECT_EQ(nullptr, element);
    }
}

TEST(Index_Resolution, NullArgumentsNoDimensionsAndNoStorageAreInvalid) {
    ArrayPtr array = Create(VT_I4, {{2, 0}});
    const LONG index[] = {0};
    LONG value = 0;
    void* element = nullptr;
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetElement(nullptr, index, &value));
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetElement(array.get(), nullptr, &value));
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetElement(array.get(), index, nullptr));
    EXPECT_EQ(E_INVALIDARG, SafeArrayPutElement(nullptr, index, &value));
    EXPECT_EQ(E_INVALIDARG, SafeArrayPutElement(array.get(), nullptr, &value));
    EXPECT_EQ(E_INVALIDARG, SafeArrayPutElement(array.get(), index, nullptr));  // plain elements read pv
    EXPECT_EQ(E_INVALIDARG, SafeArrayPtrOfIndex(nullptr, index, &element));
    EXPECT_EQ(E_INVALIDARG, SafeArrayPtrOfIndex(array.get(), nullptr, &element));
    EXPECT_EQ(E_INVALIDARG, SafeArrayPtrOfIndex(array.get(), index, nullptr));

    LONG storage[2] = {};
    ManualArray noDims(FADF_HAVEVARTYPE, 4, storage, {});
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetElement(noDims.get(), index, &value));
    EXPECT_EQ(E_INVALIDARG, SafeArrayPutElement(noDims.get(), index, &value));
    EXPECT_EQ(E_INVALIDARG, SafeArrayPtrOfIndex(noDims.get(), index, &element));

    ManualArray noData(FADF_HAVEVARTYPE, 4, nullptr, {{2, 0}});
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetElement(noData.get(), index, &value));
    EXPECT_EQ(E_INVALIDARG, SafeArrayPtrOfIndex(noData.get(), index, &element));
    EXPECT_EQ(nullptr, element);
    const LONG beyond[] = {2};  // a bad index is reported before the missing storage
    EXPECT_EQ(DISP_E_BADINDEX, SafeArrayGetElement(noData.get(), beyond, &value));
    EXPECT_EQ(DISP_E_BADINDEX, SafeArrayPtrOfIndex(noData.get(), beyond, &element));
}

TEST(Index_Resolution, ReleasedInlineDataIsNotReadAgain) {
    ArrayPtr vector(SafeArrayCreateVector(VT_BSTR, 0, 2));
    const LONG index[] = {1};
    BSTR text = SysAllocString("gone");
    ASSERT_EQ(S_OK, SafeArrayPutElement(vector.get(), index, &text));
    ASSERT_EQ(S_OK, SafeArrayDestroyData(vector.get()));  // frees the string, keeps the slot
    BSTR out = nullptr;
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetElement(vector.get(), index, &out));
    EXPECT_EQ(E_INVALIDARG, SafeArrayPutElement(vector.get(), index, &text));
    EXPECT_EQ(nullptr, out);
    SysFreeString(text);
}

TEST(Index_Resolution, IndicesReachTheTopOfTheLongRange) {
    ArrayPtr top(SafeArrayCreateVector(VT_I4, INT_MAX, 1));
    const LONG last[] = {INT_MAX};
    void* element = nullptr;
    ASSERT_EQ(S_OK, SafeArrayPtrOfIndex(top.get(), last, &element));
    EXPECT_EQ(top->pvData, element);

    unsigned char storage[8];
    ManualArray wide(FADF_HAVEVARTYPE, 1, storage, {{0xFFFFFFFFu, -10}});
    ASSERT_EQ(S_OK, SafeArrayPtrOfIndex(wide.get(), last, &element));
    EXPECT_EQ(Address(storage) + 0x8000'0009u, Address(element));
}

// Descriptors of more than 2^32 elements over a small buffer: only addresses
// are computed, nothing is read.
TEST(Index_Resolution, FlatIndexBeyond32BitsAddressesTheRightElement) {
    unsigned char storage[16];
    ManualArray bytes(FADF_HAVEVARTYPE, 1, storage, {{0x10000, 0}, {0x10001, 0}});
    const struct {
        LONG i0, i1;
        std::uint64_t flat;
    } cases[] = {{0, 0x10000, 0x1'0000'0000}, {5, 0x10000, 0x1'0000'0005}, {0xFFFF, 0xFFFF, 0xFFFF'FFFF}};
    for (const auto& c : cases) {
        const LONG index[] = {c.i0, c.i1};
        void* element = nullptr;
        ASSERT_EQ(S_OK, SafeArrayPtrOfIndex(bytes.get(), index, &element));
        EXPECT_EQ(Address(storage) + c.flat, Address(element)) << c.i0 << "," << c.i1;
    }

    ManualArray wide(FADF_VARIANT | FADF_HAVEVARTYPE, 24, storage, {{7, -3}, {0x100000, 0}, {0x1000, 100}});
    const LONG index[] = {3, 0xFFFFF, 100 + 0xFFF};
    const std::uint64_t flat = 6 + 7ull * 0xFFFFF + 7ull * 0x100000 * 0xFFF;
    void* element = nullptr;
    ASSERT_EQ(S_OK, SafeArrayPtrOfIndex(wide.get(), index, &element));
    EXPECT_EQ(Address(storage) + 24 * flat, Address(element));
}

}  // namespace
