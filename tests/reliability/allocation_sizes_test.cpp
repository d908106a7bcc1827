// The exact size of every block whose size callers may rely on: strings of
// n + 5 bytes, descriptor blocks of (cDims - 1) x 8 + 48 bytes, vectors of
// 48 + n x element size, byte vectors of 48 + n, data blocks of element count x
// element size, copies sized as their source. The testing runtime's seam
// records every request, so the sizes are seen exactly, whatever the allocator
// rounds them to; each row lists the requests one operation makes, in order.
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "automation/automation.h"
#include "support/fault_injection.h"
#include "support/variant_values.h"

namespace {

using zentrel::test::SeamRequests;
using Sizes = std::vector<std::uint64_t>;

struct Row {
    const char* name;
    // Sets up, runs the operation between `start` and `stop`, cleans up.
    std::function<void(const std::function<void()>& start, const std::function<void()>& stop)> run;
    Sizes expected;
};

class AllocationSizes : public ::testing::TestWithParam<Row> {};

TEST_P(AllocationSizes, AreExactlyTheDocumentedOnes) {
    std::optional<SeamRequests> requests;
    Sizes seen;
    GetParam().run([&] { requests.emplace(); }, [&] { seen = requests->Sizes(); });
    EXPECT_EQ(seen, GetParam().expected);
}

SAFEARRAY* Create(VARTYPE vt, std::initializer_list<SAFEARRAYBOUND> bounds) {
    return SafeArrayCreate(vt, static_cast<UINT>(bounds.size()), bounds.begin());
}

template <class Make>
Row Creates(const char* name, Make make, Sizes expected) {
    return {name,
            [make](auto& start, auto& stop) {
                start();
                SAFEARRAY* psa = make();
                stop();
                EXPECT_NE(psa, nullptr);
                SafeArrayDestroy(psa);
            },
            std::move(expected)};
}

// A descriptor straight from the allocators holds no elements yet.
void DiscardDescriptor(SAFEARRAY* psa) {
    psa->fFeatures = 0;
    psa->pvData = nullptr;
    EXPECT_EQ(SafeArrayDestroyDescriptor(psa), S_OK);
}

Row Descriptor(const char* name, UINT cDims, std::uint64_t expected) {
    return {name,
            [cDims](auto& start, auto& stop) {
                SAFEARRAY* psa = nullptr;
                start();
                EXPECT_EQ(SafeArrayAllocDescriptor(cDims, &psa), S_OK);
                stop();
                DiscardDescriptor(psa);
                psa = nullptr;
                start();
                EXPECT_EQ(SafeArrayAllocDescriptorEx(VT_I4, cDims, &psa), S_OK);
                stop();
                DiscardDescriptor(psa);
            },
            {expected}};
}

template <class Make>
Row String(const char* name, Make make, std::uint64_t expected) {
    return {name,
            [make](auto& start, auto& stop) {
                BSTR s = SysAllocString("old");
                start();
                make(&s);
                stop();
                EXPECT_NE(s, nullptr);
                SysFreeString(s);
            },
            {expected}};
}

template <class Copy>
Row Copies(const char* name, std::function<SAFEARRAY*()> make, Copy copy, Sizes expected) {
    return {name,
            [make, copy](auto& start, auto& stop) {
                SAFEARRAY* source = make();
                SAFEARRAY* result = nullptr;
                start();
                EXPECT_EQ(copy(source, &result), S_OK);
                stop();
                SafeArrayDestroy(result);
                SafeArrayDestroy(source);
            },
            std::move(expected)};
}

SAFEARRAY* TwoStrings() {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 2);
    static_cast<BSTR*>(psa->pvData)[0] = SysAllocString("ab");
    static_cast<BSTR*>(psa->pvData)[1] = SysAllocString("cde");
    return psa;
}

const Row kRows[] = {
    String(
        "SysAllocString", [](BSTR* s) { SysFreeString(*s), *s = SysAllocString("abc"); }, 8),
    String(
        "SysAllocStringEmpty", [](BSTR* s) { SysFreeString(*s), *s = SysAllocString(""); }, 5),
    String(
        "SysAllocStringLen", [](BSTR* s) { SysFreeString(*s), *s = SysAllocStringLen("abcdef", 6); }, 11),
    String(
        "SysAllocStringByteLen", [](BSTR* s) { SysFreeString(*s), *s = SysAllocStringByteLen(nullptr, 2); }, 7),
    String(
        "SysReAllocString", [](BSTR* s) { EXPECT_EQ(SysReAllocString(s, "hello"), TRUE); }, 10),
    String(
        "SysReAllocStringLen", [](BSTR* s) { EXPECT_EQ(SysReAllocStringLen(s, "hello", 3), TRUE); }, 8),
    {"VariantCopyOfString",
     [](auto& start, auto& stop) {
         VARIANT source = zentrel::test::String("a\0cd", 4);
         VARIANT copy{};
         start();
         EXPECT_EQ(VariantCopy(&copy, &source), S_OK);
         stop();
         VariantClear(&copy);
         VariantClear(&source);
     },
     {6}},  // copied up to the first NUL
    Descriptor("Descriptor1", 1, 48),
    Descriptor("Descriptor2", 2, 56),
    Descriptor("Descriptor3", 3, 64),
    Descriptor("Descriptor4", 4, 72),
    Descriptor("Descriptor65535", 65535, 65534u * 8 + 48),
    Creates("CreateTwoDimensions",
            [] {
                return Create(VT_I4, {{3, 1}, {4, 0}});
            },
            {56, 48}),
    Creates("CreateThreeDimensions",
            [] {
                return Create(VT_VARIANT, {{2, 0}, {3, 0}, {4, 0}});
            },
            {64, 24 * 24}),
    Creates("CreateBool",
            [] {
                return Create(VT_BOOL, {{5, 0}});
            },
            {48, 10}),
    Creates("VectorI4", [] { return SafeArrayCreateVector(VT_I4, 0, 5); }, {48 + 5 * 4}),
    Creates("VectorVariant", [] { return SafeArrayCreateVector(VT_VARIANT, 3, 3); }, {48 + 3 * 24}),
    Creates("VectorBool", [] { return SafeArrayCreateVector(VT_BOOL, 0, 3); }, {48 + 3 * 2}),
    Creates("VectorEmpty", [] { return SafeArrayCreateVector(VT_R8, 0, 0); }, {48}),
    Creates("VectorUI1", [] { return SafeArrayCreateVector(VT_UI1, 0, 10); }, {58}),
    Creates("ByteVectorFromBytes",
            [] {
                SAFEARRAY* psa = nullptr;
                EXPECT_EQ(ByteVectorFromBytes("1234567", 7, &psa), S_OK);
                return psa;
            },
            {55}),
    {"ByteVectorFromBstr",
     [](auto& start, auto& stop) {
         BSTR text = SysAllocString("abc");
         SAFEARRAY* psa = nullptr;
         start();
         EXPECT_EQ(ByteVectorFromBstr(text, &psa), S_OK);
         stop();
         SafeArrayDestroy(psa);
         SysFreeString(text);
     },
     {51}},
    {"AllocData",
     [](auto& start, auto& stop) {
         SAFEARRAY* psa = nullptr;
         EXPECT_EQ(SafeArrayAllocDescriptorEx(VT_R8, 2, &psa), S_OK);
         psa->pvData = nullptr;
         psa->rgsabound[0] = {5, 0};
         psa->rgsabound[1] = {7, 0};
         start();
         EXPECT_EQ(SafeArrayAllocData(psa), S_OK);
         stop();
         SafeArrayDestroy(psa);
     },
     {5 * 7 * 8}},
    Copies("CopyTwoDimensions",
           [] {
               return Create(VT_I4, {{3, 1}, {4, 0}});
           },
           SafeArrayCopy, {56, 48}),
    Copies("CopyVector", [] { return SafeArrayCreateVector(VT_I4, 0, 5); }, SafeArrayCopy, {48, 20}),
    Copies("CopyStrings", TwoStrings, SafeArrayCopy, {48, 16, 7, 8}),
    {"RedimGrow",
     [](auto& start, auto& stop) {
         SAFEARRAY* psa = Create(VT_I4, {{2, 0}});
         const SAFEARRAYBOUND bigger{5, 0};
         start();
         EXPECT_EQ(SafeArrayRedim(psa, &bigger), S_OK);
         stop();
         SafeArrayDestroy(psa);
     },
     {20}},
    {"VariantToStringAlloc",
     [](auto& start, auto& stop) {
         VARIANT v = zentrel::test::String("abc");
         char* text = nullptr;
         wchar_t* wide = nullptr;
         start();
         EXPECT_EQ(VariantToStringAlloc(&v, &text), S_OK);
         EXPECT_EQ(VariantToWideStringAlloc(&v, &wide), S_OK);
         stop();
         std::free(text);
         std::free(wide);
         VariantClear(&v);
     },
     // Each read converts to VT_BSTR through the two temporaries of a type
     // change (three string copies of 3 + 5 bytes), then hands out n + 1 bytes,
     // or (n + 1) x 4 for wide text.
     {8, 8, 8, 4, 8, 8, 8, 4 * sizeof(wchar_t)}},
};

INSTANTIATE_TEST_SUITE_P(Operations, AllocationSizes, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

}  // namespace
