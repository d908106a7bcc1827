#include "interop/proxy.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <new>
#include <thread>

#include <gtest/gtest.h>

#include "interop/handle_manager_access.h"
#include "interop/process_handles.h"
#include "support/fake_unknown.h"
#include "support/fault_injection.h"

namespace {

using KoAtlCom::Interop::HandleManager;
using KoAtlCom::Interop::detail::gProcessHandles;
using Access = KoAtlCom::Interop::detail::HandleManagerAccess;
using zentrel::test::AllocationFailure;
using zentrel::test::FakeUnknown;

void* const kUntouched = reinterpret_cast<void*>(0x5A5A5A5A);
IUnknown* const kUntouchedPointer = reinterpret_cast<IUnknown*>(0xA5A5A5A5);

// The proxy functions work on the process-wide registry; every test leaves it
// as empty as it found it.
class ProxyFunctions : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0u, Access::Size(gProcessHandles)); }
    void TearDown() override { EXPECT_EQ(0u, Access::Size(gProcessHandles)); }

    static std::optional<std::uint32_t> CountOf(FakeUnknown& object) {
        return Access::CountOf(gProcessHandles, object.unknown());
    }
};

TEST_F(ProxyFunctions, AddHandle_NullOutIsEPointerAndRegistersNothing) {
    FakeUnknown object;
    EXPECT_EQ(E_POINTER, ProxyAddHandle(object.unknown(), nullptr));
    EXPECT_EQ(0, object.addRefs());
}

TEST_F(ProxyFunctions, AddHandle_NullPointerGivesANullHandle) {
    void* handle = kUntouched;
    EXPECT_EQ(S_OK, ProxyAddHandle(nullptr, &handle));
    EXPECT_EQ(nullptr, handle);
}

TEST_F(ProxyFunctions, AddHandle_TwiceGivesThePointerWithOneReferenceAndCountTwo) {
    FakeUnknown object;
    void* first = kUntouched;
    void* second = kUntouched;
    EXPECT_EQ(S_OK, ProxyAddHandle(object.unknown(), &first));
    EXPECT_EQ(S_OK, ProxyAddHandle(object.unknown(), &second));
    EXPECT_EQ(static_cast<void*>(object.unknown()), first);
    EXPECT_EQ(first, second);
    EXPECT_EQ(1, object.addRefs());
    EXPECT_EQ(2u, CountOf(object));

    EXPECT_EQ(S_OK, ProxyRemoveHandle(first));
    EXPECT_EQ(0, object.releases());
    EXPECT_EQ(1u, CountOf(object));
    EXPECT_EQ(S_OK, ProxyRemoveHandle(first));
    EXPECT_EQ(1, object.releases());
    EXPECT_EQ(E_INVALIDARG, ProxyRemoveHandle(first));
    EXPECT_EQ(1, object.releases());
}

TEST_F(ProxyFunctions, RemoveHandle_NullAndUnknownHandlesAreInvalidArg) {
    FakeUnknown never;
    EXPECT_EQ(E_INVALIDARG, ProxyRemoveHandle(nullptr));
    EXPECT_EQ(E_INVALIDARG, ProxyRemoveHandle(never.unknown()));
    EXPECT_EQ(0, never.releases());
}

TEST_F(ProxyFunctions, GetHandle_AddsAReferenceForTheCallerAndKeepsTheCount) {
    FakeUnknown object;
    void* handle = nullptr;
    ASSERT_EQ(S_OK, ProxyAddHandle(object.unknown(), &handle));
    IUnknown* out = nullptr;
    EXPECT_EQ(S_OK, ProxyGetHandle(handle, &out));
    EXPECT_EQ(object.unknown(), out);
    EXPECT_EQ(2, object.addRefs());
    EXPECT_EQ(1u, CountOf(object));
    out->Release();

    // The lookup registered nothing: a single removal ends the registration.
    EXPECT_EQ(S_OK, ProxyRemoveHandle(handle));
    EXPECT_EQ(2, object.releases());
    EXPECT_EQ(0, object.outstanding());
}

TEST_F(ProxyFunctions, GetHandle_UnknownHandleIsEFailAndLeavesOut) {
    FakeUnknown never;
    IUnknown* out = kUntouchedPointer;
    EXPECT_EQ(E_FAIL, ProxyGetHandle(never.unknown(), &out));
    EXPECT_EQ(kUntouchedPointer, out);
    EXPECT_EQ(E_FAIL, ProxyGetHandle(nullptr, &out));
    EXPECT_EQ(kUntouchedPointer, out);
    EXPECT_EQ(0, never.addRefs());
}

TEST_F(ProxyFunctions, GetHandle_NullOutIsEPointer) {
    FakeUnknown object;
    void* handle = nullptr;
    ASSERT_EQ(S_OK, ProxyAddHandle(object.unknown(), &handle));
    EXPECT_EQ(E_POINTER, ProxyGetHandle(handle, nullptr));
    EXPECT_EQ(1, object.addRefs());
    EXPECT_EQ(S_OK, ProxyRemoveHandle(handle));
}

// Keys are addresses: two interface pointers of one object are two entries,
// and the registry never asks the object who it is.
TEST_F(ProxyFunctions, AddHandle_TwoInterfacesOfOneObjectAreSeparateEntries) {
    struct TwoInterfaces {
        FakeUnknown first{true};
        FakeUnknown second{true};
    } object;
    void* h1 = nullptr;
    void* h2 = nullptr;
    ASSERT_EQ(S_OK, ProxyAddHandle(object.first.unknown(), &h1));
    ASSERT_EQ(S_OK, ProxyAddHandle(object.second.unknown(), &h2));
    EXPECT_NE(h1, h2);
    EXPECT_EQ(2u, Access::Size(gProcessHandles));
    EXPECT_EQ(1, object.first.addRefs());
    EXPECT_EQ(1, object.second.addRefs());
    EXPECT_EQ(0, object.first.queries() + object.second.queries());

    EXPECT_EQ(S_OK, ProxyRemoveHandle(h1));
    EXPECT_EQ(1, object.first.releases());
    EXPECT_EQ(0, object.second.releases());
    EXPECT_EQ(S_OK, ProxyRemoveHandle(h2));
    EXPECT_EQ(1, object.second.releases());
}

TEST_F(ProxyFunctions, AddHandle_CountAtMaximumIsEFailAndLeavesHandle) {
    FakeUnknown object;
    void* handle = nullptr;
    ASSERT_EQ(S_OK, ProxyAddHandle(object.unknown(), &handle));
    Access::SetCount(gProcessHandles, object.unknown(), HandleManager::kMaxRegistrations);

    void* refused = kUntouched;
    EXPECT_EQ(E_FAIL, ProxyAddHandle(object.unknown(), &refused));
    EXPECT_EQ(kUntouched, refused);
    EXPECT_EQ(HandleManager::kMaxRegistrations, CountOf(object));
    EXPECT_EQ(1, object.addRefs());

    Access::SetCount(gProcessHandles, object.unknown(), 1);
    EXPECT_EQ(S_OK, ProxyRemoveHandle(handle));
    EXPECT_EQ(0, object.outstanding());
}

TEST_F(ProxyFunctions, AddHandle_AllocationFailureReachesTheCallerWithNothingChanged) {
    FakeUnknown registered;
    void* kept = nullptr;
    ASSERT_EQ(S_OK, ProxyAddHandle(registered.unknown(), &kept));

    FakeUnknown object;
    void* handle = kUntouched;
    {
        AllocationFailure failure(1, false);
        EXPECT_THROW(ProxyAddHandle(object.unknown(), &handle), std::bad_alloc);
    }
    EXPECT_EQ(kUntouched, handle);
    EXPECT_EQ(0, object.addRefs());
    EXPECT_EQ(1u, Access::Size(gProcessHandles));
    EXPECT_EQ(1u, CountOf(registered));

    // The lock was given up on the way out.
    EXPECT_EQ(S_OK, ProxyAddHandle(object.unknown(), &handle));
    EXPECT_EQ(S_OK, ProxyRemoveHandle(handle));
    EXPECT_EQ(S_OK, ProxyRemoveHandle(kept));
}

// Runs `body` on its own thread and ends the process if it has not finished in
// time, so that a deadlock fails the test instead of hanging it.
template <class Body>
void RunWithDeadline(Body body) {
    std::promise<void> finished;
    std::future<void> done = finished.get_future();
    std::thread worker([&finished, &body] {
        body();
        finished.set_value();
    });
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        std::fprintf(stderr, "blocked: the registry was still locked during the callback\n");
        std::_Exit(1);
    }
    worker.join();
}

TEST_F(ProxyFunctions, RemoveHandle_FinalReleaseMayRegisterAndRemoveOtherHandles) {
    FakeUnknown owner;
    FakeUnknown child;
    FakeUnknown sibling;
    void* siblingHandle = nullptr;
    ASSERT_EQ(S_OK, ProxyAddHandle(sibling.unknown(), &siblingHandle));

    HRESULT inside[4] = {E_NOTIMPL, E_NOTIMPL, E_NOTIMPL, E_NOTIMPL};
    owner.onRelease = [&](ULONG remaining) {
        if (remaining != 0) return;
        void* childHandle = nullptr;
        inside[0] = ProxyAddHandle(child.unknown(), &childHandle);
        IUnknown* looked = nullptr;
        inside[1] = ProxyGetHandle(childHandle, &looked);
        if (looked != nullptr) looked->Release();
        inside[2] = ProxyRemoveHandle(childHandle);
        inside[3] = ProxyRemoveHandle(siblingHandle);
    };
    void* ownerHandle = nullptr;
    ASSERT_EQ(S_OK, ProxyAddHandle(owner.unknown(), &ownerHandle));

    HRESULT removed = E_NOTIMPL;
    RunWithDeadline([&] { removed = ProxyRemoveHandle(ownerHandle); });
    EXPECT_EQ(S_OK, removed);
    for (HRESULT hr : inside) EXPECT_EQ(S_OK, hr);
    EXPECT_EQ(1, owner.releases());
    EXPECT_EQ(0, child.outstanding());
    EXPECT_EQ(2, child.addRefs());
    EXPECT_EQ(0, sibling.outstanding());
}

}  // namespace
