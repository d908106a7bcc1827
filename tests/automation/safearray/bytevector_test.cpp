#include "automation/safearray/bytevector.h"

#include <array>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "automation/automation.h"
#include "support/array_testing.h"
#include "support/fault_injection.h"
#include "support/manual_array.h"

namespace {

using zentrel::test::AllocationFailure;
using zentrel::test::ArrayPtr;
using zentrel::test::FailureMode;
using zentrel::test::ManualArray;
using zentrel::test::SweepAllocationFailures;

const unsigned char* Block(const SAFEARRAY* psa) { return reinterpret_cast<const unsigned char*>(psa) - 16; }

// The whole block of a byte vector holding `data`, with pvData at block + 48.
std::vector<unsigned char> ExpectedBlock(const unsigned char* block, const void* data, ULONG count) {
    std::vector<unsigned char> expected(48 + count, 0);
    const std::uint64_t word = 0x2080000100000011ull;  // VT_UI1, cDims 1, features 0x2080
    std::memcpy(&expected[12], &word, 8);
    const ULONG elementSize = 1;
    std::memcpy(&expected[20], &elementSize, 4);
    const unsigned char* pvData = block + 48;
    std::memcpy(&expected[32], &pvData, 8);
    std::memcpy(&expected[40], &count, 4);
    if (count != 0) std::memcpy(&expected[48], data, count);
    return expected;
}

void ExpectByteVector(const SAFEARRAY* psa, const void* data, ULONG count) {
    ASSERT_NE(nullptr, psa);
    const unsigned char* block = Block(psa);
    const std::vector<unsigned char> expected = ExpectedBlock(block, data, count);
    EXPECT_EQ(0, std::memcmp(expected.data(), block, expected.size()));
}

TEST(ByteVector_Layout, ExactBlockForEveryBuilder) {
    const char bytes[] = {'a', 0, 'b', char(0xFF)};
    SAFEARRAY* psa = nullptr;
    ASSERT_EQ(S_OK, ByteVectorFromBytes(bytes, 4, &psa));
    ExpectByteVector(psa, bytes, 4);
    std::uint64_t word;
    std::memcpy(&word, Block(psa) + 12, 8);
    EXPECT_EQ(0x2080000100000011ull, word);
    SafeArrayDestroy(psa);

    BSTR text = SysAllocStringLen(bytes, 4);
    ASSERT_EQ(S_OK, VectorFromBstr(text, &psa));
    ExpectByteVector(psa, bytes, 4);
    SafeArrayDestroy(psa);
    ASSERT_EQ(S_OK, ByteVectorFromBstr(text, &psa));
    ExpectByteVector(psa, bytes, 4);
    SafeArrayDestroy(psa);
    SysFreeString(text);

    // The same object SafeArrayCreateVector makes for VT_UI1 from 0.
    ArrayPtr created(SafeArrayCreateVector(VT_UI1, 0, 4));
    std::memcpy(created->pvData, bytes, 4);
    ExpectByteVector(created.get(), bytes, 4);
}

TEST(ByteVector_FromBstr, NullAndEmptyStrings) {
    SAFEARRAY* psa = nullptr;
    ASSERT_EQ(S_OK, VectorFromBstr(nullptr, &psa));
    ExpectByteVector(psa, nullptr, 0);
    SafeArrayDestroy(psa);
    EXPECT_EQ(E_INVALIDARG, VectorFromBstr(nullptr, nullptr));

    psa = reinterpret_cast<SAFEARRAY*>(&psa);
    EXPECT_EQ(E_INVALIDARG, ByteVectorFromBstr(nullptr, &psa));
    EXPECT_EQ(E_POINTER, ByteVectorFromBstr(nullptr, nullptr));
    BSTR text = SysAllocString("x");
    EXPECT_EQ(E_POINTER, ByteVectorFromBstr(text, nullptr));
    SysFreeString(text);
    EXPECT_EQ(reinterpret_cast<SAFEARRAY*>(&psa), psa);
}

TEST(ByteVector_FromBytes, ArgumentsAndEmptyBlock) {
    SAFEARRAY* psa = reinterpret_cast<SAFEARRAY*>(&psa);
    const char byte = 'q';
    EXPECT_EQ(E_POINTER, ByteVectorFromBytes(&byte, 1, nullptr));
    EXPECT_EQ(E_INVALIDARG, ByteVectorFromBytes(nullptr, 1, &psa));
    EXPECT_EQ(reinterpret_cast<SAFEARRAY*>(&psa), psa);
    ASSERT_EQ(S_OK, ByteVectorFromBytes(&byte, 0, &psa));
    ExpectByteVector(psa, nullptr, 0);
    SafeArrayDestroy(psa);
}

TEST(ByteVector_RoundTrip, EveryByteValueSurvives) {
    std::array<char, 512> bytes;
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
    BSTR text = SysAllocStringLen(bytes.data(), bytes.size());
    SAFEARRAY* psa = nullptr;
    ASSERT_EQ(S_OK, VectorFromBstr(text, &psa));
    BSTR back = nullptr;
    ASSERT_EQ(S_OK, BstrFromVector(psa, &back));
    ASSERT_EQ(bytes.size(), SysStringLen(back));
    EXPECT_EQ(0, std::memcmp(bytes.data(), back, bytes.size()));
    EXPECT_EQ(0, back[bytes.size()]);
    SysFreeString(back);
    SysFreeString(text);
    SafeArrayDestroy(psa);
}

TEST(BstrFromVector_Shape, OnlyOneDimensionalOneByteArrays) {
    BSTR out = reinterpret_cast<BSTR>(&out);
    EXPECT_EQ(E_INVALIDARG, BstrFromVector(nullptr, nullptr));
    EXPECT_EQ(E_INVALIDARG, BstrFromVector(nullptr, &out));
    EXPECT_EQ(nullptr, out);

    ArrayPtr shorts(SafeArrayCreateVector(VT_I2, 0, 2));
    out = reinterpret_cast<BSTR>(&out);
    EXPECT_EQ(E_INVALIDARG, BstrFromVector(shorts.get(), &out));
    EXPECT_EQ(nullptr, out);
    const SAFEARRAYBOUND bounds[] = {{2, 0}, {2, 0}};
    ArrayPtr square(SafeArrayCreate(VT_UI1, 2, bounds));
    EXPECT_EQ(E_INVALIDARG, BstrFromVector(square.get(), &out));

    ArrayPtr based(SafeArrayCreateVector(VT_I1, 7, 2));  // any one-byte type, any lower bound
    std::memcpy(based->pvData, "hi", 2);
    ASSERT_EQ(S_OK, BstrFromVector(based.get(), &out));
    EXPECT_STREQ("hi", out);
    EXPECT_EQ(2u, SysStringLen(out));
    SysFreeString(out);

    ArrayPtr empty(SafeArrayCreateVector(VT_UI1, 0, 0));
    out = reinterpret_cast<BSTR>(&out);
    EXPECT_EQ(E_OUTOFMEMORY, BstrFromVector(empty.get(), &out));
    EXPECT_EQ(nullptr, out);

    ManualArray noData(FADF_HAVEVARTYPE, 1, nullptr, {{3, 0}});
    ASSERT_EQ(S_OK, BstrFromVector(noData.get(), &out));
    ASSERT_EQ(3u, SysStringLen(out));
    EXPECT_EQ(0, std::memcmp("\0\0\0", out, 4));
    SysFreeString(out);
}

TEST(ByteVector_FromVariant, RawBytesOfTheValue) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = 0x04030201;
    SAFEARRAY* psa = nullptr;
    ASSERT_EQ(S_OK, ByteVectorFromVariant(&v, &psa));
    ExpectByteVector(psa, "\x01\x02\x03\x04", 4);
    SafeArrayDestroy(psa);

    v.vt = VT_BOOL;
    v.boolVal = VARIANT_TRUE;
    ASSERT_EQ(S_OK, ByteVectorFromVariant(&v, &psa));
    ExpectByteVector(psa, "\xFF", 1);
    SafeArrayDestroy(psa);

    v.vt = VT_ARRAY | VT_I2;
    v.parray = SafeArrayCreateVector(VT_I2, 0, 2);
    static_cast<SHORT*>(v.parray->pvData)[1] = 0x0605;
    ASSERT_EQ(S_OK, ByteVectorFromVariant(&v, &psa));
    ExpectByteVector(psa, "\0\0\x05\x06", 4);
    SafeArrayDestroy(psa);
    VariantClear(&v);
}

TEST(ByteVector_FromVariant, NoRawDataOrNoAddress) {
    SAFEARRAY* psa = reinterpret_cast<SAFEARRAY*>(&psa);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    EXPECT_EQ(E_POINTER, ByteVectorFromVariant(&v, nullptr));
    EXPECT_EQ(E_INVALIDARG, ByteVectorFromVariant(nullptr, &psa));
    for (VARTYPE vt :
         std::initializer_list<VARTYPE>{VT_BSTR, VT_BYREF | VT_I4, VT_ARRAY | VT_UI1, VT_CY, VT_INT, VT_UNKNOWN}) {
        VariantInit(&v);  // null string, null reference, null array, types without raw data
        v.vt = vt;
        EXPECT_EQ(E_INVALIDARG, ByteVectorFromVariant(&v, &psa)) << vt;
    }
    ManualArray noData(FADF_HAVEVARTYPE, 1, nullptr, {{3, 0}});
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = noData.get();
    EXPECT_EQ(E_INVALIDARG, ByteVectorFromVariant(&v, &psa));
    EXPECT_EQ(reinterpret_cast<SAFEARRAY*>(&psa), psa);
}

TEST(ByteVector_Builders, AllocationFailure) {
    BSTR text = SysAllocString("abc");
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    SAFEARRAY* const untouched = reinterpret_cast<SAFEARRAY*>(&v);
    SAFEARRAY* out[4] = {untouched, untouched, untouched, untouched};
    ArrayPtr vector(SafeArrayCreateVector(VT_UI1, 0, 2));
    BSTR string = reinterpret_cast<BSTR>(&v);
    {
        AllocationFailure failure(1, true);
        EXPECT_EQ(E_OUTOFMEMORY, VectorFromBstr(text, &out[0]));
        EXPECT_EQ(E_OUTOFMEMORY, ByteVectorFromBstr(text, &out[1]));
        EXPECT_EQ(E_OUTOFMEMORY, ByteVectorFromBytes(text, 3, &out[2]));
        EXPECT_EQ(E_OUTOFMEMORY, ByteVectorFromVariant(&v, &out[3]));
        EXPECT_EQ(E_OUTOFMEMORY, BstrFromVector(vector.get(), &string));
    }
    EXPECT_EQ(nullptr, out[0]);
    EXPECT_EQ(untouched, out[1]);
    EXPECT_EQ(untouched, out[2]);
    EXPECT_EQ(untouched, out[3]);
    EXPECT_EQ(nullptr, string);
    SysFreeString(text);
}

}  // namespace
