#include "support/fake_error_info.h"

#include "automation/strings/bstr.h"

namespace zentrel::test {

HRESULT FakeErrorInfo::QueryInterface(REFIID riid, void** ppv) {
    ++queries_;
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IErrorInfo && FAILED(refusal_)) return refusal_;
    if (riid == IID_IUnknown || riid == IID_IErrorInfo) {
        *ppv = static_cast<IErrorInfo*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG FakeErrorInfo::AddRef() { return static_cast<ULONG>(++addRefs_ - releases_.load()); }

ULONG FakeErrorInfo::Release() {
    const auto count = static_cast<ULONG>(addRefs_.load() - ++releases_);
    if (onRelease) onRelease(count);
    return count;
}

HRESULT FakeErrorInfo::GetGUID(GUID* guid) {
    if (guid == nullptr) return E_POINTER;
    *guid = IID_IErrorInfo;
    return S_OK;
}

HRESULT FakeErrorInfo::GetSource(BSTR* source) {
    if (source == nullptr) return E_POINTER;
    *source = SysAllocString("fake");
    return S_OK;
}

HRESULT FakeErrorInfo::GetDescription(BSTR* description) {
    if (description == nullptr) return E_POINTER;
    *description = SysAllocString("fake description");
    return S_OK;
}

HRESULT FakeErrorInfo::GetHelpFile(BSTR* helpFile) {
    if (helpFile == nullptr) return E_POINTER;
    *helpFile = nullptr;
    return S_OK;
}

HRESULT FakeErrorInfo::GetHelpContext(DWORD* helpContext) {
    if (helpContext == nullptr) return E_POINTER;
    *helpContext = kHelpContext;
    return S_OK;
}

}  // namespace zentrel::test
