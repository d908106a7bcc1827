#include "interop/handle_manager.h"

#include <new>
#include <vector>

#include <gtest/gtest.h>

#include "interop/handle_manager_access.h"
#include "support/fake_unknown.h"
#include "support/fault_injection.h"

namespace {

using KoAtlCom::Interop::HandleManager;
using Access = KoAtlCom::Interop::detail::HandleManagerAccess;
using zentrel::test::AllocationFailure;
using zentrel::test::FailureMode;
using zentrel::test::FakeUnknown;
using zentrel::test::SweepAllocationFailures;

constexpr std::uint32_t kMax = HandleManager::kMaxRegistrations;

TEST(HandleManager_Construction, StartsEmptyWithMaxLoadFactorOne) {
    HandleManager manager;
    EXPECT_EQ(0u, Access::Size(manager));
    EXPECT_EQ(1.0f, Access::MaxLoadFactor(manager));
}

// A count at the maximum must not wrap to 0: the entry would break the
// "count >= 1" rule and the next removal would release a reference the other
// registrations still rely on. The extra registration is refused instead.
TEST(HandleManager_AddHandle, CountAtMaximumRefusesTheExtraRegistrationUnchanged) {
    HandleManager manager;
    FakeUnknown object;
    manager.AddHandle(object.unknown());
    Access::SetCount(manager, object.unknown(), kMax);

    EXPECT_EQ(nullptr, manager.AddHandle(object.unknown()));
    EXPECT_EQ(kMax, Access::CountOf(manager, object.unknown()));
    EXPECT_EQ(1, object.addRefs());

    // Below the maximum it counts again, and the maximum itself is reachable.
    EXPECT_EQ(S_OK, manager.ReleaseHandle(object.unknown()));
    EXPECT_EQ(kMax - 1, Access::CountOf(manager, object.unknown()));
    EXPECT_EQ(object.unknown(), manager.AddHandle(object.unknown()));
    EXPECT_EQ(kMax, Access::CountOf(manager, object.unknown()));
    EXPECT_EQ(0, object.releases());

    Access::SetCount(manager, object.unknown(), 1);
    EXPECT_EQ(S_OK, manager.ReleaseHandle(object.unknown()));
    EXPECT_EQ(1, object.releases());
    EXPECT_EQ(0u, Access::Size(manager));
}

// Covers both allocations a new key can need: the entry itself and, as the map
// grows past its load factor, a larger bucket array.
TEST(HandleManager_AddHandle, AllocationFailureOfANewEntryThrowsAndChangesNothing) {
    for (int registered = 0; registered < 16; ++registered) {
        SweepAllocationFailures([registered](std::uint64_t nth, FailureMode mode) {
            HandleManager manager;
            std::vector<FakeUnknown> others(static_cast<std::size_t>(registered));
            for (FakeUnknown& other : others) manager.AddHandle(other.unknown());
            FakeUnknown object;
            bool fired = false;
            bool threw = false;
            void* handle = nullptr;
            {
                AllocationFailure failure(nth, mode == FailureMode::Persistent);
                try {
                    handle = manager.AddHandle(object.unknown());
                } catch (const std::bad_alloc&) {
                    threw = true;
                }
                fired = failure.Fired();
            }
            EXPECT_EQ(fired, threw) << "registered " << registered << ", allocation " << nth;
            if (threw) {
                EXPECT_EQ(0, object.addRefs());
                EXPECT_FALSE(Access::CountOf(manager, object.unknown()).has_value());
                EXPECT_EQ(static_cast<std::size_t>(registered), Access::Size(manager));
            } else {
                EXPECT_EQ(object.unknown(), handle);
                EXPECT_EQ(1, object.addRefs());
                EXPECT_EQ(S_OK, manager.ReleaseHandle(handle));
            }
            for (FakeUnknown& other : others) {
                EXPECT_EQ(1u, Access::CountOf(manager, other.unknown()));
                EXPECT_EQ(S_OK, manager.ReleaseHandle(other.unknown()));
                EXPECT_EQ(0, other.outstanding());
            }
            return fired;
        });
    }
}

TEST(HandleManager_AddHandle, RegisteringAKnownPointerNeverAllocates) {
    HandleManager manager;
    FakeUnknown object;
    manager.AddHandle(object.unknown());
    {
        AllocationFailure failure(1, true);
        EXPECT_EQ(object.unknown(), manager.AddHandle(object.unknown()));
        EXPECT_FALSE(failure.Fired());
    }
    EXPECT_EQ(2u, Access::CountOf(manager, object.unknown()));
    manager.ReleaseHandle(object.unknown());
    manager.ReleaseHandle(object.unknown());
}

TEST(HandleManager_Destructor, ReleasesEachObjectOnceWhateverItsCount) {
    FakeUnknown thrice;
    FakeUnknown once;
    FakeUnknown removed;
    {
        HandleManager manager;
        for (int i = 0; i < 3; ++i) manager.AddHandle(thrice.unknown());
        manager.AddHandle(once.unknown());
        manager.AddHandle(removed.unknown());
        manager.ReleaseHandle(removed.unknown());
        IUnknown* looked = nullptr;
        ASSERT_EQ(S_OK, manager.GetHandle(thrice.unknown(), &looked));
        looked->Release();
    }
    EXPECT_EQ(2, thrice.addRefs());
    EXPECT_EQ(2, thrice.releases());
    EXPECT_EQ(1, once.addRefs());
    EXPECT_EQ(1, once.releases());
    EXPECT_EQ(1, removed.releases());
}

}  // namespace
