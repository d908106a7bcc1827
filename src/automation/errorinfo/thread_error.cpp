// The current error of each thread: one owning IErrorInfo pointer per thread,
// created on the thread's first SetErrorInfo or GetErrorInfo and released when
// the thread ends.

#include "automation/errorinfo/errorinfo.h"

namespace {

// Outlives the slot: a plain flag needs no destructor, so it can still be read
// by thread-exit code that runs after the slot has gone.
enum class SlotState : unsigned char { Absent, Live, Destroyed };
thread_local SlotState tSlotState = SlotState::Absent;

struct Slot {
    IErrorInfo* held = nullptr;

    Slot() noexcept { tSlotState = SlotState::Live; }
    ~Slot() {
        // Marked first, so that a Release which reaches back into SetErrorInfo or
        // GetErrorInfo finds the slot gone instead of touching it.
        tSlotState = SlotState::Destroyed;
        if (held != nullptr) held->Release();
    }
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
};

// The calling thread's slot, created on first use; null once it has been
// destroyed at thread exit (a later thread-exit destructor may still call in).
Slot* CurrentSlot() noexcept {
    if (tSlotState == SlotState::Destroyed) return nullptr;
    static thread_local Slot slot;
    return &slot;
}

}  // namespace

HRESULT SetErrorInfo(ULONG /*reserved*/, IErrorInfo* info) noexcept {
    Slot* slot = CurrentSlot();
    // After the slot is gone there is nothing that could release a stored
    // reference: the caller keeps its object and nothing is stored.
    if (slot == nullptr || info == slot->held) return S_OK;
    if (info != nullptr) info->AddRef();
    // The slot holds the new object before the old one's Release runs, so code
    // inside that Release sees the new current error.
    IErrorInfo* old = slot->held;
    slot->held = info;
    if (old != nullptr) old->Release();
    return S_OK;
}

HRESULT GetErrorInfo(ULONG /*reserved*/, IErrorInfo** out) noexcept {
    if (out == nullptr) return E_POINTER;
    Slot* slot = CurrentSlot();
    if (slot == nullptr || slot->held == nullptr) {
        *out = nullptr;
        return S_OK;
    }
    // The slot keeps its reference; the caller gets one of its own.
    return slot->held->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(out));
}
