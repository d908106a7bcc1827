// Compares the library's clearing and copying of nested values with the
// recursive reference it replaced (tests/support/reference), operation by
// operation. From one input two identical worlds of shallow values are built
// (scalars, strings, counted objects, references, arrays of every kind nested
// in variants, locked arrays, records, invalid types); one operation runs on
// each, the library on one, the reference on the other. Both must answer the
// same status, leave the same values, and make the same AddRef, Release,
// allocation and free calls in the same order. Then the same again with each
// allocation of the operation failing in turn, once and for good.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "automation/automation.h"
#include "automation/memory.h"
#include "fuzz_input.h"
#include "support/reference/recursive_lifecycle.h"

namespace {

namespace fault = KoAtlCom::detail::fault;
namespace ref = zentrel::reference;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "nesting: %s\n", what);
    std::abort();
}

// Events, in order: an allocation and its size, a free and the block it gave
// back (numbered in the order the world's blocks were made), an AddRef or a
// Release and the object's number.
enum Event : std::uint64_t { kAllocate = 1ull << 56, kFree = 2ull << 56, kAddRef = 3ull << 56, kRelease = 4ull << 56 };

struct Log {
    std::vector<std::uint64_t> events;
    std::unordered_map<const void*, std::uint64_t> blocks;
    std::uint64_t nextBlock = 0;

    std::uint64_t IdOf(const void* block) const {
        const auto found = blocks.find(block);
        return found != blocks.end() ? found->second : UINT64_MAX;
    }
};
Log* gLog = nullptr;

void Watch(const void* block, std::uint64_t bytes) {
    if (bytes == fault::kFreed) {
        gLog->events.push_back(kFree | gLog->IdOf(block));
        gLog->blocks.erase(block);
    } else {
        gLog->events.push_back(kAllocate | bytes);
        gLog->blocks[block] = gLog->nextBlock++;
    }
}

struct Counted final : IDispatch {
    std::uint64_t number = 0;
    long references = 0;
    HRESULT QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override {
        gLog->events.push_back(kAddRef | number);
        return static_cast<ULONG>(++references);
    }
    ULONG Release() override {
        gLog->events.push_back(kRelease | number);
        if (references <= 0) Fail("an object was released more often than referenced");
        return static_cast<ULONG>(--references);
    }
};

constexpr int kRoots = 4;
constexpr int kCells = 3;
constexpr int kMaxDepth = 4;
constexpr ULONG kMaxElements = 3;

// Values live in roots and cells; by-reference variants point at the cells.
// Never moved once built.
struct World {
    Log log;
    Counted objects[3];
    VARIANT roots[kRoots]{};
    VARIANT cells[kCells]{};
    BSTR cellString = nullptr;
    LONG cellLong = 0;
    SAFEARRAY* cellArray = nullptr;
    std::vector<SAFEARRAY*> copies;
    std::vector<SAFEARRAY*> locked;  // never freed by an operation
    int budget = 40;                 // variants and elements still to build

    World() {
        for (std::uint64_t i = 0; i < 3; ++i) objects[i].number = i;
    }
};

void BuildVariant(FuzzInput& in, World& w, VARIANT& v, int depth);

IUnknown* MakeObject(FuzzInput& in, World& w) {
    const std::uint32_t pick = in.Below(4);
    if (pick == 3) return nullptr;
    w.objects[pick].AddRef();
    return &w.objects[pick];
}

BSTR MakeString(FuzzInput& in) {
    char text[6];
    const std::size_t n = in.Take(text, in.Below(sizeof text + 1));
    return n == 0 && in.Below(2) == 0 ? nullptr : SysAllocStringLen(text, static_cast<UINT>(n));
}

SAFEARRAY* BuildArray(FuzzInput& in, World& w, VARTYPE vt, int depth) {
    SAFEARRAY* psa;
    if (in.Below(2) == 0) {
        psa = SafeArrayCreateVector(vt, 0, in.Below(kMaxElements + 1));
    } else {
        const SAFEARRAYBOUND bounds[2] = {{in.Below(3), 0}, {in.Below(2) + 1, 1}};
        psa = SafeArrayCreate(vt, in.Below(2) + 1, bounds);
    }
    if (psa == nullptr) return nullptr;
    const std::uint64_t n = SafeArrayElementCount(psa);
    for (std::uint64_t j = 0; j < n && w.budget > 0; ++j, --w.budget) {
        if (vt == VT_VARIANT) BuildVariant(in, w, static_cast<VARIANT*>(psa->pvData)[j], depth + 1);
        if (vt == VT_BSTR) static_cast<BSTR*>(psa->pvData)[j] = MakeString(in);
        if (vt == VT_UNKNOWN) static_cast<IUnknown**>(psa->pvData)[j] = MakeObject(in, w);
        if (vt == VT_I4) static_cast<LONG*>(psa->pvData)[j] = static_cast<LONG>(in.Byte());
    }
    if (vt == VT_I4 && in.Below(16) == 0) psa->fFeatures |= FADF_RECORD;
    if (in.Below(10) == 0) {
        psa->cLocks = 1;
        w.locked.push_back(psa);
    }
    return psa;
}

void BuildVariant(FuzzInput& in, World& w, VARIANT& v, int depth) {
    VariantInit(&v);
    constexpr VARTYPE kArrayTypes[] = {VT_VARIANT, VT_VARIANT, VT_BSTR, VT_UNKNOWN, VT_I4};
    constexpr VARTYPE kInvalid[] = {15, VT_VECTOR | VT_I4, 37};
    switch (in.Below(depth < kMaxDepth ? 14 : 9)) {
        case 0:
            break;
        case 1:
            v.vt = VT_I4;
            v.lVal = static_cast<LONG>(in.Bits());
            break;
        case 2:
            v.vt = VT_BSTR;
            v.bstrVal = MakeString(in);
            break;
        case 3:
            v.vt = in.Below(2) == 0 ? VT_UNKNOWN : VT_DISPATCH;
            v.punkVal = MakeObject(in, w);
            break;
        case 4:
            v.vt = kInvalid[in.Below(3)];
            break;
        case 5:
            v.vt = VT_RECORD;
            break;
        case 6:
            v.vt = VT_BYREF | VT_I4;
            v.plVal = &w.cellLong;
            break;
        case 7:
            v.vt = VT_BYREF | VT_BSTR;
            v.pbstrVal = &w.cellString;
            break;
        case 8:
            v.vt = VT_BYREF | VT_VARIANT;
            v.pvarVal = in.Below(2) == 0 ? &w.cells[in.Below(kCells)] : &w.roots[in.Below(kRoots)];
            break;
        case 9:
            v.vt = VT_BYREF | VT_ARRAY | VT_VARIANT;
            v.pparray = &w.cellArray;
            break;
        default: {
            const VARTYPE element = kArrayTypes[in.Below(5)];
            v.vt = VT_ARRAY | element;
            v.parray = in.Below(8) == 0 ? nullptr : BuildArray(in, w, element, depth);
            break;
        }
    }
    v.wReserved1 = static_cast<WORD>(in.Below(3));
}

void Build(FuzzInput& in, World& w) {
    w.cellLong = static_cast<LONG>(in.Bits());
    w.cellString = MakeString(in);
    w.cellArray = BuildArray(in, w, VT_VARIANT, 2);
    for (VARIANT& cell : w.cells) BuildVariant(in, w, cell, 2);
    for (VARIANT& root : w.roots) BuildVariant(in, w, root, 0);
}

// Every variant slot and every array reachable from the world, for the
// operation to pick from.
struct Reach {
    std::vector<VARIANT*> slots;
    std::vector<SAFEARRAY*> arrays;
};

bool VariantElements(const SAFEARRAY& a) {
    return (a.fFeatures & FADF_VARIANT) != 0 && a.cbElements == sizeof(VARIANT) && a.pvData != nullptr &&
           (a.fFeatures & FADF_DATA_RELEASED) == 0;
}

void ReachArray(SAFEARRAY* psa, Reach& r);

void ReachVariant(VARIANT* v, Reach& r) {
    r.slots.push_back(v);
    if ((v->vt & (VT_ARRAY | VT_BYREF)) == VT_ARRAY) ReachArray(v->parray, r);
}

void ReachArray(SAFEARRAY* psa, Reach& r) {
    if (psa == nullptr || std::find(r.arrays.begin(), r.arrays.end(), psa) != r.arrays.end()) return;
    r.arrays.push_back(psa);
    if (!VariantElements(*psa)) return;
    const std::uint64_t n = SafeArrayElementCount(psa);
    for (std::uint64_t j = 0; j < n; ++j) ReachVariant(&static_cast<VARIANT*>(psa->pvData)[j], r);
}

Reach ReachAll(World& w) {
    Reach r;
    for (VARIANT& v : w.roots) ReachVariant(&v, r);
    for (VARIANT& v : w.cells) ReachVariant(&v, r);
    ReachArray(w.cellArray, r);
    for (SAFEARRAY* copy : w.copies) ReachArray(copy, r);
    return r;
}

// The operation, run by the library or by the reference. kNothingDone when the
// input picked nothing it applies to.
constexpr HRESULT kNothingDone = 1;

HRESULT Operate(FuzzInput& in, World& w, bool reference) {
    Reach r = ReachAll(w);
    VARIANT* a = r.slots[in.Below(static_cast<std::uint32_t>(r.slots.size()))];
    VARIANT* b = r.slots[in.Below(static_cast<std::uint32_t>(r.slots.size()))];
    SAFEARRAY* s = r.arrays.empty() ? nullptr : r.arrays[in.Below(static_cast<std::uint32_t>(r.arrays.size()))];
    SAFEARRAY* t = r.arrays.empty() ? nullptr : r.arrays[in.Below(static_cast<std::uint32_t>(r.arrays.size()))];
    VARIANT& root = w.roots[in.Below(kRoots)];
    switch (in.Below(8)) {
        case 0:
            return reference ? ref::RefVariantClear(a) : VariantClear(a);
        case 1:
            return reference ? ref::RefVariantCopy(a, b) : VariantCopy(a, b);
        case 2:
            return reference ? ref::RefVariantCopyInd(a, b) : VariantCopyInd(a, b);
        case 3: {
            SAFEARRAY* copy = nullptr;
            const HRESULT hr = reference ? ref::RefSafeArrayCopy(s, &copy) : SafeArrayCopy(s, &copy);
            if (copy != nullptr) w.copies.push_back(copy);
            return hr;
        }
        case 4:
            return reference ? ref::RefSafeArrayCopyData(s, t) : SafeArrayCopyData(s, t);
        case 5: {
            // An array that a root owns, so that the root can let go of it.
            if ((root.vt & (VT_ARRAY | VT_BYREF)) != VT_ARRAY) return kNothingDone;
            const HRESULT hr = reference ? ref::RefSafeArrayDestroy(root.parray) : SafeArrayDestroy(root.parray);
            if (hr == S_OK) root.parray = nullptr;
            return hr;
        }
        case 6:
            if (s == nullptr) return kNothingDone;
            return reference ? ref::RefSafeArrayDestroyData(s) : SafeArrayDestroyData(s);
        default: {
            if (s == nullptr || s->cDims == 0) return kNothingDone;
            const SAFEARRAYBOUND smaller{in.Below(s->rgsabound[0].cElements + 1), 0};
            return reference ? ref::RefSafeArrayRedim(s, &smaller) : SafeArrayRedim(s, &smaller);
        }
    }
}

// What the world holds after the operation, blocks by their numbers.
struct State {
    const World& w;
    std::vector<std::uint64_t> out;

    void Bytes(const void* p, std::size_t n) {
        const auto* b = static_cast<const unsigned char*>(p);
        out.insert(out.end(), b, b + n);
    }
    void Object(IUnknown* p) { out.push_back(p == nullptr ? UINT64_MAX : static_cast<Counted*>(p)->number); }
    void String(BSTR s) {
        out.push_back(s == nullptr ? UINT64_MAX : SysStringLen(s));
        if (s != nullptr) Bytes(s, SysStringLen(s));
    }

    // A word that may be an address in the world (a reference, or what a
    // cleared reference left behind) is kept as its offset: the two worlds lie
    // at different addresses.
    void Word(const void* p) {
        std::uintptr_t word;
        std::memcpy(&word, p, sizeof word);
        const auto base = reinterpret_cast<std::uintptr_t>(&w);
        out.push_back(word - base < sizeof(World) ? (word - base) | (1ull << 63) : word);
    }

    void Variant(const VARIANT& v) {
        Bytes(&v, 8);  // vt and the reserved words
        Word(reinterpret_cast<const unsigned char*>(&v) + 16);
        if ((v.vt & VT_BYREF) != 0) {
            Word(&v.byref);
        } else if ((v.vt & VT_ARRAY) != 0) {
            Array(v.parray);
        } else if (v.vt == VT_BSTR) {
            String(v.bstrVal);
        } else if (v.vt == VT_UNKNOWN || v.vt == VT_DISPATCH) {
            Object(v.punkVal);
        } else {
            Word(&v.llVal);
        }
    }

    void Array(const SAFEARRAY* psa) {
        if (psa == nullptr) return out.push_back(UINT64_MAX);
        out.push_back(w.log.IdOf(reinterpret_cast<const unsigned char*>(psa) - 16));
        Bytes(psa, 12);  // cDims, fFeatures, cbElements, cLocks (then padding)
        Bytes(psa->rgsabound, psa->cDims * sizeof(SAFEARRAYBOUND));
        const auto* block = reinterpret_cast<const unsigned char*>(psa) - 16;
        if ((psa->fFeatures & FADF_HAVEIID) != 0) Bytes(block, 16);
        if ((psa->fFeatures & FADF_HAVEVARTYPE) != 0) Bytes(block + 12, 4);
        const bool inlineData = psa->pvData == reinterpret_cast<const unsigned char*>(psa) + 32;
        out.push_back(psa->pvData == nullptr ? UINT64_MAX : inlineData ? UINT64_MAX - 1 : w.log.IdOf(psa->pvData));
        if (psa->pvData == nullptr || (psa->fFeatures & FADF_DATA_RELEASED) != 0) return;
        const std::uint64_t n = SafeArrayElementCount(psa);
        const USHORT f = psa->fFeatures;
        for (std::uint64_t j = 0; j < n; ++j) {
            if (VariantElements(*psa)) {
                Variant(static_cast<const VARIANT*>(psa->pvData)[j]);
            } else if ((f & FADF_BSTR) != 0 && psa->cbElements == 8) {
                String(static_cast<const BSTR*>(psa->pvData)[j]);
            } else if ((f & (FADF_UNKNOWN | FADF_DISPATCH)) != 0 && psa->cbElements == 8) {
                Object(static_cast<IUnknown* const*>(psa->pvData)[j]);
            } else {
                Bytes(static_cast<const unsigned char*>(psa->pvData) + j * psa->cbElements, psa->cbElements);
            }
        }
    }
};

std::vector<std::uint64_t> StateOf(const World& w) {
    State s{w, {}};
    for (const VARIANT& v : w.roots) s.Variant(v);
    for (const VARIANT& v : w.cells) s.Variant(v);
    s.String(w.cellString);
    s.out.push_back(static_cast<std::uint64_t>(w.cellLong));
    s.Array(w.cellArray);
    for (const SAFEARRAY* copy : w.copies) s.Array(copy);
    return s.out;
}

// Frees everything with the library; every reference must come back.
void TearDown(World& w) {
    const Reach before = ReachAll(w);
    for (SAFEARRAY* psa : w.locked) psa->cLocks = 0;
    for (VARIANT& v : w.roots) VariantClear(&v);
    for (VARIANT& v : w.cells) VariantClear(&v);
    SafeArrayDestroy(w.cellArray);
    for (SAFEARRAY* copy : w.copies) SafeArrayDestroy(copy);
    SysFreeString(w.cellString);
    // Locked arrays whose slots were let go of (by a shrinking resize, say) are
    // nobody's now; each is destroyed once, with what it holds.
    std::vector<SAFEARRAY*> orphans;
    for (SAFEARRAY* psa : w.locked)
        if (std::find(before.arrays.begin(), before.arrays.end(), psa) == before.arrays.end()) orphans.push_back(psa);
    Reach held;
    for (SAFEARRAY* psa : orphans) {
        if (!VariantElements(*psa)) continue;
        for (std::uint64_t j = 0; j < SafeArrayElementCount(psa); ++j)
            ReachVariant(&static_cast<VARIANT*>(psa->pvData)[j], held);
    }
    for (SAFEARRAY* psa : orphans)
        if (std::find(held.arrays.begin(), held.arrays.end(), psa) == held.arrays.end()) SafeArrayDestroy(psa);
    for (const Counted& object : w.objects)
        if (object.references != 0) Fail("references did not balance");
}

// Names the first entry where the library and the reference part, with a few
// entries around it, for whoever reads a reproducer.
[[noreturn]] void Differ(const char* what, const std::vector<std::uint64_t>& library,
                         const std::vector<std::uint64_t>& reference) {
    std::size_t i = 0;
    while (i < library.size() && i < reference.size() && library[i] == reference[i]) ++i;
    std::fprintf(stderr, "nesting: %s %zu differs (library, reference):\n", what, i);
    for (std::size_t k = i > 4 ? i - 4 : 0; k < i + 4; ++k)
        std::fprintf(stderr, "  %zu: %016llx %016llx\n", k,
                     k < library.size() ? static_cast<unsigned long long>(library[k]) : 0ull,
                     k < reference.size() ? static_cast<unsigned long long>(reference[k]) : 0ull);
    Fail("the library differs from the reference");
}

struct Outcome {
    HRESULT status;
    std::vector<std::uint64_t> events;
    std::vector<std::uint64_t> state;
    std::uint64_t allocations;
};

Outcome RunOnce(const std::uint8_t* data, std::size_t size, bool reference, std::uint64_t nth, bool persistent) {
    auto w = std::make_unique<World>();
    gLog = &w->log;
    fault::Watch(Watch);
    FuzzInput in(data, size);
    Build(in, *w);
    w->log.events.clear();
    const std::uint64_t before = fault::AllocationCount();
    fault::Arm(nth, persistent);
    const HRESULT status = Operate(in, *w, reference);
    fault::Disarm();
    Outcome outcome{status, std::move(w->log.events), StateOf(*w), fault::AllocationCount() - before};
    TearDown(*w);
    fault::Watch(nullptr);
    return outcome;
}

void Compare(const std::uint8_t* data, std::size_t size, std::uint64_t nth, bool persistent) {
    const Outcome library = RunOnce(data, size, false, nth, persistent);
    const Outcome reference = RunOnce(data, size, true, nth, persistent);
    if (library.status != reference.status) {
        std::fprintf(stderr, "nesting: status %08x, the reference's %08x (allocation %llu failing%s)\n",
                     static_cast<unsigned>(library.status), static_cast<unsigned>(reference.status),
                     static_cast<unsigned long long>(nth), persistent ? " for good" : "");
        Fail("the status differs from the reference");
    }
    if (library.events != reference.events)
        Differ("AddRef, Release, allocation or free", library.events, reference.events);
    if (library.state != reference.state) Differ("value left", library.state, reference.state);
    if (nth == 0) {
        for (std::uint64_t k = 1; k <= library.allocations; ++k) {
            Compare(data, size, k, false);
            Compare(data, size, k, true);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 512) return 0;
    Compare(data, size, 0, false);
    return 0;
}
