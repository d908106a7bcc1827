#include "support/fake_unknown.h"

namespace zentrel::test {

HRESULT FakeUnknown::QueryInterface(REFIID riid, void** ppv) {
    ++queries_;
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || (answersDispatch_ && riid == IID_IDispatch)) {
        *ppv = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG FakeUnknown::AddRef() { return static_cast<ULONG>(++addRefs_ - releases_.load()); }

ULONG FakeUnknown::Release() {
    const auto count = static_cast<ULONG>(addRefs_.load() - ++releases_);
    if (onRelease) onRelease(count);
    return count;
}

}  // namespace zentrel::test
