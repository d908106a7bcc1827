#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "automation/errorinfo/errorinfo.h"
#include "automation/strings/bstr.h"
#include "support/fake_error_info.h"

namespace {

using zentrel::test::FakeErrorInfo;

constexpr int kThreads = 8;

// GetErrorInfo on the calling thread, with its status checked; the caller owns
// the reference it returns.
IErrorInfo* Current() {
    IErrorInfo* out = reinterpret_cast<IErrorInfo*>(0x1);
    EXPECT_EQ(S_OK, GetErrorInfo(0, &out));
    return out;
}

TEST(CurrentErrorThreads, FreshThreadSeesNothingSetElsewhere) {
    FakeErrorInfo fake;
    ASSERT_EQ(S_OK, SetErrorInfo(0, &fake));
    IErrorInfo* seen = reinterpret_cast<IErrorInfo*>(0x1);
    std::thread([&] { seen = Current(); }).join();
    EXPECT_EQ(nullptr, seen);
    EXPECT_EQ(1, fake.outstanding());
    EXPECT_EQ(S_OK, SetErrorInfo(0, nullptr));
    EXPECT_EQ(0, fake.outstanding());
}

TEST(CurrentErrorThreads, EachThreadKeepsItsOwnObject) {
    std::vector<FakeErrorInfo> fakes(kThreads);
    std::vector<IErrorInfo*> seen(kThreads, nullptr);
    std::latch allSet(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            EXPECT_EQ(S_OK, SetErrorInfo(0, &fakes[i]));
            allSet.arrive_and_wait();
            seen[i] = Current();
            seen[i]->Release();
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(&fakes[i], seen[i]) << i;
        EXPECT_EQ(2, fakes[i].addRefs()) << i;  // the slot and the reader
        EXPECT_EQ(0, fakes[i].outstanding()) << i;
    }
}

TEST(CurrentErrorThreads, ThreadEndReleasesHeldObjectOnce) {
    FakeErrorInfo fake;
    int heldBeforeExit = -1;
    std::thread([&] {
        ASSERT_EQ(S_OK, SetErrorInfo(0, &fake));
        IErrorInfo* out = Current();
        out->Release();
        heldBeforeExit = fake.outstanding();
    }).join();
    EXPECT_EQ(1, heldBeforeExit);
    EXPECT_EQ(2, fake.addRefs());
    EXPECT_EQ(2, fake.releases());
}

TEST(CurrentErrorThreads, SharedObjectIsReleasedOncePerSlot) {
    constexpr int kReads = 1000;
    FakeErrorInfo fake;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            ASSERT_EQ(S_OK, SetErrorInfo(0, &fake));
            for (int r = 0; r < kReads; ++r) Current()->Release();
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(kThreads * (1 + kReads), fake.addRefs());
    EXPECT_EQ(kThreads * (1 + kReads), fake.releases());
}

// The creator lets go while the threads still hold the object, so one of the
// threads' exits destroys it; ThreadSanitizer and LeakSanitizer watch that.
TEST(CurrentErrorThreads, OwnObjectDiesWithTheLastSlot) {
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(S_OK, CreateErrorInfo(&create));
    ASSERT_EQ(S_OK, create->SetDescription("written before the threads start, read by all of them"));
    IErrorInfo* info = nullptr;
    ASSERT_EQ(S_OK, create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)));
    std::latch allSet(kThreads + 1);
    std::atomic<int> goodReads{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            EXPECT_EQ(S_OK, SetErrorInfo(0, info));
            allSet.arrive_and_wait();
            IErrorInfo* mine = Current();
            BSTR text = nullptr;
            EXPECT_EQ(S_OK, mine->GetDescription(&text));
            if (SysStringLen(text) == 53) ++goodReads;
            SysFreeString(text);
            mine->Release();
        });
    }
    allSet.arrive_and_wait();
    // The threads may already be reading or gone: the counts here are not fixed.
    info->Release();
    create->Release();
    for (auto& t : threads) t.join();
    EXPECT_EQ(kThreads, goodReads.load());
}

// Results of calls made from a thread-exit destructor.
struct LateResults {
    HRESULT set = E_FAIL;
    HRESULT get = E_FAIL;
    IErrorInfo* got = reinterpret_cast<IErrorInfo*>(0x1);
};

struct ExitCaller {
    FakeErrorInfo* offered = nullptr;
    LateResults* results = nullptr;
    ~ExitCaller() {
        if (offered == nullptr) return;
        results->set = SetErrorInfo(0, offered);
        results->get = GetErrorInfo(0, &results->got);
    }
};

// The slot ends after every thread_local destructor of its thread, whether
// the destructor's object was made before the slot or after it: a current
// error stored from one is released when the thread ends.
TEST(CurrentErrorThreads, CallsFromThreadLocalDestructorsAreReleasedWithTheThread) {
    for (const bool slotFirst : {false, true}) {
        SCOPED_TRACE(slotFirst);
        FakeErrorInfo held;
        FakeErrorInfo offered;
        LateResults results;
        std::thread([&] {
            if (slotFirst) {
                ASSERT_EQ(S_OK, SetErrorInfo(0, &held));
            }
            static thread_local ExitCaller caller;
            caller.offered = &offered;
            caller.results = &results;
            if (!slotFirst) {
                ASSERT_EQ(S_OK, SetErrorInfo(0, &held));
            }
        }).join();
        EXPECT_EQ(S_OK, results.set);
        EXPECT_EQ(S_OK, results.get);
        ASSERT_EQ(&offered, results.got);
        results.got->Release();
        EXPECT_EQ(0, offered.outstanding());
        EXPECT_EQ(1, held.addRefs());
        EXPECT_EQ(1, held.releases());
    }
}

// A held object whose final Release calls back in while the slot is being
// destroyed: nothing more is stored, so nothing is left unreleased.
TEST(CurrentErrorThreads, ReleaseAtThreadEndMayCallBackIn) {
    FakeErrorInfo held;
    FakeErrorInfo offered;
    LateResults results;
    held.onRelease = [&](ULONG) {
        results.set = SetErrorInfo(0, &offered);
        results.get = GetErrorInfo(0, &results.got);
    };
    std::thread([&] { ASSERT_EQ(S_OK, SetErrorInfo(0, &held)); }).join();
    held.onRelease = nullptr;
    EXPECT_EQ(1, held.releases());
    EXPECT_EQ(S_OK, results.set);
    EXPECT_EQ(S_OK, results.get);
    EXPECT_EQ(nullptr, results.got);
    EXPECT_EQ(0, offered.addRefs());
}

}  // namespace
