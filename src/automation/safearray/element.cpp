#include "automation/safearray/element.h"

#include <cstdint>
#include <cstring>

#include "automation/safearray/descriptor.h"
#include "automation/safearray/layout.h"
#include "automation/strings/bstr_copy.h"
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
// order) names. The first dimension varies fastest and its bound is stored
// last (rgsabound[cDims - 1]), so the indices are taken first to last against
// the bounds from the end, each offset scaled by the product of the counts
// before it. Any index out of its dimension's range gives DISP_E_BADINDEX and
// nothing is written. Offsets, strides and the flat index are 64-bit, so every
// index up to the top of the LONG range is accepted and arrays of more than
// 2^32 elements are addressed correctly; the strides do not depend on the
// offsets, so the multiplications overlap.
//
// A descriptor whose data size does not fit 64 bits describes no block an
// element could lie in: E_INVALIDARG, as soon as that shows. A product below
// 2^32 times a 32-bit factor cannot overflow, so only larger ones take the
// checked multiply.
inline HRESULT FlatIndexOf(const SAFEARRAY& array, const LONG* indices, std::uint64_t* flat) noexcept {
    constexpr std::uint64_t kSmall = 0xFFFFFFFF;
    std::uint64_t position = 0;
    std::uint64_t stride = 1;
    const SAFEARRAYBOUND* bound = array.rgsabound + array.cDims;
    for (const LONG* index = indices; index != indices + array.cDims; ++index) {
        --bound;
        // Below the lower bound the offset wraps to a huge value: one compare
        // checks both ends.
        const auto offset = static_cast<std::uint64_t>(std::int64_t{*index} - bound->lLbound);
        if (offset >= bound->cElements) return DISP_E_BADINDEX;
        position += offset * stride;
        if (stride <= kSmall) {
            stride *= bound->cElements;
        } else if (__builtin_mul_overflow(stride, std::uint64_t{bound->cElements}, &stride)) {
            return E_INVALIDARG;
        }
    }
    // `stride` is now the element count.
    std::uint64_t bytes;
    if (stride > kSmall && __builtin_mul_overflow(stride, std::uint64_t{array.cbElements}, &bytes)) return E_INVALIDARG;
    *flat = position;
    return S_OK;
}

// The address of the element at `flat`: pvData + flat × cbElements.
unsigned char* ElementAt(const SAFEARRAY& array, std::uint64_t flat) noexcept {
    return static_cast<unsigned char*>(array.pvData) + flat * array.cbElements;
}

// Index resolution shared by the three index operations, after their own null
// checks. An array without dimensions names no element (E_INVALIDARG); the
// indices are checked next (DISP_E_BADINDEX), and only then is an array
// without element storage refused (E_INVALIDARG).
inline HRESULT ResolveElement(const SAFEARRAY& array, const LONG* indices, unsigned char** element) noexcept {
    if (array.cDims == 0) return E_INVALIDARG;
    std::uint64_t flat;
    if (const HRESULT hr = FlatIndexOf(array, indices, &flat); FAILED(hr)) return hr;
    if (!HasElementStorage(array)) return E_INVALIDARG;
    *element = ElementAt(array, flat);
    return S_OK;
}

// Plain elements are copied as cbElements raw bytes. The usual sizes go
// through a register, which keeps the common case free of a library call and
// is safe when source and target overlap.
template <std::size_t N>
void CopyFixed(void* to, const void* from) noexcept {
    unsigned char value[N];
    std::memcpy(value, from, N);
    std::memcpy(to, value, N);
}

void CopyPlain(void* to, const void* from, ULONG size) noexcept {
    switch (size) {
        case 1:
            return CopyFixed<1>(to, from);
        case 2:
            return CopyFixed<2>(to, from);
        case 4:
            return CopyFixed<4>(to, from);
        case 8:
            return CopyFixed<8>(to, from);
        default:
            std::memmove(to, from, size);
    }
}

// Each element kind's read into and write from the caller's `pv`. A variant
// or string target that is the element itself already holds its value:
// copying it in would leak what the element holds, so nothing is done. An
// interface target that is the element gets its new reference like any other:
// the caller releases what it received, which must not be the array's own.

// Only the type word is reset: the target is a receiving slot whose old
// contents are the caller's business.
HRESULT GetVariant(VARIANT* element, VARIANT* target) noexcept {
    if (target == element) return S_OK;
    target->vt = VT_EMPTY;
    return VariantCopy(target, element);
}

HRESULT GetString(const BSTR* element, BSTR* target) noexcept {
    if (target == element) return S_OK;
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

// The kinds other than plain, kept out of line so that the plain path, the
// one that has to be fast, stays short. Elements whose size does not fit
// their kind are refused.
[[gnu::noinline]] HRESULT GetOwned(ElementKind kind, unsigned char* element, void* pv) noexcept {
    switch (kind) {
        case ElementKind::Mismatched:
            return E_INVALIDARG;
        case ElementKind::Variant:
            return GetVariant(reinterpret_cast<VARIANT*>(element), static_cast<VARIANT*>(pv));
        case ElementKind::String:
            return GetString(reinterpret_cast<BSTR*>(element), static_cast<BSTR*>(pv));
        case ElementKind::Interface:
            return GetInterface(reinterpret_cast<IUnknown**>(element), static_cast<IUnknown**>(pv));
        case ElementKind::Record:
        case ElementKind::Plain:
            break;
    }
    return E_NOTIMPL;
}

// pv is the interface pointer itself for interface elements (null stores
// null); variants and strings are read through it, so it must point somewhere.
[[gnu::noinline]] HRESULT PutOwned(ElementKind kind, unsigned char* element, void* pv) noexcept {
    switch (kind) {
        case ElementKind::Mismatched:
            return E_INVALIDARG;
        case ElementKind::Variant:
            if (pv == nullptr) return E_INVALIDARG;
            // VariantCopy completes the copy before it releases the element, so
            // the source may be part of what the element holds.
            return VariantCopy(reinterpret_cast<VARIANT*>(element), static_cast<const VARIANT*>(pv));
        case ElementKind::String:
            if (pv == nullptr) return E_INVALIDARG;
            return PutString(reinterpret_cast<BSTR*>(element), static_cast<const BSTR*>(pv));
        case ElementKind::Interface:
            return PutInterface(reinterpret_cast<IUnknown**>(element), static_cast<IUnknown*>(pv));
        case ElementKind::Record:
        case ElementKind::Plain:
            break;
    }
    return E_NOTIMPL;
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
    const ElementKind kind = KindOf(*psa, KindOrder::Access);
    if (kind != ElementKind::Plain) return GetOwned(kind, element, pv);
    CopyPlain(pv, element, psa->cbElements);
    return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* indices, void* pv) noexcept {
    if (psa == nullptr || indices == nullptr) return E_INVALIDARG;
    unsigned char* element;
    if (const HRESULT hr = ResolveElement(*psa, indices, &element); FAILED(hr)) return hr;
    const ElementKind kind = KindOf(*psa, KindOrder::Access);
    if (kind != ElementKind::Plain) return PutOwned(kind, element, pv);
    if (pv == nullptr) return E_INVALIDARG;
    CopyPlain(element, pv, psa->cbElements);
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
    const bool ofInterfaces =
        (features & FADF_HAVEIID) != 0 ||
        ((features & FADF_HAVEVARTYPE) != 0 && (KoAtlCom::detail::ReadPrefixVartype(psa) | 0x4u) == VT_UNKNOWN);
    if (!ofInterfaces) return E_INVALIDARG;
    // The element must exist and be an object before it can be asked anything.
    if (psa->cbElements != sizeof(void*) || !HasElementStorage(*psa) || !KoAtlCom::detail::DataSize(*psa))
        return E_INVALIDARG;
    if (index >= SafeArrayElementCount(psa)) return DISP_E_BADINDEX;
    IUnknown* object = *reinterpret_cast<IUnknown**>(ElementAt(*psa, index));
    if (object == nullptr) return E_POINTER;
    return object->QueryInterface(riid, out);
}
