// The values callers compile against. A changed constant compiles silently into
// every caller and breaks them at run time, so each one is pinned here, against
// the literal value, one table per family.
#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include "automation/automation.h"
#include "interop/interop.h"

namespace {

struct Constant {
    const char* name;
    std::int64_t value;
    std::int64_t expected;
};

void ExpectTable(std::initializer_list<Constant> table) {
    for (const Constant& c : table) EXPECT_EQ(c.value, c.expected) << c.name;
}

#define ZENTREL_CONSTANT(name, expected) \
    Constant { #name, static_cast < std::int64_t>(name), expected }

TEST(CallerConstants, StatusCodes) {
    ExpectTable({
        ZENTREL_CONSTANT(S_OK, 0),
        ZENTREL_CONSTANT(E_NOTIMPL, -2147467263),             // 0x80004001
        ZENTREL_CONSTANT(E_NOINTERFACE, -2147467262),         // 0x80004002
        ZENTREL_CONSTANT(E_POINTER, -2147467261),             // 0x80004003
        ZENTREL_CONSTANT(E_FAIL, -2147467259),                // 0x80004005
        ZENTREL_CONSTANT(DISP_E_TYPEMISMATCH, -2147352571),   // 0x80020005
        ZENTREL_CONSTANT(DISP_E_BADVARTYPE, -2147352568),     // 0x80020008
        ZENTREL_CONSTANT(DISP_E_BADINDEX, -2147352565),       // 0x8002000B
        ZENTREL_CONSTANT(DISP_E_ARRAYISLOCKED, -2147352563),  // 0x8002000D
        ZENTREL_CONSTANT(E_OUTOFMEMORY, -2147024882),         // 0x8007000E
        ZENTREL_CONSTANT(E_INVALIDARG, -2147024809),          // 0x80070057
        ZENTREL_CONSTANT(TRUE, 1),
        ZENTREL_CONSTANT(FALSE, 0),
    });
}

TEST(CallerConstants, TypeCodesAndFlags) {
    ExpectTable({
        ZENTREL_CONSTANT(VT_EMPTY, 0),
        ZENTREL_CONSTANT(VT_NULL, 1),
        ZENTREL_CONSTANT(VT_I2, 2),
        ZENTREL_CONSTANT(VT_I4, 3),
        ZENTREL_CONSTANT(VT_R4, 4),
        ZENTREL_CONSTANT(VT_R8, 5),
        ZENTREL_CONSTANT(VT_CY, 6),
        ZENTREL_CONSTANT(VT_DATE, 7),
        ZENTREL_CONSTANT(VT_BSTR, 8),
        ZENTREL_CONSTANT(VT_DISPATCH, 9),
        ZENTREL_CONSTANT(VT_ERROR, 10),
        ZENTREL_CONSTANT(VT_BOOL, 11),
        ZENTREL_CONSTANT(VT_VARIANT, 12),
        ZENTREL_CONSTANT(VT_UNKNOWN, 13),
        ZENTREL_CONSTANT(VT_DECIMAL, 14),
        ZENTREL_CONSTANT(VT_I1, 16),
        ZENTREL_CONSTANT(VT_UI1, 17),
        ZENTREL_CONSTANT(VT_UI2, 18),
        ZENTREL_CONSTANT(VT_UI4, 19),
        ZENTREL_CONSTANT(VT_I8, 20),
        ZENTREL_CONSTANT(VT_UI8, 21),
        ZENTREL_CONSTANT(VT_INT, 22),
        ZENTREL_CONSTANT(VT_UINT, 23),
        ZENTREL_CONSTANT(VT_SAFEARRAY, 27),
        ZENTREL_CONSTANT(VT_LPWSTR, 31),
        ZENTREL_CONSTANT(VT_RECORD, 36),
        ZENTREL_CONSTANT(VT_INT_PTR, 37),
        ZENTREL_CONSTANT(VT_UINT_PTR, 38),
        ZENTREL_CONSTANT(VT_CLSID, 72),
        ZENTREL_CONSTANT(VT_VECTOR, 0x1000),
        ZENTREL_CONSTANT(VT_ARRAY, 0x2000),
        ZENTREL_CONSTANT(VT_BYREF, 0x4000),
        ZENTREL_CONSTANT(VT_RESERVED, 0x8000),
        ZENTREL_CONSTANT(VT_TYPEMASK, 0x0FFF),
    });
}

TEST(CallerConstants, BooleansAndComparison) {
    ExpectTable({
        ZENTREL_CONSTANT(VARIANT_TRUE, -1),
        ZENTREL_CONSTANT(VARIANT_FALSE, 0),
        ZENTREL_CONSTANT(VARCMP_LT, 0),
        ZENTREL_CONSTANT(VARCMP_EQ, 1),
        ZENTREL_CONSTANT(VARCMP_GT, 2),
        ZENTREL_CONSTANT(VARCMP_NULL, 3),
        ZENTREL_CONSTANT(NORM_IGNORECASE, 1),
    });
}

TEST(CallerConstants, ArrayFeatureBits) {
    ExpectTable({
        ZENTREL_CONSTANT(FADF_AUTO, 0x0001),
        ZENTREL_CONSTANT(FADF_STATIC, 0x0002),
        ZENTREL_CONSTANT(FADF_EMBEDDED, 0x0004),
        ZENTREL_CONSTANT(FADF_FIXEDSIZE, 0x0010),
        ZENTREL_CONSTANT(FADF_RECORD, 0x0020),
        ZENTREL_CONSTANT(FADF_HAVEIID, 0x0040),
        ZENTREL_CONSTANT(FADF_HAVEVARTYPE, 0x0080),
        ZENTREL_CONSTANT(FADF_BSTR, 0x0100),
        ZENTREL_CONSTANT(FADF_UNKNOWN, 0x0200),
        ZENTREL_CONSTANT(FADF_DISPATCH, 0x0400),
        ZENTREL_CONSTANT(FADF_VARIANT, 0x0800),
        ZENTREL_CONSTANT(FADF_DATA_RELEASED, 0x1000),
        ZENTREL_CONSTANT(FADF_INLINE_DATA, 0x2000),
        ZENTREL_CONSTANT(FADF_RESERVED, 0xF008),
    });
}

TEST(CallerConstants, PrimitiveKindsAndRegistryLimit) {
    using KoAtlCom::Interop::HandleManager;
    using KoAtlCom::Interop::Primitive;
    ExpectTable({
        {"Empty", Primitive::Empty, 0},
        {"Int8", Primitive::Int8, 1},
        {"Int16", Primitive::Int16, 2},
        {"Int32", Primitive::Int32, 3},
        {"Int64", Primitive::Int64, 4},
        {"UInt8", Primitive::UInt8, 5},
        {"UInt16", Primitive::UInt16, 6},
        {"UInt32", Primitive::UInt32, 7},
        {"UInt64", Primitive::UInt64, 8},
        {"Float", Primitive::Float, 9},
        {"Double", Primitive::Double, 10},
        {"kMaxRegistrations", HandleManager::kMaxRegistrations, 0xFFFFFFFF},
    });
}

// The 16 stored bytes: Data1 to Data3 little-endian, then Data4 as written.
TEST(CallerConstants, StoredInterfaceIdentifiers) {
    struct Identifier {
        const char* name;
        const IID& iid;
        unsigned char bytes[16];
    };
    const Identifier table[] = {
        {"IID_IUnknown", IID_IUnknown, {0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46}},
        {"IID_IDispatch", IID_IDispatch, {0x00, 0x04, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46}},
        {"IID_IErrorInfo",
         IID_IErrorInfo,
         {0x20, 0xB1, 0xF2, 0x1C, 0x7D, 0x54, 0x1B, 0x10, 0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}},
        {"IID_ICreateErrorInfo",
         IID_ICreateErrorInfo,
         {0x40, 0x33, 0xF0, 0x22, 0x7D, 0x54, 0x1B, 0x10, 0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}},
    };
    for (const Identifier& id : table) {
        unsigned char stored[16];
        std::memcpy(stored, &id.iid, sizeof stored);
        for (int i = 0; i < 16; ++i) EXPECT_EQ(stored[i], id.bytes[i]) << id.name << " byte " << i;
    }
}

}  // namespace
