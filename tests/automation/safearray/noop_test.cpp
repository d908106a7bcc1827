#include "automation/safearray/noop.h"

#include <cstring>

#include <gtest/gtest.h>

#include "automation/automation.h"
#include "support/array_testing.h"
#include "support/manual_array.h"

namespace {

// Whatever they are passed, the no-op entry points answer the same and touch
// nothing: not the array, not the out-parameters.
TEST(NoOp_EntryPoints, AnswerFixedStatusAndTouchNothing) {
    zentrel::test::ArrayPtr array(SafeArrayCreateVector(VT_I4, 0, 2));
    const SAFEARRAY before = *array;
    void* data = &data;
    IRecordInfo* record = reinterpret_cast<IRecordInfo*>(&record);
    for (SAFEARRAY* psa : {array.get(), static_cast<SAFEARRAY*>(nullptr)}) {
        EXPECT_EQ(S_OK, SafeArrayLock(psa));
        EXPECT_EQ(S_OK, SafeArrayUnlock(psa));
        EXPECT_EQ(S_OK, SafeArrayUnaccessData(psa));
        EXPECT_EQ(S_OK, SafeArrayAddRef(psa, &data));
        EXPECT_EQ(S_OK, SafeArrayAddRef(psa, nullptr));
        EXPECT_EQ(E_NOTIMPL, SafeArraySetRecordInfo(psa, record));
        EXPECT_EQ(E_NOTIMPL, SafeArrayGetRecordInfo(psa, &record));
        EXPECT_EQ(E_NOTIMPL, SafeArrayGetRecordInfo(psa, nullptr));
    }
    EXPECT_EQ(E_NOTIMPL, GetRecordInfoFromGuids(IID_IUnknown, 1, 0, 0, IID_IDispatch, &record));
    EXPECT_EQ(E_NOTIMPL, GetRecordInfoFromGuids(IID_IUnknown, 1, 0, 0, IID_IDispatch, nullptr));
    EXPECT_EQ(0, std::memcmp(&before, array.get(), sizeof before));  // cLocks stays 0
    EXPECT_EQ(static_cast<void*>(&data), data);
    EXPECT_EQ(reinterpret_cast<IRecordInfo*>(&record), record);
}

}  // namespace
