// The walk over arrays nested in variants: releasing and copying variant
// elements, entering the arrays they hold in a loop. See nesting.h for how it
// finds its way back and why releasing needs no memory.
#include "automation/safearray/nesting.h"

#include <cstring>

#include "automation/safearray/data.h"
#include "automation/safearray/descriptor.h"
#include "automation/safearray/layout.h"
#include "automation/variant/ownership.h"
#include "automation/vartypes.h"

namespace KoAtlCom::detail {
namespace {

// The way back from a nested array: the array one level up, whose element at
// `index` held it.
struct WayBack {
    SAFEARRAY* above;
    std::uint64_t index;
};
static_assert(sizeof(WayBack) == kPrefixSize);

void Remember(SAFEARRAY* nested, const WayBack& back) noexcept { std::memcpy(BlockStart(nested), &back, sizeof back); }

// Reads the way back and clears the prefix.
WayBack Recall(SAFEARRAY* nested) noexcept {
    WayBack back;
    std::memcpy(&back, BlockStart(nested), sizeof back);
    std::memset(BlockStart(nested), 0, sizeof back);
    return back;
}

VARIANT* Elements(const SAFEARRAY& array) noexcept { return static_cast<VARIANT*>(array.pvData); }

// VariantClear of one element, its status unused. An array whose variant
// elements are to be released is handed back to be entered instead, with the
// number of those elements in *count; the element has let go of it already.
SAFEARRAY* ReleaseElement(VARIANT& v, std::uint64_t* count) noexcept {
    if (IsPlainVartype(v.vt)) {
        v.vt = VT_EMPTY;
        return nullptr;
    }
    if (FAILED(ClearRefusal(v))) return nullptr;
    if (!HoldsArray(v.vt)) {
        ReleaseValue(v);
        return nullptr;
    }
    SAFEARRAY* nested = v.parray;
    LeaveCleared(v);
    *count = nested != nullptr ? VariantsToRelease(*nested) : 0;
    if (*count == 0) {
        SafeArrayDestroy(nested);  // holds no variants: nothing to enter
        return nullptr;
    }
    return nested;
}

// The arrays on the current path of a copy, sampled: one of them is held and
// every array entered is compared with it. It moves to the array entered at
// depths 1, 2, 4, 8, ..., and up to the current level when the walk climbs
// above it, so it always lies on the path. An array met twice on one path
// holds itself.
class CycleWatch {
public:
    explicit CycleWatch(const SAFEARRAY* root) noexcept : held_(root) {}

    bool Seen(const SAFEARRAY* nested) const noexcept { return nested == held_; }

    void Down(const SAFEARRAY* nested) noexcept {
        if (++depth_ < next_) return;
        held_ = nested;
        heldDepth_ = depth_;
        next_ = 2 * depth_;
    }

    void Up(const SAFEARRAY* level) noexcept {
        if (--depth_ >= heldDepth_) return;
        held_ = level;
        heldDepth_ = depth_;
        next_ = 2 * depth_ + 1;
    }

private:
    const SAFEARRAY* held_;
    std::uint64_t depth_ = 0;
    std::uint64_t heldDepth_ = 0;
    std::uint64_t next_ = 1;
};

// VariantCopy of `element` into `slot`, which owns nothing, up to an array of
// variants: that array's copy is started and handed back in *nested, for its
// elements to be copied before it is finished.
HRESULT CopyElement(VARIANT& slot, const VARIANT& element, const CycleWatch& cycles, SAFEARRAY** nested) noexcept {
    if (!VartypeRuleAccepts(element.vt)) return DISP_E_BADVARTYPE;
    slot = element;
    if ((element.vt & VT_BYREF) != 0) return S_OK;  // refers to the same storage
    if (!HoldsArray(element.vt)) return OwnValue(slot);
    // As SafeArrayCopy into slot.parray: the slot never shares the source's array.
    slot.parray = nullptr;
    SAFEARRAY* source = element.parray;
    if (source == nullptr) return S_OK;
    if (cycles.Seen(source)) return E_INVALIDARG;
    const ArrayCopy copy = StartCopy(source);
    if (copy.variants) {
        *nested = copy.copy;
        return S_OK;
    }
    slot.parray = copy.copy;
    return copy.status;
}

}  // namespace

void ReleaseVariants(SAFEARRAY& array, std::uint64_t first, std::uint64_t end) noexcept {
    const ReleaseMark releasing(array);
    SAFEARRAY* level = &array;
    std::uint64_t index = first;
    std::uint64_t count = end;
    for (;;) {
        if (index < count) {
            std::uint64_t inside = 0;
            if (SAFEARRAY* nested = ReleaseElement(Elements(*level)[index], &inside)) {
                nested->cLocks = 1;  // released: freed when done, lock count and all
                Remember(nested, {level, index});
                level = nested;
                index = 0;
                count = inside;
            } else {
                ++index;
            }
            continue;
        }
        if (level == &array) return;
        const WayBack back = Recall(level);
        FreeReleasedArray(level);
        level = back.above;
        index = back.index + 1;
        count = level == &array ? end : VariantsToRelease(*level);
    }
}

// The level being copied: its source array, its copy (null on the first
// level, whose slots are `to`), the next element, and the status of the last
// element of the level whose copy failed.
CopyResult CopyVariants(const SAFEARRAY& source, VARIANT* to, bool fresh) noexcept {
    const std::uint64_t n = SafeArrayElementCount(&source);
    CopyResult result{S_OK, 0, n};
    const SAFEARRAY* from = &source;
    SAFEARRAY* copy = nullptr;
    VARIANT* slots = to;
    std::uint64_t index = 0;
    std::uint64_t count = n;
    HRESULT status = S_OK;
    CycleWatch cycles(&source);
    for (;;) {
        HRESULT hr;
        if (index < count) {
            SAFEARRAY* nested = nullptr;
            hr = CopyElement(slots[index], Elements(*from)[index], cycles, &nested);
            if (nested != nullptr) {
                // Into the copy: the way back goes to its prefix, this level's
                // status to its lock count, and this level's source (unless it
                // is the first level's) to the slot of this level's copy that
                // will receive the copy: kept there, never written through.
                // The first level's slots are the caller's and may lie inside
                // the source, so they stay as copying element by element
                // leaves them.
                const SAFEARRAY* inner = Elements(*from)[index].parray;
                Remember(nested, {copy, index});
                nested->cLocks = static_cast<ULONG>(status);
                if (copy != nullptr) slots[index].parray = const_cast<SAFEARRAY*>(from);
                from = inner;
                copy = nested;
                slots = Elements(*nested);
                index = 0;
                count = SafeArrayElementCount(from);
                status = S_OK;
                cycles.Down(from);
                continue;
            }
        } else if (copy == nullptr) {
            return result;
        } else {
            // The copy of this level is complete: back to the element that
            // receives it.
            const WayBack back = Recall(copy);
            const auto above = static_cast<HRESULT>(copy->cLocks);
            copy->cLocks = 0;
            slots = back.above != nullptr ? Elements(*back.above) : to;
            VARIANT& slot = slots[back.index];
            const SAFEARRAY* aboveFrom = back.above != nullptr ? slot.parray : &source;
            const ArrayCopy done = FinishCopy(from, copy, status);
            slot.parray = done.copy;
            hr = done.status;
            from = aboveFrom;
            copy = back.above;
            index = back.index;
            count = SafeArrayElementCount(from);
            status = above;
            cycles.Up(from);
        }
        if (FAILED(hr)) {
            if (copy != nullptr) {
                status = hr;
            } else {
                result = {hr, index + 1, n};
                // A copy that failed part way has given the slot a type.
                if (fresh && slots[index].vt == VT_EMPTY) slots[index].vt = kRefused;
            }
        }
        ++index;
    }
}

}  // namespace KoAtlCom::detail
