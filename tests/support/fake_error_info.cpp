#include "support/fake_error_info.h"

#include "automation/strings/bstr.h"

namespace zentrel::test {
namespace {

HRESULT Text(const char* text, BSTR* out) {
    if (out == nullptr) return E_POINTER;
    *out = SysAllocString(text);
    return S_OK;
}

}  // namespace

HRESULT FakeErrorInfo::QueryInterface(REFIID riid, void** ppv) {
    // The base counts the query; it refuses IID_IErrorInfo by itself.
    if (riid != IID_IErrorInfo || ppv == nullptr || FAILED(refusal_)) {
        const HRESULT hr = FakeUnknown::QueryInterface(riid, ppv);
        return riid == IID_IErrorInfo && ppv != nullptr ? refusal_ : hr;
    }
    const HRESULT hr = FakeUnknown::QueryInterface(IID_IUnknown, ppv);  // counted, one reference
    *ppv = static_cast<IErrorInfo*>(this);
    return hr;
}

HRESULT FakeErrorInfo::GetGUID(GUID* guid) {
    if (guid == nullptr) return E_POINTER;
    *guid = IID_IErrorInfo;
    return S_OK;
}

HRESULT FakeErrorInfo::GetSource(BSTR* source) { return Text("fake", source); }
HRESULT FakeErrorInfo::GetDescription(BSTR* description) { return Text("fake description", description); }
HRESULT FakeErrorInfo::GetHelpFile(BSTR* helpFile) { return Text(nullptr, helpFile); }

HRESULT FakeErrorInfo::GetHelpContext(DWORD* helpContext) {
    if (helpContext == nullptr) return E_POINTER;
    *helpContext = kHelpContext;
    return S_OK;
}

}  // namespace zentrel::test
