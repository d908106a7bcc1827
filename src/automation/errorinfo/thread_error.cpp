// The current error of each thread: one owning IErrorInfo pointer per thread,
// created on the thread's first SetErrorInfo or GetErrorInfo and released when
// the thread ends.
//
// A reference the slot takes is released exactly once, whatever order the
// thread's exit code runs in, and the slot itself needs no destructor: its
// state is two plain thread_local values, which exit code can still read after
// every destructor has run. Two ends are armed when a slot is made, and the
// first to run releases it and marks it ended:
// - a pthread key destructor, which the C library runs when a thread ends,
//   after its thread_local destructors, and again as long as key destructors
//   set values, so a slot first made by another key's destructor still ends;
// - a static destructor, armed with the first slot of the process: exit runs
//   it, on the thread that calls exit (whose key destructors never run), after
//   the at-exit handlers and static destructors registered after it, so a slot
//   first made by one of those still ends with the process.
// A slot whose key value cannot be set is ended at once. Calls that come after
// the end of the calling thread's slot store nothing.

#include <dlfcn.h>
#include <pthread.h>

#include <utility>

#include "automation/errorinfo/errorinfo.h"

namespace {

enum class SlotState : unsigned char { Absent, Live, Ended };
thread_local SlotState tState = SlotState::Absent;
thread_local IErrorInfo* tHeld = nullptr;

// Marked first, so that a Release which reaches back into SetErrorInfo or
// GetErrorInfo finds the slot ended instead of storing into it.
void EndSlot() noexcept {
    if (tState == SlotState::Ended) return;
    tState = SlotState::Ended;
    if (IErrorInfo* held = std::exchange(tHeld, nullptr)) held->Release();
}

// The key whose destructor ends the slot of a thread that ends, and the end of
// the thread that calls exit. Threads may end after this code's module is
// closed, so the module is kept loaded for the key's destructor.
class ProcessEnd {
public:
    ProcessEnd() noexcept {
        haveKey_ = pthread_key_create(&key_, [](void*) { EndSlot(); }) == 0;
        Dl_info module;
        if (dladdr(reinterpret_cast<void*>(&EndSlot), &module) != 0 && module.dli_fname != nullptr)
            dlopen(module.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
    }
    ~ProcessEnd() {
        EndSlot();
        if (haveKey_) pthread_key_delete(key_);  // in case the module could not be kept
    }
    ProcessEnd(const ProcessEnd&) = delete;
    ProcessEnd& operator=(const ProcessEnd&) = delete;

    // True when the calling thread's slot will end with it.
    bool Arm() const noexcept {
        static int marker;  // any non-null value makes the key's destructor run
        return haveKey_ && pthread_setspecific(key_, &marker) == 0;
    }

private:
    pthread_key_t key_{};
    bool haveKey_ = false;
};

// True while the calling thread's slot may hold an object: made now if it is
// absent, false once it has ended.
bool SlotLive() noexcept {
    if (tState == SlotState::Absent) {
        static const ProcessEnd processEnd;
        tState = processEnd.Arm() ? SlotState::Live : SlotState::Ended;
    }
    return tState == SlotState::Live;
}

}  // namespace

HRESULT SetErrorInfo(ULONG /*reserved*/, IErrorInfo* info) noexcept {
    if (!SlotLive() || info == tHeld) return S_OK;
    if (info != nullptr) info->AddRef();
    // The slot holds the new object before the old one's Release runs, so code
    // inside that Release sees the new current error.
    IErrorInfo* old = std::exchange(tHeld, info);
    if (old != nullptr) old->Release();
    return S_OK;
}

HRESULT GetErrorInfo(ULONG /*reserved*/, IErrorInfo** out) noexcept {
    if (out == nullptr) return E_POINTER;
    if (!SlotLive() || tHeld == nullptr) {
        *out = nullptr;
        return S_OK;
    }
    // The slot keeps its reference; the caller gets one of its own.
    return tHeld->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(out));
}
