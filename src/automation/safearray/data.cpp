// Releasing, destroying and copying the elements of arrays. Strings, interface
// references and variant contents belong to the array; variant elements are
// released and copied through VariantClear and VariantCopy, which come back
// here for the arrays they hold, so nesting is handled to any depth.
#include "automation/safearray/data.h"

#include <cstring>

#include "automation/memory.h"
#include "automation/safearray/descriptor.h"
#include "automation/safearray/layout.h"
#include "automation/strings/bstr_copy.h"
#include "automation/variant/lifecycle.h"

using namespace KoAtlCom::detail;

namespace {

// Feature bits a copy takes from its source, and the target's own bits that
// describe its storage rather than its elements and so stay with it.
constexpr USHORT kCopiedFeatures = 0xCFE8;
constexpr USHORT kTargetOwnFeatures = FADF_INLINE_DATA | FADF_AUTO | FADF_STATIC | FADF_EMBEDDED | FADF_FIXEDSIZE;
static_assert((kCopiedFeatures & kTargetOwnFeatures) == 0);

// Releases the elements and then the storage: zeroed under FADF_STATIC (the
// caller's block), marked released for inline data, freed otherwise.
void ReleaseData(SAFEARRAY* psa) noexcept {
    SafeArrayReleaseElements(psa, 0);
    if ((psa->fFeatures & FADF_STATIC) != 0) {
        const std::optional<std::uint64_t> bytes = DataSize(*psa);
        if (psa->pvData != nullptr && bytes) std::memset(psa->pvData, 0, *bytes);
    } else if ((psa->fFeatures & FADF_INLINE_DATA) != 0) {
        psa->fFeatures |= FADF_DATA_RELEASED;
    } else {
        std::free(psa->pvData);
        psa->pvData = nullptr;
    }
}

// Every element is attempted. The result is the status of the last element
// whose copy failed, so a failure in the middle is not hidden by a later
// success; S_OK when all succeed.
HRESULT CopyVariants(const VARIANT* source, VARIANT* target, std::uint64_t n) noexcept {
    HRESULT status = S_OK;
    for (std::uint64_t j = 0; j < n; ++j) {
        const HRESULT hr = VariantCopy(&target[j], &source[j]);
        if (FAILED(hr)) status = hr;
    }
    return status;
}

// Stops at the first copy that comes back null (a source of length 0, or no
// memory): that target element is null, the later ones keep their strings.
// The copy is made before the old target string is freed, so a target that
// shares a string with its source never reads freed memory.
HRESULT CopyStrings(const BSTR* source, BSTR* target, std::uint64_t n) noexcept {
    for (std::uint64_t j = 0; j < n; ++j) {
        BSTR copy = source[j] != nullptr ? BstrCopy(source[j]) : nullptr;
        SysFreeString(target[j]);
        target[j] = copy;
        if (copy == nullptr && source[j] != nullptr) return E_OUTOFMEMORY;
    }
    return S_OK;
}

// The new reference is taken before the old one is dropped, so an object held
// by both arrays never passes through a count of zero.
void CopyInterfaces(IUnknown* const* source, IUnknown** target, std::uint64_t n) noexcept {
    for (std::uint64_t j = 0; j < n; ++j) {
        IUnknown* old = target[j];
        target[j] = source[j];
        if (target[j] != nullptr) target[j]->AddRef();
        if (old != nullptr) old->Release();
    }
}

// Copies the elements of `source` into the distinct storage of `target`.
HRESULT CopyElements(ElementKind kind, const SAFEARRAY& source, SAFEARRAY& target) noexcept {
    const std::uint64_t n = SafeArrayElementCount(&source);
    switch (kind) {
        case ElementKind::Variant:
            return CopyVariants(static_cast<const VARIANT*>(source.pvData), static_cast<VARIANT*>(target.pvData), n);
        case ElementKind::String:
            return CopyStrings(static_cast<const BSTR*>(source.pvData), static_cast<BSTR*>(target.pvData), n);
        case ElementKind::Interface:
            CopyInterfaces(static_cast<IUnknown* const*>(source.pvData), static_cast<IUnknown**>(target.pvData), n);
            return S_OK;
        case ElementKind::Record:
            return E_NOTIMPL;
        case ElementKind::Plain:
            break;
    }
    std::memcpy(target.pvData, source.pvData, n * source.cbElements);
    return S_OK;
}

void CopyPrefix(const SAFEARRAY* source, SAFEARRAY* target) noexcept {
    if ((source->fFeatures & FADF_HAVEIID) != 0) {
        WritePrefixIid(target, ReadPrefixIid(source));
    } else if ((source->fFeatures & FADF_HAVEVARTYPE) != 0) {
        WritePrefixVartype(target, ReadPrefixVartype(source));
    }
}

bool SameShape(const SAFEARRAY& a, const SAFEARRAY& b) noexcept {
    if (a.cDims != b.cDims || a.cbElements != b.cbElements) return false;
    for (USHORT d = a.cDims; d-- > 0;)
        if (a.rgsabound[d].cElements != b.rgsabound[d].cElements) return false;
    return true;
}

// The copy's descriptor: by element type when the source states one, else a
// plain block with the source's element size and kind bits.
HRESULT AllocateCopyDescriptor(SAFEARRAY* source, SAFEARRAY** out) noexcept {
    const USHORT f = source->fFeatures;
    if ((f & (FADF_RECORD | FADF_HAVEIID | FADF_HAVEVARTYPE)) != 0) {
        VARTYPE vt = VT_EMPTY;
        SafeArrayGetVartype(source, &vt);
        return SafeArrayAllocDescriptorEx(vt, source->cDims, out);
    }
    const HRESULT hr = SafeArrayAllocDescriptor(source->cDims, out);
    if (FAILED(hr)) return hr;
    (*out)->fFeatures = f & (kCopiedFeatures | FADF_DATA_RELEASED);
    (*out)->cbElements = source->cbElements;
    return S_OK;
}

}  // namespace

void SafeArrayReleaseElements(SAFEARRAY* psa, std::uint64_t first) noexcept {
    if (psa == nullptr || (psa->fFeatures & FADF_DATA_RELEASED) != 0 || psa->pvData == nullptr) return;
    const std::uint64_t n = SafeArrayElementCount(psa);
    if (n <= first) return;
    switch (KindOf(*psa, KindOrder::Release)) {
        case ElementKind::String: {
            BSTR* e = static_cast<BSTR*>(psa->pvData);
            for (std::uint64_t j = first; j < n; ++j) SysFreeString(e[j]);
            break;
        }
        case ElementKind::Interface: {
            IUnknown** e = static_cast<IUnknown**>(psa->pvData);
            for (std::uint64_t j = first; j < n; ++j)
                if (e[j] != nullptr) e[j]->Release();
            break;
        }
        case ElementKind::Variant: {
            VARIANT* e = static_cast<VARIANT*>(psa->pvData);
            for (std::uint64_t j = first; j < n; ++j) VariantClear(&e[j]);
            break;
        }
        case ElementKind::Record:
        case ElementKind::Plain:
            break;
    }
}

HRESULT SafeArrayDestroyDescriptor(SAFEARRAY* psa) noexcept {
    if (psa == nullptr) return S_OK;
    if (psa->cLocks != 0) return DISP_E_ARRAYISLOCKED;
    if (HasLiveInlineData(psa->fFeatures)) SafeArrayReleaseElements(psa, 0);
    FreeDescriptorBlock(psa);
    return S_OK;
}

HRESULT SafeArrayDestroyData(SAFEARRAY* psa) noexcept {
    if (psa == nullptr) return E_INVALIDARG;
    if (psa->cLocks != 0) return DISP_E_ARRAYISLOCKED;
    ReleaseData(psa);
    return S_OK;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) noexcept {
    if (psa == nullptr) return S_OK;
    if (psa->cLocks != 0) return DISP_E_ARRAYISLOCKED;
    ReleaseData(psa);
    FreeDescriptorBlock(psa);
    return S_OK;
}

// A released target is refused like a released source: its slots hold values
// that were already released and must not be released again. When source and
// target share their storage (the same array, or two descriptors of one block)
// the elements already are the source's: copying them would free what it then
// reads, so only the features and prefix are taken.
HRESULT SafeArrayCopyData(SAFEARRAY* source, SAFEARRAY* target) noexcept {
    if (source == nullptr || target == nullptr || !SameShape(*source, *target)) return E_INVALIDARG;
    if (source->pvData == nullptr) return S_OK;
    if (target->pvData == nullptr) return E_INVALIDARG;
    if (((source->fFeatures | target->fFeatures) & FADF_DATA_RELEASED) != 0) return E_INVALIDARG;
    if (!DataSize(*source)) return E_INVALIDARG;  // no block can hold it

    target->fFeatures = (source->fFeatures & kCopiedFeatures) | (target->fFeatures & kTargetOwnFeatures);
    const ElementKind kind = KindOf(*source, KindOrder::Copy);
    if (kind == ElementKind::Record) return E_NOTIMPL;
    if (source == target) return S_OK;  // the features above are already its own
    HRESULT status = S_OK;
    if (source->pvData != target->pvData) {
        status = CopyElements(kind, *source, *target);
        if (FAILED(status) && kind == ElementKind::String) return status;  // the prefix is not taken
    }
    CopyPrefix(source, target);
    return status;
}

HRESULT SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** out) noexcept {
    if (out == nullptr) return E_INVALIDARG;
    if (source == nullptr) return S_OK;
    if (source->cbElements == 0) return E_INVALIDARG;
    *out = nullptr;
    SAFEARRAY* copy = nullptr;
    HRESULT hr = AllocateCopyDescriptor(source, &copy);
    if (FAILED(hr)) return hr;
    std::memcpy(copy->rgsabound, source->rgsabound, source->cDims * sizeof(SAFEARRAYBOUND));

    // A size that does not fit 64 bits cannot be allocated. Plain elements that
    // SafeArrayCopyData is certain to copy whole need no zeroing first.
    const std::optional<std::uint64_t> bytes = DataSize(*source);
    const bool overwritten = source->pvData != nullptr && (source->fFeatures & FADF_DATA_RELEASED) == 0 &&
                             copy->cbElements == source->cbElements &&
                             KindOf(*source, KindOrder::Copy) == ElementKind::Plain;
    copy->pvData = !bytes ? nullptr : overwritten ? Malloc(*bytes) : Calloc(*bytes, 1);
    if (copy->pvData == nullptr) {
        FreeDescriptorBlock(copy);
        return E_OUTOFMEMORY;
    }
    hr = SafeArrayCopyData(source, copy);
    if (FAILED(hr)) {
        // Whatever was copied before the failure belongs to the copy.
        SafeArrayReleaseElements(copy, 0);
        std::free(copy->pvData);
        FreeDescriptorBlock(copy);
        return hr;
    }
    *out = copy;
    return hr;
}
