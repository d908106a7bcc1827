// A counting COM object for tests. It records every AddRef, Release and
// QueryInterface, never deletes itself (the test owns it), and answers
// IID_IUnknown always and IID_IDispatch when asked to.
#pragma once

#include <atomic>
#include <functional>

#include "interop/vocabulary.h"

namespace zentrel::test {

class FakeUnknown : public IDispatch {
public:
    explicit FakeUnknown(bool answersDispatch = false) : answersDispatch_(answersDispatch) {}
    virtual ~FakeUnknown() = default;

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

    IUnknown* unknown() { return this; }
    IDispatch* dispatch() { return this; }

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
    bool answersDispatch_;
    std::atomic<int> addRefs_{0};
    std::atomic<int> releases_{0};
    std::atomic<int> queries_{0};
};

}  // namespace zentrel::test
