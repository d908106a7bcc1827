// The out-of-memory sweep over the handle registry: a new entry's allocation
// failure leaves AddHandle and ProxyAddHandle as std::bad_alloc, with the map
// unchanged and no AddRef made.
#include "interop/process_handles.h"
#include "interop/proxy.h"
#include "reliability/oom_sweep.h"

namespace zentrel::test::oom {
namespace {

using KoAtlCom::Interop::detail::gProcessHandles;

// An address no registration hands out, to see that a failure writes nothing.
void* const kUntouched = reinterpret_cast<void*>(0x5A5A5A5A5A5A5A5A);

// Another object already registered, so that the new key joins a non-empty map.
void RegisterNeighbour(World& w) {
    ASSERT_EQ(w.dispatch.unknown(), gProcessHandles.AddHandle(w.dispatch.unknown()));
    w.outPtr = kUntouched;
}

void Unregister(World& w) {
    if (w.outPtr == w.unknown.unknown()) {
        EXPECT_EQ(S_OK, ProxyRemoveHandle(w.outPtr));
    }
    EXPECT_EQ(S_OK, ProxyRemoveHandle(w.dispatch.unknown()));
    // Nothing of this sweep may stay registered.
    IUnknown* found = nullptr;
    EXPECT_EQ(E_FAIL, ProxyGetHandle(w.unknown.unknown(), &found));
}

// The new registration holds the registry's one reference; a failed one
// registered nothing.
void RegisteredOnce(World& w, HRESULT, bool failed) {
    IUnknown* found = nullptr;
    if (failed) {
        EXPECT_EQ(kUntouched, w.outPtr);
        EXPECT_EQ(0, w.unknown.outstanding());
        EXPECT_EQ(E_FAIL, ProxyGetHandle(w.unknown.unknown(), &found));
    } else {
        EXPECT_EQ(w.unknown.unknown(), w.outPtr);
        EXPECT_EQ(1, w.unknown.outstanding());
        EXPECT_EQ(S_OK, ProxyGetHandle(w.unknown.unknown(), &found));
        if (found != nullptr) found->Release();
    }
    EXPECT_EQ(1, w.dispatch.outstanding()) << "the neighbour's registration changed";
}

const OomCase kRegistryCases[] = {
    {"ProxyAddHandle",
     RegisterNeighbour,
     [](World& w) { return ProxyAddHandle(w.unknown.unknown(), &w.outPtr); },
     {kThrewBadAlloc},
     Inputs::Checked,
     RegisteredOnce,
     Unregister},
    {"HandleManager_AddHandle",
     RegisterNeighbour,
     [](World& w) {
         void* handle = gProcessHandles.AddHandle(w.unknown.unknown());
         w.outPtr = handle;
         return S_OK;
     },
     {kThrewBadAlloc},
     Inputs::Checked,
     RegisteredOnce,
     Unregister},
};

INSTANTIATE_TEST_SUITE_P(Registry, OomSweep, ::testing::ValuesIn(kRegistryCases), CaseName);

}  // namespace
}  // namespace zentrel::test::oom
