// The error-information object that CreateErrorInfo hands out: one
// reference-counted object written through ICreateErrorInfo and read through
// IErrorInfo.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "automation/errorinfo/errorinfo.h"

namespace KoAtlCom::detail {

// Both interfaces are views of one object. ICreateErrorInfo is the primary base,
// so its pointer is the object's address and the object's IUnknown identity;
// the IErrorInfo view sits inside the object. The reference count is atomic, so
// references may be added and released from any thread; the fields are not
// locked, and callers serialise setting a field against other uses of it.
//
// The declaration order below is the order of the primary table and must not
// change: QueryInterface, AddRef, Release, the five setters, the destructor,
// the five getters.
class KoErrorInfo final : public ICreateErrorInfo, public IErrorInfo {
public:
    // A new object with a count of 1, owned by the caller, all fields empty.
    KoErrorInfo() noexcept = default;
    KoErrorInfo(const KoErrorInfo&) = delete;
    KoErrorInfo& operator=(const KoErrorInfo&) = delete;

    // IID_IUnknown and IID_ICreateErrorInfo give the ICreateErrorInfo view,
    // IID_IErrorInfo the IErrorInfo view, each with one reference added.
    // E_POINTER for a null `ppv`; E_NOINTERFACE (and *ppv null) for any other
    // identifier. A null identifier address is refused with E_POINTER, *ppv null.
    HRESULT QueryInterface(REFIID riid, void** ppv) noexcept override;
    // The new count. The Release that reaches 0 deletes the object.
    ULONG AddRef() noexcept override;
    ULONG Release() noexcept override;

    // Copies the 16 bytes; E_POINTER (nothing changed) for a null address.
    HRESULT SetGUID(REFGUID guid) noexcept override;
    // Replace the text by a copy up to its first NUL; null text stores empty
    // text. S_OK. Running out of memory throws std::bad_alloc and keeps the
    // old text.
    HRESULT SetSource(LPCOLESTR source) override;
    HRESULT SetDescription(LPCOLESTR description) override;
    HRESULT SetHelpFile(LPCOLESTR helpFile) override;
    HRESULT SetHelpContext(DWORD helpContext) noexcept override;

private:
    // Only Release destroys the object.
    virtual ~KoErrorInfo() = default;

public:
    HRESULT GetGUID(GUID* guid) noexcept override;
    // A new BSTR holding the text, owned by the caller; empty text gives null.
    // S_OK also when the copy cannot be allocated (the result is then null);
    // E_POINTER for a null `out`.
    HRESULT GetSource(BSTR* source) noexcept override;
    HRESULT GetDescription(BSTR* description) noexcept override;
    HRESULT GetHelpFile(BSTR* helpFile) noexcept override;
    HRESULT GetHelpContext(DWORD* helpContext) noexcept override;

private:
    std::atomic<std::uint32_t> references_{1};
    GUID guid_{};
    std::string source_;
    std::string description_;
    std::string helpFile_;
    DWORD helpContext_ = 0;
};

}  // namespace KoAtlCom::detail
