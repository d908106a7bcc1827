#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "interop/handle_manager_access.h"
#include "interop/process_handles.h"
#include "interop/proxy.h"
#include "support/fake_unknown.h"

namespace {

using KoAtlCom::Interop::detail::gProcessHandles;
using Access = KoAtlCom::Interop::detail::HandleManagerAccess;
using zentrel::test::FakeUnknown;

constexpr int kThreads = 4;
constexpr int kOperations = 20000;
constexpr std::size_t kShared = 6;
constexpr std::size_t kPrivate = 3;

struct Objects {
    std::array<FakeUnknown, kShared> shared;
    std::array<std::array<FakeUnknown, kPrivate>, kThreads> own;
};

// One thread's part: it adds, looks up and removes handles of the shared objects
// and of its own, and removes only registrations it made itself, so each
// result it gets is determined except lookups of shared objects it has not
// registered (another thread may or may not hold them).
void Work(Objects& objects, int thread, std::vector<std::string>& errors) {
    std::minstd_rand random(static_cast<unsigned>(thread + 1));
    std::array<FakeUnknown*, kShared + kPrivate> mine{};
    for (std::size_t i = 0; i < kShared; ++i) mine[i] = &objects.shared[i];
    for (std::size_t i = 0; i < kPrivate; ++i) mine[kShared + i] = &objects.own[thread][i];
    std::array<std::uint32_t, kShared + kPrivate> registered{};
    auto check = [&errors](bool ok, const char* what) {
        if (!ok) errors.emplace_back(what);
    };

    for (int op = 0; op < kOperations; ++op) {
        const std::size_t index = random() % mine.size();
        IUnknown* const pointer = mine[index]->unknown();
        const bool isPrivate = index >= kShared;
        switch (random() % 3) {
            case 0: {
                void* handle = nullptr;
                check(ProxyAddHandle(pointer, &handle) == S_OK && handle == pointer, "add");
                ++registered[index];
                break;
            }
            case 1: {
                IUnknown* out = nullptr;
                const HRESULT hr = ProxyGetHandle(pointer, &out);
                if (registered[index] > 0) check(hr == S_OK, "lookup of a registered handle");
                if (isPrivate && registered[index] == 0) check(hr == E_FAIL, "lookup of a removed handle");
                if (hr == S_OK) {
                    check(out == pointer, "lookup result");
                    out->Release();
                }
                break;
            }
            default:
                if (registered[index] > 0) {
                    check(ProxyRemoveHandle(pointer) == S_OK, "remove");
                    --registered[index];
                } else if (isPrivate) {
                    check(ProxyRemoveHandle(pointer) == E_INVALIDARG, "remove of an unregistered handle");
                }
                break;
        }
    }
    for (std::size_t i = 0; i < mine.size(); ++i) {
        for (; registered[i] > 0; --registered[i]) check(ProxyRemoveHandle(mine[i]->unknown()) == S_OK, "final remove");
    }
}

TEST(HandleManager_Concurrency, MixedTrafficBalancesEveryObjectAndEmptiesTheRegistry) {
    auto objects = std::make_unique<Objects>();
    // The final Release of a private object looks up a shared one, from outside
    // the lock, while the other threads keep going.
    for (auto& own : objects->own) {
        for (FakeUnknown& object : own) {
            object.onRelease = [&objects](ULONG) {
                IUnknown* out = nullptr;
                if (ProxyGetHandle(objects->shared[0].unknown(), &out) == S_OK) out->Release();
            };
        }
    }

    std::vector<std::vector<std::string>> errors(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(Work, std::ref(*objects), t, std::ref(errors[t]));
    for (std::thread& thread : threads) thread.join();

    for (int t = 0; t < kThreads; ++t) {
        EXPECT_TRUE(errors[t].empty()) << "thread " << t << ": " << errors[t].size() << " failures, first "
                                       << (errors[t].empty() ? "" : errors[t].front());
    }
    EXPECT_EQ(0u, Access::Size(gProcessHandles));
    for (FakeUnknown& object : objects->shared) {
        EXPECT_GT(object.addRefs(), 0);
        EXPECT_EQ(object.addRefs(), object.releases());
    }
    for (auto& own : objects->own) {
        for (FakeUnknown& object : own) {
            EXPECT_GT(object.addRefs(), 0);
            EXPECT_EQ(object.addRefs(), object.releases());
        }
    }
}

}  // namespace
