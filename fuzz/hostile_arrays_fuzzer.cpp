// Builds array descriptors by hand, as a hostile caller can, and drives them
// through every element, copy, clear, resize and destroy operation, with
// sources that alias their destination.
//
// A descriptor is laid out exactly as the library lays out its own: one malloc
// block of the 16-byte prefix, the 24-byte header and 8 bytes per bound, the
// SAFEARRAY pointer 16 bytes into it. Its fields are arbitrary: 0 to 4
// dimensions, any feature bits (several kind bits at once included), element
// sizes that do and do not fit the kind, empty and huge bounds, extreme lower
// bounds, a lock count, and no data, a data block of exactly element count x
// element size bytes, or data inside the descriptor block behind the single
// bound of an inline vector. Elements start zeroed, which is valid for every
// kind.
//
// The caller's side of the contract is kept, so that under ASan and UBSan
// nothing may be reported: every value an element holds is valid for the kind
// the library reads it as, the harness frees what the library does not take
// over (FADF_STATIC and inline-flagged data blocks, the data of a descriptor
// destroyed alone), and interface references must balance at the end. The kind
// of an element is decided by the feature bits, each operation testing them in
// its own order, and an element is touched only when the element size fits the
// kind picked (variant 24 bytes, string and interface 8); otherwise element
// access and SafeArrayCopyData fail without touching anything, and release
// releases nothing. Arrays whose release picks another kind than access and
// copy (FADF_VARIANT with FADF_BSTR on 24-byte elements) would leak what they
// hold, so they only ever get values that own nothing.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "automation/automation.h"
#include "fuzz_input.h"

namespace {

// A broken rule is reported by name, so that reproducers can be told apart.
void Check(bool condition, const char* rule) {
    if (condition) return;
    std::fprintf(stderr, "hostile_arrays: %s\n", rule);
    std::abort();
}

// An object whose references are counted; they must balance after each input.
struct Counted final : IDispatch {
    long references = 0;
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid != IID_IUnknown && riid != IID_IDispatch) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = this;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return static_cast<ULONG>(++references); }
    ULONG Release() override {
        Check(references > 0, "an object was released more often than referenced");
        return static_cast<ULONG>(--references);
    }
};

Counted objects[3];

long References() {
    long total = 0;
    for (const Counted& object : objects) total += object.references;
    return total;
}

// ---------------------------------------------------------------------------
// The element-kind rule, as a caller who builds descriptors has to know it.

enum class Kind { Variant, String, Interface, Record, Plain, Unfit };

struct KindBit {
    USHORT mask;
    Kind kind;
    ULONG size;  // the element size the kind needs
};
constexpr KindBit kVariantBit{FADF_VARIANT, Kind::Variant, sizeof(VARIANT)};
constexpr KindBit kStringBit{FADF_BSTR, Kind::String, sizeof(BSTR)};
constexpr KindBit kInterfaceBit{FADF_UNKNOWN | FADF_DISPATCH, Kind::Interface, sizeof(IUnknown*)};
constexpr KindBit kRecordBit{FADF_RECORD, Kind::Record, 0};
using KindOrder = KindBit[4];
constexpr KindOrder kReleaseOrder = {kStringBit, kInterfaceBit, kVariantBit, kRecordBit};
constexpr KindOrder kCopyOrder = {kVariantBit, kStringBit, kRecordBit, kInterfaceBit};
constexpr KindOrder kAccessOrder = {kVariantBit, kStringBit, kInterfaceBit, kRecordBit};

constexpr bool Owns(Kind kind) { return kind == Kind::Variant || kind == Kind::String || kind == Kind::Interface; }

// Element count x element size, or false when it does not fit 64 bits. An
// empty dimension empties the array whatever the others say.
bool DataBytes(ULONG size, const SAFEARRAYBOUND* bounds, USHORT dims, std::uint64_t* bytes) {
    bool overflow = false;
    *bytes = dims == 0 ? 0 : size;
    for (USHORT d = 0; d < dims; ++d) {
        if (bounds[d].cElements == 0) {
            *bytes = 0;
            return true;
        }
        overflow |= __builtin_mul_overflow(*bytes, std::uint64_t{bounds[d].cElements}, bytes);
    }
    return !overflow;
}

bool DataBytes(const SAFEARRAY& a, std::uint64_t* bytes) {
    return DataBytes(a.cbElements, a.rgsabound, a.cDims, bytes);
}

std::uint64_t Count(const SAFEARRAY& a) { return a.cbElements == 0 ? 0 : SafeArrayElementCount(&a); }

// The kind an operation picks by its order, Unfit when the element size does
// not fit it or no block can hold the elements; `nominal` ignores the size.
Kind Pick(const SAFEARRAY& a, const KindOrder& order, bool nominal = false) {
    std::uint64_t bytes;
    const bool describable = DataBytes(a, &bytes);
    for (const KindBit& bit : order) {
        if ((a.fFeatures & bit.mask) == 0) continue;
        if (bit.kind == Kind::Record || nominal) return bit.kind;
        return describable && a.cbElements == bit.size ? bit.kind : Kind::Unfit;
    }
    return describable || nominal ? Kind::Plain : Kind::Unfit;
}

Kind AccessKind(const SAFEARRAY& a) { return Pick(a, kAccessOrder); }
Kind CopyKind(const SAFEARRAY& a) { return Pick(a, kCopyOrder); }
Kind ReleaseKind(const SAFEARRAY& a) { return Pick(a, kReleaseOrder); }

// What the elements may hold: the owning kind that copy or access store
// (the two agree whenever both store one), else plain bytes.
Kind StoredKind(const SAFEARRAY& a) {
    if (Owns(CopyKind(a))) return CopyKind(a);
    if (Owns(AccessKind(a))) return AccessKind(a);
    return Kind::Plain;
}

// Stored values that destroying the array would not release.
bool Leaky(const SAFEARRAY& a) { return Owns(StoredKind(a)) && ReleaseKind(a) != StoredKind(a); }

// Element storage that holds live elements.
bool Live(const SAFEARRAY& a, std::uint64_t* bytes) {
    return a.pvData != nullptr && (a.fFeatures & FADF_DATA_RELEASED) == 0 && DataBytes(a, bytes);
}

unsigned char* ElementAt(const SAFEARRAY& a, std::uint64_t flat) {
    return static_cast<unsigned char*>(a.pvData) + flat * a.cbElements;
}

bool AllZero(const SAFEARRAY& a) {
    std::uint64_t bytes;
    if (!Live(a, &bytes)) return true;
    const auto* p = static_cast<const unsigned char*>(a.pvData);
    return std::all_of(p, p + bytes, [](unsigned char b) { return b == 0; });
}

// The flat index that `indices` name, when they are in range (the first
// dimension varies fastest and its bound is stored last).
bool FlatIndex(const SAFEARRAY& a, const LONG* indices, std::uint64_t* flat) {
    if (a.cDims == 0) return false;
    std::uint64_t position = 0, stride = 1;
    for (USHORT k = 0; k < a.cDims; ++k) {
        const SAFEARRAYBOUND& b = a.rgsabound[a.cDims - 1 - k];
        const std::int64_t offset = std::int64_t{indices[k]} - b.lLbound;
        if (offset < 0 || offset >= std::int64_t{b.cElements}) return false;
        position += static_cast<std::uint64_t>(offset) * stride;
        stride *= b.cElements;
    }
    *flat = position;
    return true;
}

// What a value of `kind` owns, given the address of its slot.
bool OwnsSomething(Kind kind, const void* slot) {
    switch (kind) {
        case Kind::Variant: {
            const auto& v = *static_cast<const VARIANT*>(slot);
            if ((v.vt & VT_BYREF) != 0) return false;
            return ((v.vt & VT_ARRAY) != 0 || v.vt == VT_BSTR || v.vt == VT_UNKNOWN || v.vt == VT_DISPATCH) &&
                   v.byref != nullptr;
        }
        case Kind::String:
        case Kind::Interface:
            return *static_cast<void* const*>(slot) != nullptr;
        default:
            return false;
    }
}

// Whether copying or resolving `v` may give a value that owns something.
bool MayOwn(const VARIANT& v) {
    const VARTYPE base = v.vt & VT_TYPEMASK;
    return (v.vt & VT_ARRAY) != 0 || base == VT_BSTR || base == VT_UNKNOWN || base == VT_DISPATCH || base == VT_VARIANT;
}

void ReleaseValue(Kind kind, void* slot) {
    switch (kind) {
        case Kind::Variant:
            VariantClear(static_cast<VARIANT*>(slot));
            break;
        case Kind::String:
            SysFreeString(*static_cast<BSTR*>(slot));
            break;
        case Kind::Interface:
            if (IUnknown* object = *static_cast<IUnknown**>(slot)) object->Release();
            break;
        default:
            break;
    }
}

// ---------------------------------------------------------------------------
// What the harness holds. Descriptors it built live only in `arrays`, in a root
// variant or (adopted) in a variant element; their data blocks that the library
// never frees are freed here once the descriptor is gone.

constexpr int kArraySlots = 4;
constexpr int kRoots = 3;
constexpr int kStrings = 2;
constexpr int kMaxDims = 4;
constexpr unsigned kMaxDepth = 4;             // arrays in variants in arrays ...
constexpr std::uint64_t kBudget = 16 * 1024;  // bytes of element storage alive
constexpr std::uint64_t kMaxBuiltData = 2048;
constexpr std::uint64_t kDescriptorCost = 64;

struct Built {
    SAFEARRAY* psa;
    void* ownData;  // the harness's block: FADF_STATIC or FADF_INLINE_DATA with separate data
    bool reached;
};

struct World {
    SAFEARRAY* arrays[kArraySlots] = {};
    VARIANT roots[kRoots] = {};
    BSTR strings[kStrings] = {};
    std::vector<Built> built;
    // Storage that outlives every element, for the by-reference values that
    // elements keep.
    LONG anchorLong = 7;
    VARIANT anchorVariant{};
    SAFEARRAY* anchorArray = nullptr;
};

// Every array reachable from the holders, with its level (1 = held directly).
template <typename Visit>
void VisitArray(SAFEARRAY* psa, unsigned level, Visit& visit) {
    if (psa == nullptr) return;
    visit(psa, level);
    std::uint64_t bytes;
    if (StoredKind(*psa) != Kind::Variant || !Live(*psa, &bytes)) return;
    auto* elements = static_cast<VARIANT*>(psa->pvData);
    for (std::uint64_t j = 0, n = Count(*psa); j < n; ++j)
        if ((elements[j].vt & (VT_ARRAY | VT_BYREF)) == VT_ARRAY) VisitArray(elements[j].parray, level + 1, visit);
}

SAFEARRAY* HeldArray(const VARIANT& v) { return (v.vt & (VT_ARRAY | VT_BYREF)) == VT_ARRAY ? v.parray : nullptr; }

template <typename Visit>
void VisitAll(World& w, Visit visit) {
    for (SAFEARRAY* psa : w.arrays) VisitArray(psa, 1, visit);
    for (const VARIANT& v : w.roots) VisitArray(HeldArray(v), 1, visit);
}

std::uint64_t StorageAlive(World& w) {
    std::uint64_t total = 0;
    VisitAll(w, [&](SAFEARRAY* psa, unsigned) {
        std::uint64_t bytes;
        total += kDescriptorCost + (Live(*psa, &bytes) ? bytes : 0);
    });
    return total;
}

// Forgets the built descriptors that are gone and frees the blocks the harness
// kept for them.
void Reconcile(World& w) {
    for (Built& b : w.built) b.reached = false;
    VisitAll(w, [&](SAFEARRAY* psa, unsigned) {
        for (Built& b : w.built)
            if (b.psa == psa) b.reached = true;
    });
    for (Built& b : w.built)
        if (!b.reached) std::free(b.ownData);
    std::erase_if(w.built, [](const Built& b) { return !b.reached; });
}

bool OwnedByHarness(const World& w, const void* data) {
    return std::any_of(w.built.begin(), w.built.end(), [&](const Built& b) { return b.ownData == data; });
}

// What copying a value allocates (element storage of every array in it, by
// its element count x element size even when it has no data), and how deep its
// arrays nest. A size that cannot be described allocates nothing.
struct Extent {
    std::uint64_t cost = 0;
    unsigned depth = 0;
};

void Add(Extent& to, const Extent& inner, unsigned levels) {
    to.cost += inner.cost;
    to.depth = std::max(to.depth, inner.depth + levels);
}

Extent MeasureArray(const SAFEARRAY* psa) {
    Extent e;
    if (psa == nullptr) return e;
    std::uint64_t bytes = 0;
    e = {kDescriptorCost + (DataBytes(*psa, &bytes) ? std::min(bytes, kBudget + 1) : 0), 1};
    if (StoredKind(*psa) != Kind::Variant || !Live(*psa, &bytes)) return e;
    const auto* elements = static_cast<const VARIANT*>(psa->pvData);
    for (std::uint64_t j = 0, n = Count(*psa); j < n; ++j)
        if ((elements[j].vt & (VT_ARRAY | VT_BYREF)) == VT_ARRAY) Add(e, MeasureArray(elements[j].parray), 1);
    return e;
}

// A by-reference value is measured as what it refers to (one level).
Extent MeasureVariant(const VARIANT& v) {
    if ((v.vt & VT_BYREF) == 0) return (v.vt & VT_ARRAY) != 0 ? MeasureArray(v.parray) : Extent{};
    if (v.byref == nullptr) return {};
    if ((v.vt & VT_ARRAY) != 0) return MeasureArray(*v.pparray);
    if ((v.vt & VT_TYPEMASK) == VT_VARIANT && (v.pvarVal->vt & VT_BYREF) == 0) return MeasureVariant(*v.pvarVal);
    return {};
}

// Whether `copies` copies of something measured as `e` may be placed at
// `level` (0 for a root variant or a temporary).
bool Affordable(World& w, const Extent& e, unsigned level, unsigned copies = 1) {
    return level + e.depth <= kMaxDepth && StorageAlive(w) + copies * e.cost <= kBudget;
}

// ---------------------------------------------------------------------------
// Choosing arrays, elements and values from the input.

struct Place {
    SAFEARRAY* psa = nullptr;
    unsigned level = 0;
};

// A held array, sometimes one nested in its variant elements.
Place PickArray(FuzzInput& in, World& w) {
    const unsigned holder = in.Below(kArraySlots + kRoots);
    Place p{holder < kArraySlots ? w.arrays[holder] : HeldArray(w.roots[holder - kArraySlots]), 1};
    std::uint64_t bytes;
    while (p.psa != nullptr && in.Below(3) == 0 && StoredKind(*p.psa) == Kind::Variant && Live(*p.psa, &bytes)) {
        const std::uint64_t n = Count(*p.psa);
        if (n == 0) break;
        SAFEARRAY* inner = HeldArray(static_cast<VARIANT*>(p.psa->pvData)[in.Below(std::min<std::uint64_t>(n, 64))]);
        if (inner == nullptr) break;
        p = {inner, p.level + 1};
    }
    return p;
}

// A live element slot of some array: of StoredKind `kind` when that owns
// something, else any slot with `size` readable bytes (`writable` asks for a
// plain array). Null when the input names none.
struct Slot {
    unsigned char* address = nullptr;
    SAFEARRAY* psa = nullptr;
    unsigned level = 0;
};

Slot PickSlot(FuzzInput& in, World& w, Kind kind, std::uint64_t size, bool writable) {
    const Place p = PickArray(in, w);
    std::uint64_t bytes;
    if (p.psa == nullptr || !Live(*p.psa, &bytes) || p.psa->cbElements == 0) return {};
    const Kind stored = StoredKind(*p.psa);
    // Raw bytes may be written only where no operation reads them as values.
    const bool plainToo = stored == Kind::Plain && !Owns(ReleaseKind(*p.psa));
    if (Owns(kind) ? stored != kind : (writable && !plainToo)) return {};
    const std::uint64_t n = Count(*p.psa);
    if (n == 0) return {};
    const std::uint64_t j = in.Below(std::min<std::uint64_t>(n, 64));
    if (j * p.psa->cbElements + size > bytes) return {};
    return {ElementAt(*p.psa, j), p.psa, p.level};
}

// Indices for `a`, mostly in range, sometimes just outside or anywhere.
void PickIndices(FuzzInput& in, const SAFEARRAY& a, LONG* out) {
    for (USHORT k = 0; k < a.cDims && k < kMaxDims; ++k) {
        const SAFEARRAYBOUND& b = a.rgsabound[a.cDims - 1 - k];
        const std::uint32_t pick = in.Below(16);
        const std::int64_t offset =
            pick == 15 ? std::int64_t{static_cast<std::int32_t>(in.Bits())}
                       : std::int64_t{in.Below(std::min<ULONG>(b.cElements, 6) + 1)} - (pick == 0 ? 1 : 0);
        out[k] = static_cast<LONG>(static_cast<std::uint32_t>(b.lLbound + offset));
    }
}

// The element that `indices` name, or null.
unsigned char* ElementOf(const SAFEARRAY& a, const LONG* indices) {
    std::uint64_t bytes, flat;
    if (!Live(a, &bytes) || !FlatIndex(a, indices, &flat)) return nullptr;
    return ElementAt(a, flat);
}

BSTR MakeString(FuzzInput& in) {
    char text[12];
    const std::size_t n = in.Take(text, in.Below(sizeof text + 1));
    return in.Below(4) == 0 ? SysAllocString("") : SysAllocStringLen(text, static_cast<UINT>(n));
}

IUnknown* PickObject(FuzzInput& in) {
    const unsigned pick = in.Below(4);
    return pick == 3 ? nullptr : &objects[pick];
}

// A fresh variant that the caller clears: owning, by reference to an anchor,
// or of a type that owns nothing (some invalid).
void MakeValue(FuzzInput& in, World& w, VARIANT& v) {
    VariantInit(&v);
    switch (in.Below(9)) {
        case 0:
            v.vt = VT_I4;
            v.lVal = static_cast<LONG>(in.Bits());
            break;
        case 1:
            v.vt = VT_BSTR;
            v.bstrVal = MakeString(in);
            break;
        case 2:
            v.vt = in.Below(2) ? VT_UNKNOWN : VT_DISPATCH;
            v.punkVal = PickObject(in);
            if (v.punkVal != nullptr) v.punkVal->AddRef();
            break;
        case 3:
            v.vt = VT_BYREF | VT_I4;
            v.plVal = &w.anchorLong;
            break;
        case 4:
            v.vt = VT_BYREF | VT_VARIANT;
            v.pvarVal = &w.anchorVariant;
            break;
        case 5:
            v.vt = VT_BYREF | VT_ARRAY | VT_I4;
            v.pparray = &w.anchorArray;
            break;
        case 6:
            v.vt = VT_ARRAY | VT_I4;
            v.parray = SafeArrayCreateVector(VT_I4, static_cast<LONG>(in.Below(3)) - 1, in.Below(4));
            break;
        case 7:
            v.vt = VT_RECORD;
            break;
        default:
            v.vt = static_cast<VARTYPE>(in.Byte() | (in.Byte() << 8));  // a type code with a null value
            if (MayOwn(v) || (v.vt & VT_BYREF) != 0) v.vt = VT_ERROR;
            break;
    }
}

// A variant to read from: a root, an element anywhere (often inside `near`,
// the array the destination holds), an anchor, or `temp`, which the caller
// then clears.
VARIANT* PickVariant(FuzzInput& in, World& w, const SAFEARRAY* near, VARIANT& temp, unsigned* level) {
    *level = 0;
    switch (in.Below(5)) {
        case 0:
            return &w.roots[in.Below(kRoots)];
        case 1:
            return &w.anchorVariant;
        case 2:
        case 3: {
            std::uint64_t bytes;
            if (near != nullptr && in.Below(2) && StoredKind(*near) == Kind::Variant && Live(*near, &bytes) &&
                Count(*near) != 0) {
                auto* elements = static_cast<VARIANT*>(near->pvData);
                VARIANT* e = &elements[in.Below(std::min<std::uint64_t>(Count(*near), 64))];
                if (SAFEARRAY* inner = HeldArray(*e); inner != nullptr && in.Below(2)) {
                    unsigned innerLevel;
                    VARIANT* nested = PickVariant(in, w, inner, temp, &innerLevel);
                    if (nested != &temp) return nested;
                }
                return e;
            }
            const Slot s = PickSlot(in, w, Kind::Variant, sizeof(VARIANT), false);
            if (s.address != nullptr) {
                *level = s.level;
                return reinterpret_cast<VARIANT*>(s.address);
            }
            break;
        }
        default:
            break;
    }
    MakeValue(in, w, temp);
    return &temp;
}

// ---------------------------------------------------------------------------
// Building descriptors.

constexpr USHORT kKindSets[] = {
    0,
    FADF_VARIANT,
    FADF_BSTR,
    FADF_UNKNOWN,
    FADF_DISPATCH,
    FADF_UNKNOWN | FADF_DISPATCH,
    FADF_BSTR | FADF_VARIANT,
    FADF_UNKNOWN | FADF_VARIANT,
    FADF_BSTR | FADF_UNKNOWN,
    FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH | FADF_VARIANT,
};
// One bit of an input byte each.
constexpr USHORT kOtherBits[] = {FADF_STATIC, FADF_FIXEDSIZE,   FADF_HAVEIID,       FADF_HAVEVARTYPE,
                                 FADF_RECORD, FADF_INLINE_DATA, FADF_DATA_RELEASED, FADF_AUTO | FADF_EMBEDDED | 0x4008};
constexpr ULONG kElementSizes[] = {8, 24, 8, 24, 0, 1, 2, 4, 16, 32, 3, 5, 7, 12, 23, 25};
constexpr ULONG kCounts[] = {0, 1, 2, 3, 4, 1, 2, 3, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
constexpr LONG kLowerBounds[] = {0, 1, -1, 5, -5, INT_MIN, INT_MAX, INT_MAX - 1, INT_MIN + 1, 0x40000000};
constexpr VARTYPE kPrefixTypes[] = {VT_I4, VT_BSTR,  VT_VARIANT, VT_UNKNOWN, VT_DISPATCH, VT_RECORD, VT_UI1,
                                    VT_I2, VT_EMPTY, VT_DECIMAL, VT_BOOL,    VT_R8,       VT_I8,     VT_ERROR};

template <typename T, std::size_t N>
T PickFrom(FuzzInput& in, const T (&table)[N]) {
    return table[in.Below(N)];
}

USHORT PickFeatures(FuzzInput& in) {
    if (in.Below(5) == 0) return static_cast<USHORT>(in.Byte() | (in.Byte() << 8));
    USHORT f = PickFrom(in, kKindSets);
    const std::uint8_t extra = in.Byte() & in.Byte();  // each bit one time in four
    for (unsigned bit = 0; bit < std::size(kOtherBits); ++bit)
        if ((extra >> bit) & 1u) f |= kOtherBits[bit];
    return f;
}

SAFEARRAY* BuildDescriptor(FuzzInput& in, World& w) {
    const USHORT dims = static_cast<USHORT>(in.Below(kMaxDims + 1));
    const USHORT features = PickFeatures(in);
    const ULONG size = in.Below(17) == 16 ? static_cast<ULONG>(in.Bits()) : PickFrom(in, kElementSizes);
    SAFEARRAYBOUND bounds[kMaxDims];
    for (USHORT d = 0; d < dims; ++d) bounds[d] = {PickFrom(in, kCounts), PickFrom(in, kLowerBounds)};

    // Data: none, its own block, or inside the descriptor block of an inline vector.
    std::uint64_t bytes = 0;
    unsigned data = in.Below(3);
    if (!DataBytes(size, bounds, dims, &bytes) || bytes > kMaxBuiltData) data = 0;
    if (data == 2 && (dims != 1 || (features & FADF_INLINE_DATA) == 0)) data = 1;

    const std::size_t header = 40 + 8 * std::size_t{dims};
    const std::size_t blockSize = header + (data == 2 ? bytes : 0);
    auto* block = static_cast<unsigned char*>(std::malloc(blockSize));
    std::memset(block, 0, blockSize);
    auto* psa = reinterpret_cast<SAFEARRAY*>(block + 16);
    psa->cDims = dims;
    psa->fFeatures = features;
    psa->cbElements = size;
    psa->cLocks = in.Below(6) == 0 ? 1 + in.Below(2) : 0;
    for (USHORT d = 0; d < dims; ++d) psa->rgsabound[d] = bounds[d];
    if ((features & FADF_HAVEIID) != 0) {
        const unsigned pick = in.Below(3);
        GUID iid = pick == 0 ? IID_IUnknown : IID_IDispatch;
        if (pick == 2) in.Take(&iid, sizeof iid);
        std::memcpy(block, &iid, sizeof iid);
    } else if ((features & FADF_HAVEVARTYPE) != 0) {
        const std::uint32_t vt = in.Below(8) == 0 ? static_cast<std::uint32_t>(in.Bits()) : PickFrom(in, kPrefixTypes);
        std::memcpy(block + 12, &vt, sizeof vt);
    }
    void* own = nullptr;
    if (data == 2) {
        psa->pvData = block + header;
    } else if (data == 1) {
        psa->pvData = std::malloc(bytes == 0 ? 1 : bytes);
        std::memset(psa->pvData, 0, bytes == 0 ? 1 : bytes);
        if ((features & (FADF_STATIC | FADF_INLINE_DATA)) != 0) own = psa->pvData;
    }
    w.built.push_back({psa, own, true});
    return psa;
}

constexpr VARTYPE kCreateTypes[] = {VT_I4,  VT_BSTR, VT_VARIANT, VT_UNKNOWN, VT_DISPATCH,
                                    VT_UI1, VT_I2,   VT_R8,      VT_BOOL,    VT_I8};

// An array made by the library itself, for mixing with the built ones.
SAFEARRAY* CreateArray(FuzzInput& in) {
    const VARTYPE vt = PickFrom(in, kCreateTypes);
    const UINT dims = in.Below(3);
    if (dims == 0) return SafeArrayCreateVector(vt, static_cast<LONG>(in.Below(5)) - 2, in.Below(5));
    SAFEARRAYBOUND bounds[2];
    for (UINT d = 0; d < dims; ++d) bounds[d] = {in.Below(4), static_cast<LONG>(in.Below(5)) - 2};
    return SafeArrayCreate(vt, dims, bounds);
}

// Destroys what a holder slot holds, unlocking it first as its owner may.
void DropArray(SAFEARRAY*& slot) {
    if (slot == nullptr) return;
    slot->cLocks = 0;
    Check(SafeArrayDestroy(slot) == S_OK, "an unlocked array was not destroyed");
    slot = nullptr;
}

// ---------------------------------------------------------------------------
// Element operations.

// pv for a Put of `kind`: where the source lives. `element` is the target
// element (null when the indices name none).
void Put(FuzzInput& in, World& w) {
    const Place p = PickArray(in, w);
    if (p.psa == nullptr) return;
    SAFEARRAY& a = *p.psa;
    LONG indices[kMaxDims] = {};
    PickIndices(in, a, indices);
    unsigned char* element = ElementOf(a, indices);
    const Kind kind = AccessKind(a);
    HRESULT hr = E_FAIL;  // not called
    switch (Pick(a, kAccessOrder, true)) {
        case Kind::Variant: {
            VARIANT temp;
            VariantInit(&temp);
            unsigned level;
            VARIANT* source = PickVariant(in, w, p.psa, temp, &level);
            if ((!Leaky(a) || !OwnsSomething(Kind::Variant, source)) && Affordable(w, MeasureVariant(*source), p.level))
                hr = SafeArrayPutElement(p.psa, indices, source);
            VariantClear(&temp);
            break;
        }
        case Kind::String: {
            BSTR made = nullptr;
            BSTR text = nullptr;
            BSTR* source = &text;
            switch (in.Below(4)) {
                case 0:  // text inside the string being replaced
                    if (element != nullptr && kind == Kind::String && *reinterpret_cast<BSTR*>(element) != nullptr) {
                        BSTR old = *reinterpret_cast<BSTR*>(element);
                        text = old + in.Below(SysStringLen(old) + 1);
                    }
                    break;
                case 1:
                    source = &w.strings[in.Below(kStrings)];
                    break;
                case 2:
                    if (const Slot s = PickSlot(in, w, Kind::String, sizeof(BSTR), false); s.address != nullptr)
                        source = reinterpret_cast<BSTR*>(s.address);
                    break;
                default:
                    text = made = MakeString(in);
                    break;
            }
            hr = SafeArrayPutElement(p.psa, indices, source);
            SysFreeString(made);
            break;
        }
        case Kind::Interface: {
            IUnknown* source = PickObject(in);
            if (in.Below(3) == 0 && element != nullptr && kind == Kind::Interface)
                source = *reinterpret_cast<IUnknown**>(element);  // the element's own object
            hr = SafeArrayPutElement(p.psa, indices, source);
            break;
        }
        default: {
            const std::size_t size = std::clamp<std::size_t>(a.cbElements, sizeof(VARIANT), 4096);
            const Slot s = in.Below(3) == 0 ? PickSlot(in, w, Kind::Plain, a.cbElements, false) : Slot{};
            std::vector<unsigned char> bytes(size);
            in.Take(bytes.data(), std::min<std::size_t>(size, 32));
            hr = SafeArrayPutElement(p.psa, indices, s.address != nullptr ? s.address : bytes.data());
            break;
        }
    }
    if (!Owns(kind) && kind != Kind::Plain)
        Check(hr != S_OK, "a put into an element of unfit or record kind succeeded");
}

// Get into a temporary, or into an element slot (of the same kind, possibly
// the element read itself). Whatever the slot held is taken out first; when it
// is the element read, the old value is released once the library stored a
// new one over it.
void Get(FuzzInput& in, World& w) {
    const Place p = PickArray(in, w);
    if (p.psa == nullptr) return;
    SAFEARRAY& a = *p.psa;
    LONG indices[kMaxDims] = {};
    PickIndices(in, a, indices);
    const unsigned char* element = ElementOf(a, indices);
    const Kind kind = AccessKind(a);
    const std::size_t size = kind == Kind::Plain ? a.cbElements : Owns(kind) ? a.cbElements : sizeof(VARIANT);

    Slot slot;
    if (in.Below(2) && (Owns(kind) || kind == Kind::Plain) && size != 0) {
        slot = PickSlot(in, w, kind, size, true);
        if (slot.address != nullptr && Leaky(*slot.psa) && (element == nullptr || OwnsSomething(kind, element)))
            slot = {};
        if (slot.address != nullptr && kind == Kind::Variant && element != nullptr &&
            !Affordable(w, MeasureVariant(*reinterpret_cast<const VARIANT*>(element)), slot.level))
            slot = {};
    }
    if (slot.address == nullptr) {
        std::vector<unsigned char> value(std::clamp<std::size_t>(size, sizeof(VARIANT), 4096));
        if (kind == Kind::Variant && element != nullptr &&
            !Affordable(w, MeasureVariant(*reinterpret_cast<const VARIANT*>(element)), 0))
            return;
        const HRESULT hr = SafeArrayGetElement(p.psa, indices, value.data());
        if (!Owns(kind) && kind != Kind::Plain)
            Check(hr != S_OK, "a get of an element of unfit or record kind succeeded");
        if (hr == S_OK) ReleaseValue(kind, value.data());
        return;
    }
    unsigned char saved[sizeof(VARIANT)] = {};
    const std::size_t held = Owns(kind) ? size : 0;  // plain slots own nothing
    std::memcpy(saved, slot.address, held);
    const bool self = slot.address == element;
    if (!self) std::memset(slot.address, 0, held);
    const long referencesBefore = References();
    SafeArrayGetElement(p.psa, indices, slot.address);
    if (!self || std::memcmp(saved, slot.address, held) != 0 || References() > referencesBefore)
        ReleaseValue(kind, saved);
}

// Bounds, raw access and the element pointer, which must lie inside the data.
void Inspect(FuzzInput& in, World& w) {
    const Place p = PickArray(in, w);
    if (p.psa == nullptr) return;
    SAFEARRAY& a = *p.psa;
    LONG bound;
    for (UINT d = 0; d <= static_cast<UINT>(a.cDims) + 1u; ++d) {
        SafeArrayGetUBound(p.psa, d, &bound);
        SafeArrayGetLBound(p.psa, d, &bound);
    }
    void* data = nullptr;
    SafeArrayAccessData(p.psa, &data);
    SafeArrayUnaccessData(p.psa);
    SafeArrayGetDim(p.psa);
    SafeArrayGetElemsize(p.psa);
    VARTYPE vt;
    SafeArrayGetVartype(p.psa, &vt);
    GUID iid;
    SafeArrayGetIID(p.psa, &iid);

    LONG indices[kMaxDims] = {};
    PickIndices(in, a, indices);
    void* address = nullptr;
    std::uint64_t bytes;
    if (SafeArrayPtrOfIndex(p.psa, indices, &address) == S_OK && Live(a, &bytes)) {
        const std::uint64_t offset =
            reinterpret_cast<std::uintptr_t>(address) - reinterpret_cast<std::uintptr_t>(a.pvData);
        Check(offset + a.cbElements <= bytes && offset % std::max<ULONG>(a.cbElements, 1) == 0,
              "SafeArrayPtrOfIndex pointed outside the elements");
    }
    // Only interface elements (or none at all) may be asked for an interface.
    if (StoredKind(a) == Kind::Interface || AllZero(a)) {
        void* out = nullptr;
        if (SafeArrayQueryElement(p.psa, in.Below(8), IID_IUnknown, &out) == S_OK)
            static_cast<IUnknown*>(out)->Release();
    }
}

// SafeArrayCopyData between any two arrays, an array onto itself, onto one
// nested in it, and from one nested in the target. The target's elements must
// be valid for the kind the source is copied as, or all zero; a source whose
// kind does not fit must leave the target as it was.
void CopyData(FuzzInput& in, World& w) {
    const Place source = PickArray(in, w);
    if (source.psa == nullptr) return;
    Place target = source;
    if (in.Below(2)) target = PickArray(in, w);
    std::uint64_t bytes;
    for (unsigned depth = 0; target.psa != nullptr && in.Below(2) && StoredKind(*target.psa) == Kind::Variant &&
                             Live(*target.psa, &bytes) && Count(*target.psa) != 0 && depth < kMaxDepth;
         ++depth) {
        SAFEARRAY* inner = HeldArray(
            static_cast<VARIANT*>(target.psa->pvData)[in.Below(std::min<std::uint64_t>(Count(*target.psa), 64))]);
        if (inner == nullptr) break;
        target = {inner, target.level + 1};
    }
    if (target.psa == nullptr) return;
    SAFEARRAY& s = *source.psa;
    SAFEARRAY& t = *target.psa;
    const Kind kind = CopyKind(s);
    // A record source copies nothing, so it may meet a target of any kind.
    if (kind != Kind::Unfit && kind != Kind::Record && StoredKind(s) != StoredKind(t) && !AllZero(t)) return;
    Extent e = MeasureArray(source.psa);
    e.depth = e.depth > 0 ? e.depth - 1 : 0;  // the elements, not the array
    if (!Affordable(w, e, target.level)) return;

    const USHORT features = t.fFeatures;
    const Kind heldAs = ReleaseKind(t);
    void* const data = t.pvData;
    std::vector<unsigned char> before;
    if (Live(t, &bytes)) before.assign(static_cast<unsigned char*>(t.pvData), ElementAt(t, Count(t)));
    const HRESULT hr = SafeArrayCopyData(source.psa, target.psa);
    if (kind == Kind::Unfit || kind == Kind::Record) {
        Check(t.pvData == data && (kind == Kind::Record || t.fFeatures == features),
              "SafeArrayCopyData changed a target it refused");
        // Taking a record's features, slots that change kind are released and
        // zeroed (plain numbers included); the others are not touched.
        const Kind takenAs = ReleaseKind(t);
        const bool rekinded = takenAs != heldAs && (Owns(takenAs) || Owns(heldAs)) && hr == E_NOTIMPL;
        Check(before.empty() || (rekinded ? AllZero(t) : std::memcmp(before.data(), t.pvData, before.size()) == 0),
              "SafeArrayCopyData left record-kind slots that would be misread");
        if (s.pvData != nullptr && (s.fFeatures & FADF_DATA_RELEASED) == 0)
            Check(hr != S_OK || source.psa == target.psa, "SafeArrayCopyData of unfit or record kind succeeded");
    }
}

void Copy(FuzzInput& in, World& w) {
    const Place p = PickArray(in, w);
    SAFEARRAY*& slot = w.arrays[in.Below(kArraySlots)];
    if (p.psa == nullptr || !Affordable(w, MeasureArray(p.psa), 1)) return;
    SAFEARRAY* copy = nullptr;
    if (SafeArrayCopy(p.psa, &copy) != S_OK || copy == nullptr) return;
    DropArray(slot);  // may have been the source
    slot = copy;
}

void Redim(FuzzInput& in, World& w) {
    const Place p = PickArray(in, w);
    if (p.psa == nullptr) return;
    SAFEARRAY& a = *p.psa;
    const SAFEARRAYBOUND bound{in.Below(6), PickFrom(in, kLowerBounds)};
    if (a.cDims != 0 && bound.cElements > a.rgsabound[0].cElements) {
        // Growth allocates the new size: it must stay affordable.
        std::uint64_t others = 1;
        for (USHORT d = 1; d < a.cDims; ++d)
            if (__builtin_mul_overflow(others, a.rgsabound[d].cElements, &others)) return;
        std::uint64_t bytes;
        if (__builtin_mul_overflow(others, std::uint64_t{bound.cElements} * a.cbElements, &bytes)) return;
        if (!Affordable(w, {bytes, 0}, p.level)) return;
    }
    SafeArrayRedim(p.psa, &bound);
}

// The three destroy operations on a held array, and SafeArrayAllocData on one
// without data. After SafeArrayDestroyDescriptor the caller owns the data
// block and what its elements hold (unless the library released live inline
// elements with the descriptor).
void Destroy(FuzzInput& in, World& w) {
    SAFEARRAY*& slot = w.arrays[in.Below(kArraySlots)];
    SAFEARRAY* psa = slot;
    if (psa == nullptr) return;
    std::uint64_t bytes = 0;
    switch (in.Below(4)) {
        case 0:
            if (SafeArrayDestroy(psa) == S_OK) slot = nullptr;
            break;
        case 1:
            SafeArrayDestroyData(psa);
            break;
        case 2: {
            void* data = psa->pvData;
            const bool inBlock = data == reinterpret_cast<unsigned char*>(psa) + 32;
            const bool live = Live(*psa, &bytes);
            const bool liveInline = (psa->fFeatures & (FADF_INLINE_DATA | FADF_DATA_RELEASED)) == FADF_INLINE_DATA;
            const Kind stored = StoredKind(*psa);
            const ULONG size = psa->cbElements;
            const std::uint64_t n = live ? Count(*psa) : 0;
            if (SafeArrayDestroyDescriptor(psa) != S_OK) break;
            slot = nullptr;
            if (inBlock || data == nullptr) break;
            if (live && !liveInline)
                for (std::uint64_t j = 0; j < n; ++j)
                    ReleaseValue(stored, static_cast<unsigned char*>(data) + j * size);
            if (!OwnedByHarness(w, data)) std::free(data);
            break;
        }
        default:
            if (psa->pvData == nullptr && DataBytes(*psa, &bytes) && Affordable(w, {bytes, 0}, 1))
                SafeArrayAllocData(psa);
            break;
    }
}

// ---------------------------------------------------------------------------
// Variant operations whose source may live inside what the destination owns.

// A destination: a root, or an element of a variant array (not of one that
// would leak what it is given).
struct Destination {
    VARIANT* v = nullptr;
    SAFEARRAY* container = nullptr;
    unsigned level = 0;
};

Destination PickDestination(FuzzInput& in, World& w) {
    if (in.Below(3) != 0) return {&w.roots[in.Below(kRoots)], nullptr, 0};
    const Slot s = PickSlot(in, w, Kind::Variant, sizeof(VARIANT), true);
    if (s.address == nullptr || Leaky(*s.psa)) return {};
    return {reinterpret_cast<VARIANT*>(s.address), s.psa, s.level};
}

bool Contains(SAFEARRAY* root, const SAFEARRAY* psa) {
    bool found = false;
    auto visit = [&](SAFEARRAY* a, unsigned) { found = found || a == psa; };
    VisitArray(root, 1, visit);
    return found;
}

// A value that owns nothing may be dropped by its owner; VariantClear refuses
// invalid and record types.
void Reset(VARIANT* v) {
    if (FAILED(VariantClear(v)) && !OwnsSomething(Kind::Variant, v)) VariantInit(v);
}

// A temporary reference into storage that `dest` may own: its own value, an
// element of the array it holds (or nested deeper), a holder or a string slot.
bool MakeReference(FuzzInput& in, World& w, VARIANT* dest, VARIANT& ref) {
    VariantInit(&ref);
    SAFEARRAY* owned = HeldArray(*dest);
    Slot s;
    const auto slotIn = [&](Kind kind, std::uint64_t size) {
        if (owned != nullptr && in.Below(2)) {
            std::uint64_t bytes;
            if (StoredKind(*owned) == kind && Live(*owned, &bytes) && Count(*owned) != 0 && owned->cbElements >= size)
                return Slot{ElementAt(*owned, in.Below(std::min<std::uint64_t>(Count(*owned), 64))), owned, 1};
        }
        return PickSlot(in, w, kind, size, false);
    };
    switch (in.Below(6)) {
        case 0:  // a variant
            ref.vt = VT_BYREF | VT_VARIANT;
            s = slotIn(Kind::Variant, sizeof(VARIANT));
            ref.pvarVal = s.address != nullptr ? reinterpret_cast<VARIANT*>(s.address) : dest;
            break;
        case 1:  // a string
            ref.vt = VT_BYREF | VT_BSTR;
            s = slotIn(Kind::String, sizeof(BSTR));
            ref.pbstrVal = s.address != nullptr  ? reinterpret_cast<BSTR*>(s.address)
                           : dest->vt == VT_BSTR ? &dest->bstrVal
                                                 : &w.strings[in.Below(kStrings)];
            break;
        case 2: {  // an array pointer: of an element, of the destination, of a holder
            s = slotIn(Kind::Variant, sizeof(VARIANT));
            VARIANT* holder = s.address != nullptr ? reinterpret_cast<VARIANT*>(s.address) : dest;
            if (HeldArray(*holder) != nullptr) {
                ref.vt = static_cast<VARTYPE>(VT_BYREF | holder->vt);
                ref.pparray = &holder->parray;
            } else {
                ref.vt = VT_BYREF | VT_ARRAY | PickFrom(in, kCreateTypes);
                ref.pparray = &w.arrays[in.Below(kArraySlots)];
            }
            break;
        }
        case 3:  // an interface pointer
            ref.vt = in.Below(2) ? VT_BYREF | VT_UNKNOWN : VT_BYREF | VT_DISPATCH;
            s = slotIn(Kind::Interface, sizeof(IUnknown*));
            if (s.address != nullptr) {
                ref.ppunkVal = reinterpret_cast<IUnknown**>(s.address);
            } else if (dest->vt == VT_UNKNOWN || dest->vt == VT_DISPATCH) {
                ref.ppunkVal = &dest->punkVal;
            } else {
                return false;
            }
            break;
        default: {  // plain bytes: of an element or of the destination's value
            constexpr VARTYPE kScalars[] = {VT_I1, VT_I2, VT_I4, VT_R8, VT_CY, VT_BOOL, VT_UI8, VT_DATE, VT_DECIMAL};
            const VARTYPE base = PickFrom(in, kScalars);
            ref.vt = VT_BYREF | base;
            s = PickSlot(in, w, Kind::Plain, 16, false);
            ref.byref = s.address != nullptr ? static_cast<void*>(s.address) : static_cast<void*>(&dest->llVal);
            break;
        }
    }
    return true;
}

void VariantOps(FuzzInput& in, World& w) {
    const Destination d = PickDestination(in, w);
    if (d.v == nullptr) return;
    VARIANT* dest = d.v;
    VARIANT temp;
    VariantInit(&temp);
    switch (in.Below(6)) {
        case 0: {  // a copy of something, often inside what dest holds
            unsigned sourceLevel;
            VARIANT* source = PickVariant(in, w, HeldArray(*dest), temp, &sourceLevel);
            if (Affordable(w, MeasureVariant(*source), d.level)) VariantCopy(dest, source);
            break;
        }
        case 1: {  // resolving a reference into what dest owns
            VARIANT ref;
            if (MakeReference(in, w, dest, ref) && Affordable(w, MeasureVariant(ref), d.level))
                VariantCopyInd(dest, &ref);
            break;
        }
        case 2: {  // a type change whose source lives in what dest owns
            constexpr VARTYPE kTargets[] = {VT_EMPTY,
                                            VT_NULL,
                                            VT_I4,
                                            VT_R8,
                                            VT_BSTR,
                                            VT_UNKNOWN,
                                            VT_BOOL,
                                            VT_VARIANT,
                                            VT_DECIMAL,
                                            VT_DISPATCH,
                                            VT_ERROR,
                                            VT_I8,
                                            VT_RECORD,
                                            VT_BYREF | VT_I4,
                                            VT_ARRAY | VT_UI1,
                                            VT_ARRAY | VT_VARIANT};
            unsigned sourceLevel;
            VARIANT ref;
            VARIANT* source = in.Below(3) == 0 && MakeReference(in, w, dest, ref)
                                  ? &ref
                                  : PickVariant(in, w, HeldArray(*dest), temp, &sourceLevel);
            const unsigned pick = in.Below(std::size(kTargets) + 2);
            const VARTYPE vt = pick < std::size(kTargets)    ? kTargets[pick]
                               : pick == std::size(kTargets) ? static_cast<VARTYPE>(source->vt & ~VT_BYREF)
                                                             : static_cast<VARTYPE>(in.Byte() | (in.Byte() << 8));
            if (Affordable(w, MeasureVariant(*source), d.level, 3)) VariantChangeTypeEx(dest, source, 0, 0, vt);
            break;
        }
        case 3:
            VariantClear(dest);
            break;
        case 4:  // a simple new value
            Reset(dest);
            if (!OwnsSomething(Kind::Variant, dest)) MakeValue(in, w, *dest);
            break;
        default: {  // adopts a held array, which the variant then owns
            SAFEARRAY*& slot = w.arrays[in.Below(kArraySlots)];
            if (slot == nullptr || slot == HeldArray(*dest)) break;
            Extent e = MeasureArray(slot);
            e.cost = 0;  // nothing is copied
            if (d.container != nullptr && (Contains(slot, d.container) || !Affordable(w, e, d.level))) break;
            Reset(dest);
            if (OwnsSomething(Kind::Variant, dest)) break;
            if (d.container != nullptr) slot->cLocks = 0;  // an element's array is destroyed with it
            VARTYPE vt = VT_I4;  // the stored type may be anything; the variant's must own the array
            if (FAILED(SafeArrayGetVartype(slot, &vt))) vt = VT_I4;
            vt &= VT_TYPEMASK;
            if (vt == VT_EMPTY || !VartypeIsValid(VT_ARRAY | vt)) vt = VT_I4;
            dest->vt = static_cast<VARTYPE>(VT_ARRAY | vt);
            dest->parray = slot;
            slot = nullptr;
            break;
        }
    }
    VariantClear(&temp);
}

// SysReAllocString and SysReAllocStringLen with text inside the string being
// replaced, in a string slot or a string element.
void Strings(FuzzInput& in, World& w) {
    BSTR* var = &w.strings[in.Below(kStrings)];
    if (in.Below(2)) {
        const Slot s = PickSlot(in, w, Kind::String, sizeof(BSTR), true);
        if (s.address != nullptr) var = reinterpret_cast<BSTR*>(s.address);
    }
    BSTR other = MakeString(in);
    const char literal[] = "literal text";
    const char* text = literal;
    if (*var != nullptr && in.Below(3) != 0) {
        text = *var + in.Below(SysStringLen(*var) + 1);
    } else if (other != nullptr && in.Below(2)) {
        text = other;
    }
    if (in.Below(2)) {
        SysReAllocString(var, text);
    } else {
        SysReAllocStringLen(var, text, in.Below(16));
    }
    SysFreeString(other);
}

// Byte vectors and raw data of a held array, and of variants borrowing it.
void Bytes(FuzzInput& in, World& w) {
    const Place p = PickArray(in, w);
    if (p.psa != nullptr) {
        SAFEARRAY& a = *p.psa;
        BSTR text = nullptr;
        if (a.cDims != 1 || a.rgsabound[0].cElements <= kBudget) BstrFromVector(p.psa, &text);
        SysFreeString(text);
        ULONG size = 0;
        void* data = nullptr;
        SafeArrayGetRawData(p.psa, &size, &data);
        SafeArrayGetElementCount(p.psa, &size);
        VARIANT borrowed;
        VariantInit(&borrowed);
        constexpr VARTYPE kBases[] = {VT_UI1, VT_I2, VT_I4, VT_R8, VT_BOOL, VT_BSTR, VT_INT};
        borrowed.vt = static_cast<VARTYPE>(VT_ARRAY | PickFrom(in, kBases));
        SAFEARRAY* held = p.psa;
        if (in.Below(2)) {
            borrowed.vt |= VT_BYREF;
            borrowed.pparray = &held;
        } else {
            borrowed.parray = p.psa;
        }
        // The raw data must lie inside the data block.
        std::uint64_t bytes;
        if (VariantGetRawData(&borrowed, &size, &data) == S_OK && data != nullptr && Live(a, &bytes))
            Check(data == a.pvData && size <= bytes, "raw data outside the data block");
        SAFEARRAY* vector = nullptr;
        if (ByteVectorFromVariant(&borrowed, &vector) == S_OK) SafeArrayDestroy(vector);
        vector = nullptr;
        if (Live(a, &bytes) && bytes != 0 && in.Below(2)) {
            const std::uint64_t offset = in.Below(static_cast<std::uint32_t>(std::min(bytes, kBudget)));
            if (ByteVectorFromBytes(static_cast<unsigned char*>(a.pvData) + offset,
                                    static_cast<ULONG>(in.Below(static_cast<std::uint32_t>(bytes - offset) + 1)),
                                    &vector) == S_OK)
                SafeArrayDestroy(vector);
        }
    }
    BSTR s = w.strings[in.Below(kStrings)];
    SAFEARRAY* vector = nullptr;
    if (VectorFromBstr(s, &vector) == S_OK) SafeArrayDestroy(vector);
    vector = nullptr;
    if (ByteVectorFromBstr(s, &vector) == S_OK) SafeArrayDestroy(vector);
    VARIANT prepared;
    VariantInit(&prepared);
    ULONG size = in.Below(16);
    void* data = nullptr;
    constexpr VARTYPE kPrepared[] = {VT_I4, VT_BSTR, VT_ARRAY | VT_I4, VT_ARRAY | VT_BOOL, VT_ARRAY | VT_BSTR, VT_BOOL};
    VariantPrepareRawData(&prepared, PickFrom(in, kPrepared), &size, &data, nullptr, 0);
    VariantGetNormalizedRawData(&prepared, &size, &data);
    VariantClear(&prepared);
}

void Step(FuzzInput& in, World& w) {
    switch (in.Below(13)) {
        case 0:
        case 1: {
            SAFEARRAY*& slot = w.arrays[in.Below(kArraySlots)];
            DropArray(slot);
            slot = BuildDescriptor(in, w);
            break;
        }
        case 2: {
            SAFEARRAY*& slot = w.arrays[in.Below(kArraySlots)];
            DropArray(slot);
            slot = CreateArray(in);
            break;
        }
        case 3:
        case 4:
            Put(in, w);
            break;
        case 5:
            Get(in, w);
            break;
        case 6:
            Inspect(in, w);
            break;
        case 7:
            CopyData(in, w);
            break;
        case 8:
            Copy(in, w);
            break;
        case 9:
            if (in.Below(2)) {
                Redim(in, w);
            } else {
                Destroy(in, w);
            }
            break;
        case 10:
        case 11:
            VariantOps(in, w);
            break;
        default:
            if (in.Below(2)) {
                Strings(in, w);
            } else {
                Bytes(in, w);
            }
            break;
    }
    Reconcile(w);
}

// Unlocks every array as its owner may, clears and destroys everything, and
// frees the blocks the harness kept.
void Finish(World& w) {
    VisitAll(w, [](SAFEARRAY* psa, unsigned) { psa->cLocks = 0; });
    for (VARIANT& v : w.roots) {
        const HRESULT hr = VariantClear(&v);
        Check(SUCCEEDED(hr) || !OwnsSomething(Kind::Variant, &v), "a root variant could not be cleared");
    }
    for (SAFEARRAY*& slot : w.arrays) DropArray(slot);
    for (BSTR& s : w.strings) SysFreeString(s);
    Reconcile(w);
    Check(w.built.empty(), "a built descriptor outlived its holders");
    VariantClear(&w.anchorVariant);
    SafeArrayDestroy(w.anchorArray);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    {
        World w;
        w.anchorVariant.vt = VT_BSTR;
        w.anchorVariant.bstrVal = SysAllocString("anchor");
        w.anchorArray = SafeArrayCreateVector(VT_I4, 0, 2);
        for (BSTR& s : w.strings) s = SysAllocString("hostile");
        for (int steps = 0; steps < 128 && !in.empty(); ++steps) Step(in, w);
        Finish(w);
    }
    Check(References() == 0, "interface references did not balance");
    return 0;
}
