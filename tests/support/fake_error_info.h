// A foreign IErrorInfo for tests: counts AddRef, Release and QueryInterface,
// never deletes itself (the test owns it), and can be told to refuse
// IID_IErrorInfo with a chosen status. Its getters report fixed values.
#pragma once

#include <atomic>
#include <functional>

#include "automation/errorinfo/errorinfo.h"

namespace zentrel::test {

class FakeErrorInfo : public IErrorInfo {
public:
    // `refusal` is what QueryInterface returns for IID_IErrorInfo when it is a
    // failure code; S_OK makes the fake answer it like any IErrorInfo.
    explicit FakeErrorInfo(HRESULT refusal = S_OK) : refusal_(refusal) {}
    virtual ~FakeErrorInfo() = default;

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT GetGUID(GUID* guid) override;
    HRESULT GetSource(BSTR* source) override;
    HRESULT GetDescription(BSTR* description) override;
    HRESULT GetHelpFile(BSTR* helpFile) override;
    HRESULT GetHelpContext(DWORD* helpContext) override;

    static constexpr DWORD kHelpContext = 4711;

    int addRefs() const { return addRefs_.load(); }
    int releases() const { return releases_.load(); }
    int queries() const { return queries_.load(); }
    // References held by others: AddRefs (direct or through QueryInterface)
    // minus Releases.
    int outstanding() const { return addRefs() - releases(); }

    // Called after the count is updated, with the new count; lets a test run
    // code from inside Release (re-entrancy).
    std::function<void(ULONG)> onRelease;

private:
    HRESULT refusal_;
    std::atomic<int> addRefs_{0};
    std::atomic<int> releases_{0};
    std::atomic<int> queries_{0};
};

}  // namespace zentrel::test
