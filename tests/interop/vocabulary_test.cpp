#include "interop/vocabulary.h"

#include <array>
#include <cstring>

#include <gtest/gtest.h>

namespace {

TEST(Vocabulary_VariantInit, ZeroesAll24BytesWhateverTheyHeld) {
    VARIANT v;
    std::memset(&v, 0xFF, sizeof v);
    VariantInit(&v);
    const std::array<unsigned char, 24> zeros{};
    EXPECT_EQ(0, std::memcmp(&v, zeros.data(), sizeof v));
    EXPECT_EQ(VT_EMPTY, v.vt);
}

TEST(Vocabulary_StatusCodes, EveryFailureIsNegativeAndOnlySuccessIsNot) {
    for (HRESULT hr : {E_NOTIMPL, E_NOINTERFACE, E_POINTER, E_FAIL, DISP_E_TYPEMISMATCH, DISP_E_BADVARTYPE,
                       DISP_E_BADINDEX, DISP_E_ARRAYISLOCKED, E_OUTOFMEMORY, E_INVALIDARG}) {
        EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    }
    EXPECT_TRUE(SUCCEEDED(S_OK));
    EXPECT_EQ(static_cast<std::uint32_t>(DISP_E_BADINDEX), 0x8002000Bu);
    EXPECT_EQ(static_cast<std::uint32_t>(E_OUTOFMEMORY), 0x8007000Eu);
}

TEST(Vocabulary_TypeCodes, FlagsAndBaseTypesSplitAsDocumented) {
    EXPECT_EQ(VT_UI1, (VT_ARRAY | VT_UI1) & VT_TYPEMASK);
    EXPECT_EQ(0x2011, VT_ARRAY | VT_UI1);
    EXPECT_EQ(VT_VARIANT, 0x400C & VT_TYPEMASK);
    EXPECT_NE(0, 0x400C & VT_BYREF);
    EXPECT_EQ(0xFFFF, static_cast<std::uint16_t>(VARIANT_TRUE));
}

TEST(Vocabulary_Identifiers, StoredBytesAreLittleEndianThenData4) {
    const unsigned char expected[16] = {0x20, 0xB1, 0xF2, 0x1C, 0x7D, 0x54, 0x1B, 0x10,
                                        0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19};
    EXPECT_EQ(0, std::memcmp(&IID_IErrorInfo, expected, 16));
    EXPECT_FALSE(IID_IUnknown == IID_IDispatch);
    EXPECT_TRUE(IsEqualIID(IID_ICreateErrorInfo, IID_ICreateErrorInfo));
}

}  // namespace
