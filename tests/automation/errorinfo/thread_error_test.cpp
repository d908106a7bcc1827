#include <gtest/gtest.h>

#include "automation/errorinfo/errorinfo.h"
#include "automation/strings/bstr.h"
#include "support/fake_error_info.h"

namespace {

using zentrel::test::FakeErrorInfo;

// The slot outlives each test on this thread, so TearDown empties it; objects a
// test leaves in it must outlive TearDown, hence the fakes are members.
class CurrentError : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(S_OK, SetErrorInfo(0, nullptr)); }

    FakeErrorInfo oldInfo_;
    FakeErrorInfo newInfo_;

    static IErrorInfo* Current() {
        IErrorInfo* out = reinterpret_cast<IErrorInfo*>(0x1);
        EXPECT_EQ(S_OK, GetErrorInfo(0, &out));
        return out;
    }
};

TEST_F(CurrentError, NullOutIsEPointer) { EXPECT_EQ(E_POINTER, GetErrorInfo(0, nullptr)); }

TEST_F(CurrentError, EmptySlotGivesSuccessAndNull) {
    ASSERT_EQ(S_OK, SetErrorInfo(0, nullptr));
    EXPECT_EQ(nullptr, Current());
}

TEST_F(CurrentError, OwnObjectIsSharedWithEveryReader) {
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(S_OK, CreateErrorInfo(&create));
    IErrorInfo* info = nullptr;
    ASSERT_EQ(S_OK, create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)));
    ASSERT_EQ(S_OK, create->SetDescription("disk full"));

    EXPECT_EQ(S_OK, SetErrorInfo(0, info));
    EXPECT_EQ(4u, create->AddRef());  // create, info, the slot, this AddRef
    EXPECT_EQ(3u, create->Release());

    IErrorInfo* first = Current();
    EXPECT_EQ(info, first);  // the IErrorInfo view, with a reference of its own
    IErrorInfo* second = Current();
    EXPECT_EQ(info, second);
    EXPECT_EQ(4u, second->Release());
    EXPECT_EQ(3u, first->Release());

    // Setting the object already held changes nothing.
    EXPECT_EQ(S_OK, SetErrorInfo(0, info));
    EXPECT_EQ(4u, info->AddRef());
    EXPECT_EQ(3u, info->Release());
    EXPECT_EQ(S_OK, SetErrorInfo(0, nullptr));
    EXPECT_EQ(nullptr, Current());
    EXPECT_EQ(1u, info->Release());
    EXPECT_EQ(0u, create->Release());
}

TEST_F(CurrentError, ReplacingAddsToNewBeforeReleasingOld) {
    FakeErrorInfo& oldInfo = oldInfo_;
    FakeErrorInfo& newInfo = newInfo_;
    ASSERT_EQ(S_OK, SetErrorInfo(0, &oldInfo));
    int seenNewReferences = -1;
    IErrorInfo* seenCurrent = nullptr;
    oldInfo.onRelease = [&](ULONG) {
        seenNewReferences = newInfo.outstanding();
        seenCurrent = Current();
        seenCurrent->Release();
    };
    EXPECT_EQ(S_OK, SetErrorInfo(0, &newInfo));
    oldInfo.onRelease = nullptr;
    EXPECT_EQ(0, oldInfo.outstanding());
    EXPECT_EQ(1, oldInfo.releases());
    EXPECT_EQ(1, seenNewReferences);
    EXPECT_EQ(&newInfo, seenCurrent);
    EXPECT_EQ(1, newInfo.outstanding());
}

TEST_F(CurrentError, ForeignObjectIsHeldAndHandedOut) {
    FakeErrorInfo& fake = newInfo_;
    EXPECT_EQ(S_OK, SetErrorInfo(7, &fake));  // the reserved number is ignored
    EXPECT_EQ(1, fake.addRefs());
    IErrorInfo* out = Current();
    EXPECT_EQ(&fake, out);
    EXPECT_EQ(2, fake.outstanding());
    BSTR description = nullptr;
    EXPECT_EQ(S_OK, out->GetDescription(&description));
    EXPECT_STREQ("fake description", description);
    SysFreeString(description);
    out->Release();
    EXPECT_EQ(S_OK, SetErrorInfo(0, nullptr));
    EXPECT_EQ(0, fake.outstanding());
    EXPECT_EQ(2, fake.releases());
}

class CurrentErrorRefusal : public CurrentError, public ::testing::WithParamInterface<HRESULT> {
protected:
    FakeErrorInfo refusing_{GetParam()};
};

// A held object that does not answer IID_IErrorInfo: its status comes back
// unchanged and the slot keeps it.
TEST_P(CurrentErrorRefusal, GetReturnsTheObjectsStatusAndSlotKeepsIt) {
    FakeErrorInfo& refusing = refusing_;
    ASSERT_EQ(S_OK, SetErrorInfo(0, &refusing));
    for (int i = 0; i < 2; ++i) {
        IErrorInfo* out = reinterpret_cast<IErrorInfo*>(0x1);
        EXPECT_EQ(GetParam(), GetErrorInfo(0, &out));
        EXPECT_EQ(nullptr, out);
    }
    EXPECT_EQ(2, refusing.queries());
    EXPECT_EQ(1, refusing.outstanding());
    EXPECT_EQ(S_OK, SetErrorInfo(0, nullptr));
    EXPECT_EQ(0, refusing.outstanding());
}

INSTANTIATE_TEST_SUITE_P(Statuses, CurrentErrorRefusal, ::testing::Values(E_NOINTERFACE, E_FAIL, E_OUTOFMEMORY));

}  // namespace
