#include "automation/safearray/element.h"

#include <cstdint>
#include <cstring>

#include "automation/safearray/layout.h"
#include "automation/strings/bstr.h"
#include "automation/variant/lifecycle.h"

namespace {

using KoAtlCom::detail::ElementKind;
using KoAtlCom::detail::KindOf;
using KoAtlCom::detail::KindOrder;

// The bound of dimension number `nDim` (1-based, caller's order), or null when
// the array has no such dimension.
const SAFEARRAYBOUND* BoundOfDimension(const SAFEARRAY* psa, UINT nDim) noexcept {
    if (nDim == 0 || nDim > psa->cDims) return nullptr;
    return &psa->rgsabound[psa->cDims - nDim];
}

// Element storage that may be addressed: present and not already released. A
// released inline vector still has its slots, but the strings and references
// in them are gone, so reading or replacing them would free them twice.
bool HasElementStorage(const SAFEARRAY& array) noexcept {
    return array.pvData != nullptr && (array.fFeatures & FADF_DATA_RELEASED) == 0;
}

// The flat index of the element that `indices` (one per dimension, caller's
// order) names: the first dimension varies fastest. Each index is checked
// against its dimension in turn, the first one out of range ending the call
// with DISP_E_BADINDEX. The index, its offset from the lower bound and the
// running stride are kept in 64 bits, so every index of a dimension is accepted
// up to the top of the LONG range and arrays of more than 2^32 elements are
// addressed correctly.
HRESULT FlatIndexOf(const SAFEARRAY& array, const LONG* indices, std::uint64_t* flat) noexcept {
    std::uint64_t position = 0;
    std::uint64_t stride = 1;
    const SAFEARRAYBOUND* bound = &array.rgsabound[array.cDims - 1];
    for (UINT k = 0; k < array.cDims; ++k, --bound) {
        const std::int64_t offset = std::int64_t{indices[k]} - bound->lLbound;
        if (offset < 0 || offset >= std::int64_t{bound->cElements}) return DISP_E_BADINDEX;
        position += static_cast<std::uint64_t>(offset) * stride;
        stride *= bound->cElements;
    }
    *flat = position;
    return S_OK;
}

// The address of the element at `flat`: pvData + flat × cbElements.
unsigned char* ElementAt(const SAFEARRAY& array, std::uint64_t flat) noexcept {
    return static_cast<unsigned char*>(array.pvData) + flat * array.cbElements;
}

// Index resolution shared by the three index operations, after their own null
// checks. An array without dimensions or without element storage names no
// element (E_INVALIDARG).
HRESULT ResolveElement(const SAFEARRAY& array, const LONG* indices, unsigned char** element) noexcept {
    if (array.cDims == 0 || !HasElementStorage(array)) return E_INVALIDARG;
    std::uint64_t flat;
    if (const HRESULT hr = FlatIndexOf(array, indices, &flat); FAILED(hr)) return hr;
    *element = ElementAt(array, flat);
    return S_OK;
}

// Each element kind's read into and write from the caller's `pv`.

HRESULT GetVariant(VARIANT* element, VARIANT* target) noexcept {
    if (target == element) return S_OK;  // already holds itself
    // Only the type word is reset: the target is a receiving slot whose old
    // contents are the caller's business.
    target->vt = VT_EMPTY;
    return VariantCopy(target, element);
}

HRESULT GetString(const BSTR* element, BSTR* target) noexcept {
    if (*element == nullptr) {
        *target = nullptr;
        return S_OK;
    }
    *target = KoAtlCom::detail::BstrCopy(*element);
    return *target != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT GetInterface(IUnknown* const* element, IUnknown** target) noexcept {
    IUnknown* object = *element;
    if (object != nullptr) object->AddRef();
    *target = object;
    return S_OK;
}

// The source may be part of what the element holds (an alias of its string, a
// variant inside its array), so the copy is made completely before the element
// is cleared, and then moved in. A source that is the element itself is left
// as it is.
HRESULT PutVariant(VARIANT* element, const VARIANT* source) noexcept {
    if (source == element) return VariantCopy(element, source);
    VARIANT copy;
    VariantInit(&copy);
    const HRESULT copied = VariantCopy(&copy, source);
    if (FAILED(copied) && copy.vt == VT_EMPTY) return copied;  // refused source: element untouched
    if (const HRESULT cleared = VariantClear(element); FAILED(cleared)) {
        VariantClear(&copy);
        return cleared;
    }
    std::memcpy(static_cast<void*>(element), &copy, sizeof copy);
    return copied;
}

// Copy first, then free the old string: the source text may lie inside it.
HRESULT PutString(BSTR* element, const BSTR* source) noexcept {
    BSTR copy = KoAtlCom::detail::BstrTextCopy(*source);
    BSTR old = *element;
    *element = copy;
    SysFreeString(old);
    return copy != nullptr ? S_OK : E_OUTOFMEMORY;
}

// The new reference is taken and stored before the old one goes, so storing
// the pointer the element already holds is safe, and a Release that calls back
// into the array finds the new value.
HRESULT PutInterface(IUnknown** element, IUnknown* source) noexcept {
    if (source != nullptr) source->AddRef();
    IUnknown* old = *element;
    *element = source;
    if (old != nullptr) old->Release();
    return S_OK;
}

}  // namespace

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* out) noexcept {
    if (psa == nullptr || out == nullptr) return E_INVALIDARG;
    const SAFEARRAYBOUND* bound = BoundOfDimension(psa, nDim);
    if (bound == nullptr) return E_INVALIDARG;
    // 32-bit two's complement: an empty dimension ends one below its start.
    *out = static_cast<LONG>(static_cast<ULONG>(bound->lLbound) + bound->cElements - 1u);
    return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* out) noexcept {
    if (psa == nullptr || out == nullptr) return E_INVALIDARG;
    const SAFEARRAYBOUND* bound = BoundOfDimension(psa, nDim);
    if (bound == nullptr) return E_INVALIDARG;
    *out = bound->lLbound;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** out) noexcept {
    if (psa == nullptr || out == nullptr) return E_INVALIDARG;
    *out = psa->pvData;
    return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* indices, void* pv) noexcept {
    if (psa == nullptr || indices == nullptr || pv == nullptr) return E_INVALIDARG;
    unsigned char* element;
    if (const HRESULT hr = ResolveElement(*psa, indices, &element); FAILED(hr)) return hr;
    switch (KindOf(*psa, KindOrder::Access)) {
        case ElementKind::Variant:
            return GetVariant(reinterpret_cast<VARIANT*>(element), static_cast<VARIANT*>(pv));
        case ElementKind::String:
            return GetString(reinterpret_cast<BSTR*>(element), static_cast<BSTR*>(pv));
        case ElementKind::Interface:
            return GetInterface(reinterpret_cast<IUnknown**>(element), static_cast<IUnknown**>(pv));
        case ElementKind::Record:
            return E_NOTIMPL;
        case ElementKind::Plain:
            break;
    }
    std::memcpy(pv, element, psa->cbElements);
    return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* indices, void* pv) noexcept {
    if (psa == nullptr || indices == nullptr) return E_INVALIDARG;
    unsigned char* element;
    if (const HRESULT hr = ResolveElement(*psa, indices, &element); FAILED(hr)) return hr;
    const ElementKind kind = KindOf(*psa, KindOrder::Access);
    // pv is the interface pointer itself for interface elements (null stores
    // null); for the kinds that read through it, it must point somewhere.
    if (pv == nullptr && kind != ElementKind::Interface && kind != ElementKind::Record) return E_INVALIDARG;
    switch (kind) {
        case ElementKind::Variant:
            return PutVariant(reinterpret_cast<VARIANT*>(element), static_cast<const VARIANT*>(pv));
        case ElementKind::String:
            return PutString(reinterpret_cast<BSTR*>(element), static_cast<const BSTR*>(pv));
        case ElementKind::Interface:
            return PutInterface(reinterpret_cast<IUnknown**>(element), static_cast<IUnknown*>(pv));
        case ElementKind::Record:
            return E_NOTIMPL;
        case ElementKind::Plain:
            break;
    }
    std::memmove(element, pv, psa->cbElements);
    return S_OK;
}

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, const LONG* indices, void** out) noexcept {
    if (psa == nullptr || indices == nullptr || out == nullptr) return E_INVALIDARG;
    unsigned char* element;
    if (const HRESULT hr = ResolveElement(*psa, indices, &element); FAILED(hr)) return hr;
    *out = element;
    return S_OK;
}

HRESULT SafeArrayQueryElement(SAFEARRAY* psa, ULONG index, REFIID riid, void** out) noexcept {
    if (psa == nullptr) return E_INVALIDARG;
    const USHORT features = psa->fFeatures;
    if ((features & FADF_RECORD) != 0) return E_INVALIDARG;
    // VT_DISPATCH (9) and VT_UNKNOWN (13) are the stored types that become 13
    // with bit 0x4 set.
    const bool ofInterfaces = (features & FADF_HAVEIID) != 0 ||
                              ((features & FADF_HAVEVARTYPE) != 0 &&
                               (KoAtlCom::detail::ReadPrefixVartype(psa) | 0x4u) == VT_UNKNOWN);
    if (!ofInterfaces) return E_INVALIDARG;
    // The element must exist and be an object before it can be asked anything.
    if (psa->cbElements != sizeof(IUnknown*) || !HasElementStorage(*psa)) return E_INVALIDARG;
    if (index >= SafeArrayElementCount(psa)) return DISP_E_BADINDEX;
    if (out == nullptr) return E_POINTER;
    IUnknown* object = *reinterpret_cast<IUnknown**>(ElementAt(*psa, index));
    if (object == nullptr) return E_POINTER;
    return object->QueryInterface(riid, out);
}
