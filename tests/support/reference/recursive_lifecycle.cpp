// A copy of the library's recursive clearing and copying; see the header.
#include "support/reference/recursive_lifecycle.h"

#include <algorithm>
#include <cstring>

#include "automation/memory.h"
#include "automation/safearray/layout.h"
#include "automation/strings/bstr_copy.h"
#include "automation/vartypes.h"

namespace zentrel::reference {

using KoAtlCom::detail::BlockStart;
using KoAtlCom::detail::BstrCopy;
using KoAtlCom::detail::Calloc;
using KoAtlCom::detail::DataSize;
using KoAtlCom::detail::ElementKind;
using KoAtlCom::detail::FreeDescriptorBlock;
using KoAtlCom::detail::HasLiveInlineData;
using KoAtlCom::detail::IsPlainVartype;
using KoAtlCom::detail::KindOf;
using KoAtlCom::detail::KindOrder;
using KoAtlCom::detail::kPrefixSize;
using KoAtlCom::detail::Malloc;
using KoAtlCom::detail::VartypeRuleAccepts;

// --- variants -----------------------------------------------------------------

constexpr VARTYPE kByrefVariant = VT_BYREF | VT_VARIANT;

// Why RefVariantClear refuses `v`, or S_OK when it can clear it: an invalid type,
// a record, a locked array.
HRESULT ClearRefusal(const VARIANT& v) noexcept {
    const VARTYPE vt = v.vt;
    if (!VartypeRuleAccepts(vt)) return E_INVALIDARG;
    if ((vt & (VT_BYREF | VT_ARRAY)) == VT_ARRAY && v.parray != nullptr && v.parray->cLocks != 0)
        return DISP_E_ARRAYISLOCKED;
    return vt == VT_RECORD ? E_NOTIMPL : S_OK;
}

// What clearing `v` leaves of it, without releasing anything: an array
// variant keeps its `vt` with a null `parray`; any other becomes VT_EMPTY, and
// a string or interface variant's pointer null. The rest of the record stays.
void LeaveCleared(VARIANT& v) noexcept {
    const VARTYPE vt = v.vt;
    if ((vt & (VT_BYREF | VT_ARRAY)) == VT_ARRAY) {
        v.parray = nullptr;
        return;
    }
    if (vt == VT_BSTR || vt == VT_DISPATCH || vt == VT_UNKNOWN) v.byref = nullptr;
    v.vt = VT_EMPTY;
}

// Releases what `v` owns once ClearRefusal has accepted it, then leaves it
// cleared.
void Release(VARIANT& v) noexcept {
    const VARTYPE vt = v.vt;
    if ((vt & (VT_BYREF | VT_ARRAY)) == VT_ARRAY) {
        RefSafeArrayDestroy(v.parray);  // cannot fail: the lock was checked
    } else if (vt == VT_BSTR) {
        SysFreeString(v.bstrVal);
    } else if ((vt == VT_DISPATCH || vt == VT_UNKNOWN) && v.punkVal != nullptr) {
        v.punkVal->Release();
    }
    LeaveCleared(v);
}

// A BSTR text copy of `text` into *out: E_OUTOFMEMORY when a non-null text
// could not be copied.
HRESULT CopyText(BSTR text, BSTR* out) noexcept {
    *out = KoAtlCom::detail::BstrTextCopy(text);
    return *out == nullptr && text != nullptr ? E_OUTOFMEMORY : S_OK;
}

// The destination never shares the source's array, not even when the copy is
// refused before it writes its out-parameter.
HRESULT CopyArray(SAFEARRAY* source, VARIANT* dest) noexcept {
    dest->parray = nullptr;
    return RefSafeArrayCopy(source, &dest->parray);
}

void AddRefIfAny(IUnknown* unknown) noexcept {
    if (unknown != nullptr) unknown->AddRef();
}

// Makes `dest`, which owns nothing and is not `src`, a copy of the valid `src`:
// all 24 bytes, then what the value owns copied deeply.
HRESULT CopyInto(VARIANT* dest, const VARIANT& src) noexcept {
    *dest = src;
    const VARTYPE vt = src.vt;
    if ((vt & VT_BYREF) != 0) return S_OK;  // refers to the same storage
    if ((vt & VT_ARRAY) != 0) return CopyArray(src.parray, dest);
    switch (vt) {
        case VT_BSTR:
            return CopyText(src.bstrVal, &dest->bstrVal);
        case VT_DISPATCH:
        case VT_UNKNOWN:
            AddRefIfAny(dest->punkVal);
            return S_OK;
        case VT_RECORD:
            return E_NOTIMPL;  // dest holds the raw record and takes no reference
        default:
            return S_OK;
    }
}

// Resolves the valid by-reference `source` (its reference not null) into
// `dest`, which owns nothing: the value and, on every path but a nested
// variant, dest's `vt`. A reference to a by-reference variant is refused with
// dest left as it is.
HRESULT Resolve(VARIANT* dest, const VARIANT& source) noexcept {
    const VARTYPE t = source.vt;
    const VARTYPE base = t & VT_TYPEMASK;
    HRESULT hr = S_OK;
    if ((t & VT_ARRAY) != 0) {
        hr = CopyArray(*source.pparray, dest);
    } else if (base == VT_BSTR) {
        hr = CopyText(*source.pbstrVal, &dest->bstrVal);
    } else if (base == VT_DISPATCH || base == VT_UNKNOWN) {
        dest->punkVal = *source.ppunkVal;
        AddRefIfAny(dest->punkVal);
    } else if (base == VT_VARIANT) {
        if (source.pvarVal->vt == kByrefVariant) return E_INVALIDARG;
        return RefVariantCopyInd(dest, source.pvarVal);
    } else if (base == VT_DECIMAL || base == VT_RECORD) {
        hr = E_NOTIMPL;
    } else {
        // The reference may point into dest itself.
        std::memmove(&dest->llVal, source.byref, KoAtlCom::detail::RowOf(base).element);
    }
    dest->vt = t & ~VT_BYREF;
    return hr;
}

// True when clearing `v` only resets its `vt`: a plain value or a reference.
bool OwnsNothing(const VARIANT& v) noexcept {
    return IsPlainVartype(v.vt) || ((v.vt & VT_BYREF) != 0 && VartypeRuleAccepts(v.vt));
}

// RefVariantCopy for everything but plain values on both sides; kept out of line
// so that the plain path stays a leaf.
[[gnu::noinline]] HRESULT CopyOwned(VARIANT* dest, const VARIANT* src) noexcept {
    if (dest == nullptr || src == nullptr) return E_INVALIDARG;
    if (!VartypeRuleAccepts(src->vt)) return DISP_E_BADVARTYPE;
    if (dest == src) return S_OK;
    if (IsPlainVartype(dest->vt)) return CopyInto(dest, *src);
    if (const HRESULT refused = ClearRefusal(*dest); FAILED(refused)) return refused;
    VARIANT copy;
    const HRESULT hr = CopyInto(&copy, *src);
    Release(*dest);
    *dest = copy;
    return hr;
}

HRESULT RefVariantClear(VARIANT* v) noexcept {
    if (v == nullptr) return E_INVALIDARG;
    if (IsPlainVartype(v->vt)) {
        v->vt = VT_EMPTY;
        return S_OK;
    }
    if (const HRESULT refused = ClearRefusal(*v); FAILED(refused)) return refused;
    Release(*v);
    return S_OK;
}

HRESULT RefVariantCopy(VARIANT* dest, const VARIANT* src) noexcept {
    if (dest != nullptr && src != nullptr && IsPlainVartype(src->vt) && IsPlainVartype(dest->vt)) {
        *dest = *src;  // nothing to release, nothing to copy deeply
        return S_OK;
    }
    return CopyOwned(dest, src);
}

// A null reference in a by-reference source is refused (E_INVALIDARG) before
// anything is changed.
HRESULT RefVariantCopyInd(VARIANT* dest, const VARIANT* src) noexcept {
    if (dest == nullptr || src == nullptr) return E_INVALIDARG;
    if ((src->vt & VT_BYREF) == 0) return RefVariantCopy(dest, src);
    if (!VartypeRuleAccepts(src->vt)) return DISP_E_BADVARTYPE;
    if (src->byref == nullptr) return E_INVALIDARG;

    const VARIANT source = *src;  // dest may be src
    if (OwnsNothing(*dest)) {
        dest->vt = VT_EMPTY;
        return Resolve(dest, source);
    }
    if (const HRESULT refused = ClearRefusal(*dest); FAILED(refused)) return refused;
    // Resolved into what clearing dest leaves of it, so that the bytes end,
    // on every path, as if dest had been cleared first.
    VARIANT resolved = *dest;
    LeaveCleared(resolved);
    const HRESULT hr = Resolve(&resolved, source);
    Release(*dest);
    *dest = resolved;
    return hr;
}

// --- arrays -------------------------------------------------------------------

// Feature bits a copy takes from its source, and the target's own bits that
// describe its storage rather than its elements and so stay with it.
constexpr USHORT kCopiedFeatures = 0xCFE8;
constexpr USHORT kTargetOwnFeatures = FADF_INLINE_DATA | FADF_AUTO | FADF_STATIC | FADF_EMBEDDED | FADF_FIXEDSIZE;
static_assert((kCopiedFeatures & kTargetOwnFeatures) == 0);

// Releases the elements and then the storage: zeroed under FADF_STATIC (the
// caller's block), marked released for inline data, freed otherwise.
void ReleaseData(SAFEARRAY* psa) noexcept {
    RefSafeArrayReleaseElements(psa, 0);
    if ((psa->fFeatures & FADF_STATIC) != 0) {
        const std::optional<std::uint64_t> bytes = DataSize(*psa);
        if (psa->pvData != nullptr && bytes) std::memset(psa->pvData, 0, *bytes);
    } else if ((psa->fFeatures & FADF_INLINE_DATA) != 0) {
        psa->fFeatures |= FADF_DATA_RELEASED;
    } else {
        KoAtlCom::detail::Free(psa->pvData);
        psa->pvData = nullptr;
    }
}

// Releases the elements [first, end) of `data` as `kind`; plain, record and
// mismatched elements hold nothing to release. Variant clears that fail are
// not looked at.
void ReleaseRange(ElementKind kind, void* data, std::uint64_t first, std::uint64_t end) noexcept {
    switch (kind) {
        case ElementKind::String:
            for (std::uint64_t j = first; j < end; ++j) SysFreeString(static_cast<BSTR*>(data)[j]);
            break;
        case ElementKind::Interface:
            for (std::uint64_t j = first; j < end; ++j)
                if (IUnknown* object = static_cast<IUnknown**>(data)[j]) object->Release();
            break;
        case ElementKind::Variant:
            for (std::uint64_t j = first; j < end; ++j) RefVariantClear(&static_cast<VARIANT*>(data)[j]);
            break;
        case ElementKind::Record:
        case ElementKind::Plain:
        case ElementKind::Mismatched:
            break;
    }
}

// True when releasing the `n` elements at `data` as `kind` would release
// anything (or, for a variant that cannot be cleared, refuse).
bool HoldsAnything(ElementKind kind, const void* data, std::uint64_t n) noexcept {
    switch (kind) {
        case ElementKind::String:
        case ElementKind::Interface: {
            const auto* slots = static_cast<void* const*>(data);
            return std::any_of(slots, slots + n, [](const void* p) { return p != nullptr; });
        }
        case ElementKind::Variant: {
            const auto* slots = static_cast<const VARIANT*>(data);
            return std::any_of(slots, slots + n, [](const VARIANT& v) { return !IsPlainVartype(v.vt); });
        }
        case ElementKind::Record:
        case ElementKind::Plain:
        case ElementKind::Mismatched:
            break;
    }
    return false;
}

// Before an array's slots are taken as `next` instead of `current` (new kind
// bits), what they hold as `current` is released and every slot zeroed: zero is
// valid for every kind, and a slot left as it was would be misread (plain
// numbers released as interface pointers, say). Nothing changes when the kind
// stays, or when neither kind owns anything.
void Rekind(SAFEARRAY& array, ElementKind current, ElementKind next, std::uint64_t bytes) noexcept {
    const auto owns = [](ElementKind kind) {
        return kind == ElementKind::Variant || kind == ElementKind::String || kind == ElementKind::Interface;
    };
    if (current == next || (!owns(current) && !owns(next))) return;
    ReleaseRange(current, array.pvData, 0, SafeArrayElementCount(&array));
    std::memset(array.pvData, 0, bytes);
}

// Marks a slot of fresh storage whose source element the copy refused (an
// invalid type); its target element keeps its value, as RefVariantCopy leaves a
// destination whose source it refuses. No copy ever has this type.
constexpr VARTYPE kRefused = 0xFFFF;
static_assert(!KoAtlCom::detail::VartypeRuleAccepts(kRefused));

struct CopyResult {
    HRESULT status;         // that of the last element whose copy failed; S_OK when none did
    std::uint64_t failed;   // that element's index + 1; 0 when none failed
    std::uint64_t written;  // the elements written, from the first
};

// Copies the elements of `source` as `kind` into the slots at `to`, which hold
// nothing to release (zeros, or variants that own nothing): their old values
// are overwritten, never released. Variant elements are all attempted; one
// whose copy is refused keeps its slot, which in `fresh` zeroed storage is
// marked kRefused. Strings stop at the first copy that
// comes back null (a source of length 0, or no memory), which is written as
// null. New interface references are taken here.
CopyResult CopyIntoEmpty(ElementKind kind, const SAFEARRAY& source, void* to, bool fresh) noexcept {
    const std::uint64_t n = SafeArrayElementCount(&source);
    CopyResult result{S_OK, 0, n};
    switch (kind) {
        case ElementKind::Variant: {
            const auto* from = static_cast<const VARIANT*>(source.pvData);
            auto* slots = static_cast<VARIANT*>(to);
            for (std::uint64_t j = 0; j < n; ++j) {
                const HRESULT hr = RefVariantCopy(&slots[j], &from[j]);
                if (FAILED(hr)) result = {hr, j + 1, n};
                // A copy that failed part way has given the slot a type.
                if (FAILED(hr) && fresh && slots[j].vt == VT_EMPTY) slots[j].vt = kRefused;
            }
            break;
        }
        case ElementKind::String: {
            const auto* from = static_cast<const BSTR*>(source.pvData);
            auto* slots = static_cast<BSTR*>(to);
            for (std::uint64_t j = 0; j < n; ++j) {
                slots[j] = BstrCopy(from[j]);
                if (slots[j] == nullptr && from[j] != nullptr) return {E_OUTOFMEMORY, j + 1, j + 1};
            }
            break;
        }
        case ElementKind::Interface: {
            const auto* from = static_cast<IUnknown* const*>(source.pvData);
            auto* slots = static_cast<IUnknown**>(to);
            for (std::uint64_t j = 0; j < n; ++j) {
                slots[j] = from[j];
                if (slots[j] != nullptr) slots[j]->AddRef();
            }
            break;
        }
        case ElementKind::Record:
        case ElementKind::Mismatched:
            break;  // refused before anything is copied
        case ElementKind::Plain:
            std::memmove(to, source.pvData, n * source.cbElements);
            break;
    }
    return result;
}

// Moves the copies in `fresh` into `target`, releasing each old element (as
// `targetKind`, the kind it had before the copy) first. Elements the copy did
// not reach keep their values when they already are of the copied kind; any
// others are released and zeroed, as they would be misread as that kind.
//
// Variant copies only ever replace variant elements (both are 24 bytes). An
// element whose copy was refused keeps its value; one that cannot be cleared
// keeps it too, its copy is given back and the clear's status counts as that
// element's.
HRESULT ReplaceElements(SAFEARRAY& target, ElementKind targetKind, ElementKind kind, void* fresh,
                        const CopyResult& copied) noexcept {
    const std::uint64_t n = SafeArrayElementCount(&target);
    if (kind != ElementKind::Variant) {
        const std::uint64_t end = targetKind == kind ? copied.written : n;
        ReleaseRange(targetKind, target.pvData, 0, end);
        std::memcpy(target.pvData, fresh, end * target.cbElements);  // zeros past what was written
        return copied.status;
    }
    auto* elements = static_cast<VARIANT*>(target.pvData);
    auto* copies = static_cast<VARIANT*>(fresh);
    HRESULT status = copied.status;
    std::uint64_t failed = copied.failed;
    for (std::uint64_t j = 0; j < n; ++j) {
        if (copies[j].vt == kRefused) continue;
        if (const HRESULT hr = RefVariantClear(&elements[j]); FAILED(hr)) {
            RefVariantClear(&copies[j]);
            if (j + 1 >= failed) {
                status = hr;
                failed = j + 1;
            }
            continue;
        }
        elements[j] = copies[j];
    }
    return status;
}

// The hidden prefix as a copy takes it: the IID under FADF_HAVEIID, else the
// 4-byte VARTYPE word under FADF_HAVEVARTYPE. Read in full before the target
// changes, since the source may live inside what the target releases.
struct Prefix {
    USHORT features;
    unsigned char bytes[kPrefixSize];
};

Prefix PrefixOf(const SAFEARRAY* source) noexcept {
    Prefix prefix{source->fFeatures, {}};
    std::memcpy(prefix.bytes, BlockStart(source), kPrefixSize);
    return prefix;
}

void CopyPrefix(const Prefix& prefix, SAFEARRAY* target) noexcept {
    constexpr std::size_t kWord = sizeof(std::uint32_t);  // the VARTYPE word ends the prefix
    if ((prefix.features & FADF_HAVEIID) != 0) {
        std::memcpy(BlockStart(target), prefix.bytes, kPrefixSize);
    } else if ((prefix.features & FADF_HAVEVARTYPE) != 0) {
        std::memcpy(BlockStart(target) + kPrefixSize - kWord, prefix.bytes + kPrefixSize - kWord, kWord);
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

// Nothing is released from a descriptor whose data size does not fit 64 bits:
// no block can hold its elements.
void RefSafeArrayReleaseElements(SAFEARRAY* psa, std::uint64_t first) noexcept {
    if (psa == nullptr || (psa->fFeatures & FADF_DATA_RELEASED) != 0 || psa->pvData == nullptr) return;
    if (!DataSize(*psa)) return;
    const std::uint64_t n = SafeArrayElementCount(psa);
    if (n > first) ReleaseRange(KindOf(*psa, KindOrder::Release), psa->pvData, first, n);
}

HRESULT RefSafeArrayDestroyDescriptor(SAFEARRAY* psa) noexcept {
    if (psa == nullptr) return S_OK;
    if (psa->cLocks != 0) return DISP_E_ARRAYISLOCKED;
    if (HasLiveInlineData(psa->fFeatures)) RefSafeArrayReleaseElements(psa, 0);
    FreeDescriptorBlock(psa);
    return S_OK;
}

HRESULT RefSafeArrayDestroyData(SAFEARRAY* psa) noexcept {
    if (psa == nullptr) return E_INVALIDARG;
    if (psa->cLocks != 0) return DISP_E_ARRAYISLOCKED;
    ReleaseData(psa);
    return S_OK;
}

HRESULT RefSafeArrayDestroy(SAFEARRAY* psa) noexcept {
    if (psa == nullptr) return S_OK;
    if (psa->cLocks != 0) return DISP_E_ARRAYISLOCKED;
    ReleaseData(psa);
    FreeDescriptorBlock(psa);
    return S_OK;
}

// A released target is refused like a released source: its slots hold values
// that were already released and must not be released again. So is a source
// whose elements have no known shape (mismatched) or whose size fits no block.
//
// When source and target share their storage (the same array, or two
// descriptors of one block) the elements already are the source's: copying
// them would free what it then reads, so only the features and prefix are
// taken.
//
// The target's old elements are released by the kind they have, not by the
// source's, so a target of another kind (a plain array receiving strings) is
// never misread. When they hold anything, the source may live inside them (an
// array nested in a target element): then every copy is made into fresh
// storage before the first old element is released, and what the source's
// prefix holds is read before as well. A target that holds nothing is written
// directly.
HRESULT RefSafeArrayCopyData(SAFEARRAY* source, SAFEARRAY* target) noexcept {
    if (source == nullptr || target == nullptr || !SameShape(*source, *target)) return E_INVALIDARG;
    if (source->pvData == nullptr) return S_OK;
    if (target->pvData == nullptr) return E_INVALIDARG;
    if (((source->fFeatures | target->fFeatures) & FADF_DATA_RELEASED) != 0) return E_INVALIDARG;
    const std::optional<std::uint64_t> bytes = DataSize(*source);
    const ElementKind kind = KindOf(*source, KindOrder::Copy);
    if (!bytes || kind == ElementKind::Mismatched) return E_INVALIDARG;

    const ElementKind targetKind = KindOf(*target, KindOrder::Release);
    const USHORT features = (source->fFeatures & kCopiedFeatures) | (target->fFeatures & kTargetOwnFeatures);
    if (kind == ElementKind::Record) {
        // Records are never copied, but the target takes the features, and with
        // them perhaps another kind for its slots.
        Rekind(*target, targetKind, KindOf(features, target->cbElements, KindOrder::Release), *bytes);
        target->fFeatures = features;
        return E_NOTIMPL;
    }
    const bool shared = source->pvData == target->pvData;
    void* fresh = nullptr;
    if (!shared && HoldsAnything(targetKind, target->pvData, SafeArrayElementCount(target))) {
        fresh = Calloc(*bytes, 1);
        if (fresh == nullptr) return E_OUTOFMEMORY;  // nothing changed
    }
    const Prefix prefix = PrefixOf(source);
    target->fFeatures = features;
    if (shared) {
        if (source != target) CopyPrefix(prefix, target);
        return S_OK;
    }

    HRESULT status;
    if (fresh != nullptr) {
        const CopyResult copied = CopyIntoEmpty(kind, *source, fresh, true);
        status = ReplaceElements(*target, targetKind, kind, fresh, copied);
        KoAtlCom::detail::Free(fresh);
    } else {
        // The copy may not reach every slot (a refused variant, the strings
        // after a failure).
        Rekind(*target, targetKind, kind, *bytes);
        status = CopyIntoEmpty(kind, *source, target->pvData, false).status;
    }
    if (FAILED(status) && kind == ElementKind::String) return status;  // the prefix is not taken
    CopyPrefix(prefix, target);
    return status;
}

HRESULT RefSafeArrayCopy(SAFEARRAY* source, SAFEARRAY** out) noexcept {
    if (out == nullptr) return E_INVALIDARG;
    if (source == nullptr) return S_OK;
    if (source->cbElements == 0) return E_INVALIDARG;
    *out = nullptr;
    SAFEARRAY* copy = nullptr;
    HRESULT hr = AllocateCopyDescriptor(source, &copy);
    if (FAILED(hr)) return hr;
    std::memcpy(copy->rgsabound, source->rgsabound, source->cDims * sizeof(SAFEARRAYBOUND));

    // A size that does not fit 64 bits cannot be allocated. Plain elements that
    // RefSafeArrayCopyData is certain to copy whole need no zeroing first.
    const std::optional<std::uint64_t> bytes = DataSize(*source);
    const bool overwritten = source->pvData != nullptr && (source->fFeatures & FADF_DATA_RELEASED) == 0 &&
                             copy->cbElements == source->cbElements &&
                             KindOf(*source, KindOrder::Copy) == ElementKind::Plain;
    copy->pvData = !bytes ? nullptr : overwritten ? Malloc(*bytes) : Calloc(*bytes, 1);
    if (copy->pvData == nullptr) {
        FreeDescriptorBlock(copy);
        return E_OUTOFMEMORY;
    }
    hr = RefSafeArrayCopyData(source, copy);
    if (FAILED(hr)) {
        // Whatever was copied before the failure belongs to the copy.
        RefSafeArrayReleaseElements(copy, 0);
        KoAtlCom::detail::Free(copy->pvData);
        FreeDescriptorBlock(copy);
        return hr;
    }
    *out = copy;
    return hr;
}

HRESULT RefSafeArrayRedim(SAFEARRAY* psa, const SAFEARRAYBOUND* newBound) noexcept {
    if (psa == nullptr || (psa->fFeatures & FADF_FIXEDSIZE) != 0 || newBound == nullptr) return E_INVALIDARG;
    if ((psa->fFeatures & FADF_INLINE_DATA) != 0) return E_INVALIDARG;
    if (psa->cLocks != 0) return DISP_E_ARRAYISLOCKED;
    if ((psa->fFeatures & FADF_STATIC) != 0 || psa->cDims == 0) return E_INVALIDARG;

    SAFEARRAYBOUND& last = psa->rgsabound[0];
    last.lLbound = newBound->lLbound;  // takes effect even when the count stays or growth fails
    const ULONG oldCount = last.cElements;
    const ULONG newCount = newBound->cElements;
    if (newCount == oldCount) return S_OK;

    if (newCount < oldCount) {
        const std::uint64_t perLast = SafeArrayElementCount(psa) / oldCount;
        RefSafeArrayReleaseElements(psa, newCount * perLast);
        last.cElements = newCount;
        return S_OK;
    }

    const std::optional<std::uint64_t> oldBytes = DataSize(*psa);
    last.cElements = newCount;
    const std::optional<std::uint64_t> newBytes = DataSize(*psa);
    last.cElements = oldCount;
    if (!oldBytes || !newBytes) return E_OUTOFMEMORY;  // cannot be allocated
    auto* data = static_cast<unsigned char*>(KoAtlCom::detail::Malloc(*newBytes));
    if (data == nullptr) return E_OUTOFMEMORY;
    const std::uint64_t kept = psa->pvData != nullptr ? *oldBytes : 0;
    if (kept != 0) std::memcpy(data, psa->pvData, kept);
    std::memset(data + kept, 0, *newBytes - kept);  // the added elements are zero
    KoAtlCom::detail::Free(psa->pvData);
    psa->pvData = data;
    last.cElements = newCount;
    return S_OK;
}

}  // namespace zentrel::reference
