// Releasing, destroying and copying the elements of arrays. Strings, interface
// references and variant contents belong to the array. Variant elements are
// released and copied by the walk over nested arrays (nesting.h), which enters
// the arrays they hold, to any depth, without recursion.
#include "automation/safearray/data.h"

#include <algorithm>
#include <cstring>

#include "automation/memory.h"
#include "automation/safearray/descriptor.h"
#include "automation/safearray/layout.h"
#include "automation/safearray/nesting.h"
#include "automation/strings/bstr_copy.h"
#include "automation/variant/lifecycle.h"
#include "automation/vartypes.h"

using KoAtlCom::detail::ArrayCopy;
using KoAtlCom::detail::BlockStart;
using KoAtlCom::detail::BstrCopy;
using KoAtlCom::detail::Calloc;
using KoAtlCom::detail::CopyResult;
using KoAtlCom::detail::DataSize;
using KoAtlCom::detail::ElementKind;
using KoAtlCom::detail::FreeDescriptorBlock;
using KoAtlCom::detail::HasLiveInlineData;
using KoAtlCom::detail::IsPlainVartype;
using KoAtlCom::detail::KindOf;
using KoAtlCom::detail::KindOrder;
using KoAtlCom::detail::kPrefixSize;
using KoAtlCom::detail::kRefused;
using KoAtlCom::detail::Malloc;
using KoAtlCom::detail::ReleaseMark;

namespace {

// Feature bits a copy takes from its source, and the target's own bits that
// describe its storage rather than its elements and so stay with it.
constexpr USHORT kCopiedFeatures = 0xCFE8;
constexpr USHORT kTargetOwnFeatures = FADF_INLINE_DATA | FADF_AUTO | FADF_STATIC | FADF_EMBEDDED | FADF_FIXEDSIZE;
static_assert((kCopiedFeatures & kTargetOwnFeatures) == 0);

// The storage once its elements are released: zeroed under FADF_STATIC (the
// caller's block), marked released for inline data, freed otherwise.
void ReleaseStorage(SAFEARRAY* psa) noexcept {
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

// Elements that may be released or read: live data whose size fits a block.
bool HasLiveElements(const SAFEARRAY& array) noexcept {
    return (array.fFeatures & FADF_DATA_RELEASED) == 0 && array.pvData != nullptr && DataSize(array);
}

// Releases the elements [first, end) of `array` as `kind`; plain, record and
// mismatched elements hold nothing to release.
void ReleaseRange(ElementKind kind, SAFEARRAY& array, std::uint64_t first, std::uint64_t end) noexcept {
    void* const data = array.pvData;
    switch (kind) {
        case ElementKind::String:
            for (std::uint64_t j = first; j < end; ++j) SysFreeString(static_cast<BSTR*>(data)[j]);
            break;
        case ElementKind::Interface:
            for (std::uint64_t j = first; j < end; ++j)
                if (IUnknown* object = static_cast<IUnknown**>(data)[j]) object->Release();
            break;
        case ElementKind::Variant:
            KoAtlCom::detail::ReleaseVariants(array, first, end);
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
    ReleaseRange(current, array, 0, SafeArrayElementCount(&array));
    std::memset(array.pvData, 0, bytes);
}

// Copies the elements of `source` as `kind` into the slots at `to`, which hold
// nothing to release (zeros, or variants that own nothing): their old values
// are overwritten, never released. Variant elements are all attempted (see
// CopyVariants). Strings stop at the first copy that comes back null (a source
// of length 0, or no memory), which is written as null. New interface
// references are taken here.
CopyResult CopyIntoEmpty(ElementKind kind, const SAFEARRAY& source, void* to, bool fresh) noexcept {
    const std::uint64_t n = SafeArrayElementCount(&source);
    CopyResult result{S_OK, 0, n};
    switch (kind) {
        case ElementKind::Variant:
            return KoAtlCom::detail::CopyVariants(source, static_cast<VARIANT*>(to), fresh);
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
        ReleaseRange(targetKind, target, 0, end);
        std::memcpy(target.pvData, fresh, end * target.cbElements);  // zeros past what was written
        return copied.status;
    }
    const ReleaseMark releasing(target);
    auto* elements = static_cast<VARIANT*>(target.pvData);
    auto* copies = static_cast<VARIANT*>(fresh);
    HRESULT status = copied.status;
    std::uint64_t failed = copied.failed;
    for (std::uint64_t j = 0; j < n; ++j) {
        if (copies[j].vt == kRefused) continue;
        if (const HRESULT hr = VariantClear(&elements[j]); FAILED(hr)) {
            VariantClear(&copies[j]);
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

// What SafeArrayCopyData does before it copies the elements: the checks, the
// target's new features, and where the copies go. When `pending` is false
// there is nothing more to do and `status` is the result.
struct DataCopy {
    HRESULT status;
    bool pending;
    ElementKind kind;        // the source's: how the elements are copied
    ElementKind targetKind;  // what the target's old elements are
    void* fresh;             // the copies' storage when the target holds anything, else null
    Prefix prefix;
};

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
DataCopy PrepareCopyData(SAFEARRAY* source, SAFEARRAY* target) noexcept {
    DataCopy plan{E_INVALIDARG, false, ElementKind::Plain, ElementKind::Plain, nullptr, {}};
    if (source == nullptr || target == nullptr || !SameShape(*source, *target)) return plan;
    plan.status = S_OK;
    if (source->pvData == nullptr) return plan;
    plan.status = E_INVALIDARG;
    if (target->pvData == nullptr) return plan;
    if (((source->fFeatures | target->fFeatures) & FADF_DATA_RELEASED) != 0) return plan;
    const std::optional<std::uint64_t> bytes = DataSize(*source);
    plan.kind = KindOf(*source, KindOrder::Copy);
    if (!bytes || plan.kind == ElementKind::Mismatched) return plan;

    plan.targetKind = KindOf(*target, KindOrder::Release);
    const USHORT features = (source->fFeatures & kCopiedFeatures) | (target->fFeatures & kTargetOwnFeatures);
    if (plan.kind == ElementKind::Record) {
        // Records are never copied, but the target takes the features, and with
        // them perhaps another kind for its slots.
        Rekind(*target, plan.targetKind, KindOf(features, target->cbElements, KindOrder::Release), *bytes);
        target->fFeatures = features;
        plan.status = E_NOTIMPL;
        return plan;
    }
    const bool shared = source->pvData == target->pvData;
    if (!shared && HoldsAnything(plan.targetKind, target->pvData, SafeArrayElementCount(target))) {
        plan.fresh = Calloc(*bytes, 1);
        if (plan.fresh == nullptr) {
            plan.status = E_OUTOFMEMORY;  // nothing changed
            return plan;
        }
    }
    plan.prefix = PrefixOf(source);
    target->fFeatures = features;
    plan.status = S_OK;
    if (shared) {
        if (source != target) CopyPrefix(plan.prefix, target);
        return plan;
    }
    // The copy may not reach every slot (a refused variant, the strings after a
    // failure).
    if (plan.fresh == nullptr) Rekind(*target, plan.targetKind, plan.kind, *bytes);
    plan.pending = true;
    return plan;
}

// The rest of SafeArrayCopyData once the elements were copied as `plan` says:
// fresh copies moved in, then the prefix, which a failed string copy does not
// take.
HRESULT FinishCopyData(SAFEARRAY* target, const DataCopy& plan, const CopyResult& copied) noexcept {
    HRESULT status = copied.status;
    if (plan.fresh != nullptr) {
        status = ReplaceElements(*target, plan.targetKind, plan.kind, plan.fresh, copied);
        KoAtlCom::detail::Free(plan.fresh);
    }
    if (FAILED(status) && plan.kind == ElementKind::String) return status;
    CopyPrefix(plan.prefix, target);
    return status;
}

// The end of SafeArrayCopy: a copy that failed is released with whatever was
// copied into it.
ArrayCopy Conclude(SAFEARRAY* copy, HRESULT status) noexcept {
    if (SUCCEEDED(status)) return {copy, status, false};
    SafeArrayReleaseElements(copy, 0);
    KoAtlCom::detail::Free(copy->pvData);
    FreeDescriptorBlock(copy);
    return {nullptr, status, false};
}

}  // namespace

namespace KoAtlCom::detail {

std::uint64_t VariantsToRelease(const SAFEARRAY& array) noexcept {
    if (!HasLiveElements(array) || KindOf(array, KindOrder::Release) != ElementKind::Variant) return 0;
    return SafeArrayElementCount(&array);
}

void FreeReleasedArray(SAFEARRAY* psa) noexcept {
    ReleaseStorage(psa);
    FreeDescriptorBlock(psa);
}

// A size that does not fit 64 bits cannot be allocated. Plain elements that
// SafeArrayCopyData is certain to copy whole need no zeroing first.
ArrayCopy StartCopy(SAFEARRAY* source) noexcept {
    if (source->cbElements == 0) return {nullptr, E_INVALIDARG, false};
    SAFEARRAY* copy = nullptr;
    if (const HRESULT hr = AllocateCopyDescriptor(source, &copy); FAILED(hr)) return {nullptr, hr, false};
    std::memcpy(copy->rgsabound, source->rgsabound, source->cDims * sizeof(SAFEARRAYBOUND));

    const std::optional<std::uint64_t> bytes = DataSize(*source);
    const bool overwritten = source->pvData != nullptr && (source->fFeatures & FADF_DATA_RELEASED) == 0 &&
                             copy->cbElements == source->cbElements &&
                             KindOf(*source, KindOrder::Copy) == ElementKind::Plain;
    copy->pvData = !bytes ? nullptr : overwritten ? Malloc(*bytes) : Calloc(*bytes, 1);
    if (copy->pvData == nullptr) {
        FreeDescriptorBlock(copy);
        return {nullptr, E_OUTOFMEMORY, false};
    }
    const DataCopy plan = PrepareCopyData(source, copy);
    if (!plan.pending) return Conclude(copy, plan.status);
    if (plan.kind == ElementKind::Variant) return {copy, S_OK, true};
    return Conclude(copy, FinishCopyData(copy, plan, CopyIntoEmpty(plan.kind, *source, copy->pvData, false)));
}

// The source is not changed by copying it, so its prefix is read now.
ArrayCopy FinishCopy(const SAFEARRAY* source, SAFEARRAY* copy, HRESULT status) noexcept {
    CopyPrefix(PrefixOf(source), copy);
    return Conclude(copy, status);
}

}  // namespace KoAtlCom::detail

// Nothing is released from a descriptor whose data size does not fit 64 bits:
// no block can hold its elements.
void SafeArrayReleaseElements(SAFEARRAY* psa, std::uint64_t first) noexcept {
    if (psa == nullptr || !HasLiveElements(*psa)) return;
    const std::uint64_t n = SafeArrayElementCount(psa);
    if (n > first) ReleaseRange(KindOf(*psa, KindOrder::Release), *psa, first, n);
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
    SafeArrayReleaseElements(psa, 0);
    ReleaseStorage(psa);
    return S_OK;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) noexcept {
    if (psa == nullptr) return S_OK;
    if (psa->cLocks != 0) return DISP_E_ARRAYISLOCKED;
    SafeArrayReleaseElements(psa, 0);
    KoAtlCom::detail::FreeReleasedArray(psa);
    return S_OK;
}

HRESULT SafeArrayCopyData(SAFEARRAY* source, SAFEARRAY* target) noexcept {
    const DataCopy plan = PrepareCopyData(source, target);
    if (!plan.pending) return plan.status;
    void* to = plan.fresh != nullptr ? plan.fresh : target->pvData;
    return FinishCopyData(target, plan, CopyIntoEmpty(plan.kind, *source, to, plan.fresh != nullptr));
}

HRESULT SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** out) noexcept {
    if (out == nullptr) return E_INVALIDARG;
    if (source == nullptr) return S_OK;
    if (source->cbElements == 0) return E_INVALIDARG;
    *out = nullptr;
    ArrayCopy copy = KoAtlCom::detail::StartCopy(source);
    if (copy.variants) {
        const HRESULT status = CopyIntoEmpty(ElementKind::Variant, *source, copy.copy->pvData, false).status;
        copy = KoAtlCom::detail::FinishCopy(source, copy.copy, status);
    }
    *out = copy.copy;
    return copy.status;
}
