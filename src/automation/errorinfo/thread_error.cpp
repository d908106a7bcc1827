// The current error of each thread: one owning IErrorInfo pointer per thread,
// created on the thread's first SetErrorInfo or GetErrorInfo and released when
// the thread ends.
//
// A reference the slot takes is released exactly once, whatever order the
// thread's exit code runs in. Three ends are armed when a thread's slot is made,
// and the first to run releases it and marks it ended:
// - a thread_local destructor: the ordinary end of a thread, and of the thread
//   that calls exit;
// - a pthread key destructor: the C library runs those after the thread_local
//   destructors, and again as long as one of them sets a value, so a slot first
//   made by another key's destructor still ends with the thread;
// - a static destructor, armed with the first slot of the process: exit runs it
//   after the at-exit handlers and static destructors registered after it, so a
//   slot first made by one of those still ends with the process.
// Calls that come after the end of the calling thread's slot store nothing.

#include <pthread.h>

#include <utility>

#include "automation/errorinfo/errorinfo.h"

namespace {

// Plain thread_local values without destructors: exit code that runs after
// every destructor can still read them.
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

struct ThreadEnd {
    ThreadEnd() = default;
    ThreadEnd(const ThreadEnd&) = delete;
    ThreadEnd& operator=(const ThreadEnd&) = delete;
    ~ThreadEnd() { EndSlot(); }
};

// The key whose destructor ends a slot made after the thread_local
// destructors have run, and the process's end of the thread that exits. Made
// with the first slot of the process; when the key cannot be had, the other
// two ends still hold for everything but a slot first made by a key destructor.
class ProcessEnd {
public:
    ProcessEnd() noexcept {
        haveKey_ = pthread_key_create(&key_, [](void*) { EndSlot(); }) == 0;
    }
    ~ProcessEnd() {
        EndSlot();
        if (haveKey_) pthread_key_delete(key_);  // its destructor may be unloaded with this code
        haveKey_ = false;
    }
    ProcessEnd(const ProcessEnd&) = delete;
    ProcessEnd& operator=(const ProcessEnd&) = delete;

    void Arm() const noexcept {
        static int marker;  // any non-null value makes the key's destructor run
        if (haveKey_) pthread_setspecific(key_, &marker);
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
        static thread_local const ThreadEnd threadEnd;
        processEnd.Arm();
        tState = SlotState::Live;
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
