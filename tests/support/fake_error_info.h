// A foreign IErrorInfo for tests: a FakeUnknown (same counts, same onRelease
// hook, never deletes itself) that also answers IID_IErrorInfo, or refuses it
// with a chosen status. Its getters report fixed values.
#pragma once

#include "automation/errorinfo/errorinfo.h"
#include "support/fake_unknown.h"

namespace zentrel::test {

class FakeErrorInfo : public IErrorInfo, public FakeUnknown {
public:
    // A failure code as `refusal` is what QueryInterface returns for
    // IID_IErrorInfo; S_OK makes the fake answer it like any IErrorInfo.
    explicit FakeErrorInfo(HRESULT refusal = S_OK) : refusal_(refusal) {}

    // Every call is counted as FakeUnknown counts it.
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return FakeUnknown::AddRef(); }
    ULONG Release() override { return FakeUnknown::Release(); }

    HRESULT GetGUID(GUID* guid) override;
    HRESULT GetSource(BSTR* source) override;
    HRESULT GetDescription(BSTR* description) override;
    HRESULT GetHelpFile(BSTR* helpFile) override;
    HRESULT GetHelpContext(DWORD* helpContext) override;

    static constexpr DWORD kHelpContext = 4711;

private:
    HRESULT refusal_;
};

}  // namespace zentrel::test
