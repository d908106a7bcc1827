// Element access on shapes the library never creates but callers may build:
// elements of unusual sizes, and variant elements the library cannot clear.
#include <cstring>

#include <gtest/gtest.h>

#include "automation/automation.h"
#include "support/manual_array.h"

namespace {

using zentrel::test::ManualArray;

const LONG kSecond[] = {1};

// Plain elements of any size move exactly cbElements bytes, not a rounded
// width: 3 and 16 bytes here.
TEST(PlainElement_GetPut, OddAndWideElementSizesMoveExactlyTheirBytes) {
    for (ULONG size : {3u, 16u}) {
        unsigned char storage[3 * 16];
        std::memset(storage, 0xAA, sizeof storage);
        ManualArray array(FADF_HAVEVARTYPE, size, storage, {{3, 0}});

        unsigned char value[17];
        for (ULONG i = 0; i < sizeof value; ++i) value[i] = static_cast<unsigned char>(i + 1);
        ASSERT_EQ(S_OK, SafeArrayPutElement(array.get(), kSecond, value)) << size;
        EXPECT_EQ(0, std::memcmp(storage + size, value, size)) << size;
        EXPECT_EQ(0xAA, storage[size - 1]) << "the element before was written, size " << size;
        EXPECT_EQ(0xAA, storage[2 * size]) << "the element after was written, size " << size;

        unsigned char out[17];
        std::memset(out, 0xEE, sizeof out);
        ASSERT_EQ(S_OK, SafeArrayGetElement(array.get(), kSecond, out)) << size;
        EXPECT_EQ(0, std::memcmp(out, value, size)) << size;
        EXPECT_EQ(0xEE, out[size]) << "read past the element, size " << size;
    }
}

// A variant element that holds a record cannot be cleared: the put answers
// VariantClear's E_NOTIMPL, leaves the element as it was and releases the copy
// it had made of the source (the leak checkers see it otherwise).
TEST(VariantElement_Put, ElementThatCannotBeClearedIsLeftAndTheCopyReleased) {
    VARIANT storage[2]{};
    storage[1].vt = VT_RECORD;
    storage[1].pvRecord = reinterpret_cast<void*>(0x1000);
    storage[1].pRecInfo = reinterpret_cast<IRecordInfo*>(0x2000);
    const VARIANT before = storage[1];
    ManualArray array(FADF_HAVEVARTYPE | FADF_VARIANT, sizeof(VARIANT), storage, {{2, 0}});

    VARIANT source;
    VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = SysAllocString("copied, then released again");
    EXPECT_EQ(E_NOTIMPL, SafeArrayPutElement(array.get(), kSecond, &source));
    EXPECT_EQ(0, std::memcmp(&before, &storage[1], sizeof before));
    EXPECT_STREQ("copied, then released again", source.bstrVal);
    EXPECT_EQ(S_OK, VariantClear(&source));
}

}  // namespace
