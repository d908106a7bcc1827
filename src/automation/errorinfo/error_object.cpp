#include "automation/errorinfo/error_object.h"

#include <limits>
#include <new>

#include "automation/strings/bstr.h"

namespace KoAtlCom::detail {
namespace {

// True for the address of a reference parameter that a caller outside C++ (a
// table call from C, for instance) passed as 0. The volatile read keeps the
// compiler from assuming that a reference is never null and dropping the test.
bool IsNullAddress(const void* address) noexcept {
    const void* volatile seen = address;
    return seen == nullptr;
}

void AssignText(std::string& field, LPCOLESTR text) {
    if (text == nullptr) {
        field.clear();
    } else {
        field.assign(text);
    }
}

// BSTR copy of a held text: its length is the count, so empty text gives null.
// Text too long for the 32-bit length prefix is treated like exhausted memory
// rather than cut short.
HRESULT CopyText(const std::string& field, BSTR* out) noexcept {
    if (out == nullptr) return E_POINTER;
    if (field.size() > std::numeric_limits<UINT>::max()) {
        *out = nullptr;
    } else {
        *out = SysAllocStringLen(field.data(), static_cast<UINT>(field.size()));
    }
    return S_OK;
}

}  // namespace

HRESULT KoErrorInfo::QueryInterface(REFIID riid, void** ppv) noexcept {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (IsNullAddress(&riid)) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ICreateErrorInfo) {
        *ppv = static_cast<ICreateErrorInfo*>(this);
    } else if (riid == IID_IErrorInfo) {
        *ppv = static_cast<IErrorInfo*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG KoErrorInfo::AddRef() noexcept { return references_.fetch_add(1, std::memory_order_relaxed) + 1; }

ULONG KoErrorInfo::Release() noexcept {
    // acq_rel: every other holder's last use of the fields happens before the
    // delete that follows the final decrement.
    const std::uint32_t count = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (count == 0) delete this;
    return count;
}

HRESULT KoErrorInfo::SetGUID(REFGUID guid) noexcept {
    if (IsNullAddress(&guid)) return E_POINTER;
    guid_ = guid;
    return S_OK;
}

HRESULT KoErrorInfo::SetSource(LPCOLESTR source) {
    AssignText(source_, source);
    return S_OK;
}

HRESULT KoErrorInfo::SetDescription(LPCOLESTR description) {
    AssignText(description_, description);
    return S_OK;
}

HRESULT KoErrorInfo::SetHelpFile(LPCOLESTR helpFile) {
    AssignText(helpFile_, helpFile);
    return S_OK;
}

HRESULT KoErrorInfo::SetHelpContext(DWORD helpContext) noexcept {
    helpContext_ = helpContext;
    return S_OK;
}

HRESULT KoErrorInfo::GetGUID(GUID* guid) noexcept {
    if (guid == nullptr) return E_POINTER;
    *guid = guid_;
    return S_OK;
}

HRESULT KoErrorInfo::GetSource(BSTR* source) noexcept { return CopyText(source_, source); }

HRESULT KoErrorInfo::GetDescription(BSTR* description) noexcept { return CopyText(description_, description); }

HRESULT KoErrorInfo::GetHelpFile(BSTR* helpFile) noexcept { return CopyText(helpFile_, helpFile); }

HRESULT KoErrorInfo::GetHelpContext(DWORD* helpContext) noexcept {
    if (helpContext == nullptr) return E_POINTER;
    *helpContext = helpContext_;
    return S_OK;
}

}  // namespace KoAtlCom::detail

HRESULT CreateErrorInfo(ICreateErrorInfo** out) noexcept {
    if (out == nullptr) return E_POINTER;
    auto* object = new (std::nothrow) KoAtlCom::detail::KoErrorInfo;
    if (object == nullptr) return E_OUTOFMEMORY;
    *out = object;
    return S_OK;
}
