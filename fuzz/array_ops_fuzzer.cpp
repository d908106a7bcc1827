// Runs a sequence of array operations decoded from the input on a few arrays
// of every element kind: create, put, get, pointer of index, query, redim,
// copy, destroy (data or all), byte-vector round trips. Under ASan this checks
// that nothing is read out of bounds or after it was freed; at the end every
// array is destroyed and every interface reference must have come back.
//
// Putting an array into an element of a variant array copies it, nested arrays
// included, so putting an array into itself again and again doubles it each
// time. Every step that adds a copy first checks that the elements alive in all
// slots together, nested ones included, and the depth of nesting stay within a
// small bound: any input then runs in a few milliseconds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "automation/automation.h"
#include "fuzz_input.h"

namespace {

// An object whose references are counted and must balance after each input.
struct Counted final : IDispatch {
    long references = 0;
    HRESULT QueryInterface(REFIID riid, void** ppv) noexcept override {
        if (riid != IID_IUnknown && riid != IID_IDispatch) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = this;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() noexcept override { return static_cast<ULONG>(++references); }
    ULONG Release() noexcept override {
        if (references <= 0) std::abort();  // released more often than referenced
        return static_cast<ULONG>(--references);
    }
};

Counted objects[3];

// A lower bound near 0, of either sign.
LONG SmallSigned(FuzzInput& in) { return static_cast<LONG>(in.Below(9)) - 4; }

constexpr VARTYPE kTypes[] = {VT_I1, VT_UI1, VT_I2,   VT_BOOL,    VT_I4,       VT_R4,      VT_R8,
                              VT_CY, VT_I8,  VT_BSTR, VT_UNKNOWN, VT_DISPATCH, VT_VARIANT, VT_DECIMAL};
constexpr int kSlots = 4;
constexpr std::uint64_t kMaxElements = 256;  // alive in all slots, nested arrays included
constexpr unsigned kMaxDepth = 4;            // arrays inside variants inside arrays ...

// The elements an array holds, those of the arrays in its variant elements
// included (each descriptor counts as one more), and how deep they nest.
struct Extent {
    std::uint64_t elements = 0;
    unsigned depth = 0;
};

Extent Measure(const SAFEARRAY* psa) {
    Extent extent;
    if (psa == nullptr) return extent;
    const std::uint64_t n = SafeArrayElementCount(psa);
    extent = {n + 1, 1};
    if ((psa->fFeatures & FADF_VARIANT) == 0 || (psa->fFeatures & FADF_DATA_RELEASED) != 0 || psa->pvData == nullptr)
        return extent;
    const auto* elements = static_cast<const VARIANT*>(psa->pvData);
    for (std::uint64_t j = 0; j < n; ++j) {
        if ((elements[j].vt & (VT_ARRAY | VT_BYREF)) != VT_ARRAY) continue;
        const Extent inner = Measure(elements[j].parray);
        extent.elements += inner.elements;
        if (inner.depth + 1 > extent.depth) extent.depth = inner.depth + 1;
    }
    return extent;
}

struct State {
    SAFEARRAY* arrays[kSlots] = {};

    ~State() {
        for (SAFEARRAY* psa : arrays) SafeArrayDestroy(psa);
    }

    SAFEARRAY*& Slot(FuzzInput& in) { return arrays[in.Below(kSlots)]; }

    // Whether `added` may be copied into an element of one of the slots (or,
    // with `replaced`, take that slot's place) and stay within the bounds.
    bool Fits(const SAFEARRAY* added, const SAFEARRAY* replaced = nullptr, bool nested = true) const {
        const Extent extent = Measure(added);
        std::uint64_t total = extent.elements;
        for (const SAFEARRAY* psa : arrays)
            if (psa != replaced) total += Measure(psa).elements;
        return total <= kMaxElements && extent.depth + (nested ? 1 : 0) <= kMaxDepth;
    }
};

SAFEARRAY* Create(FuzzInput& in) {
    const VARTYPE vt = kTypes[in.Below(sizeof kTypes / sizeof kTypes[0])];
    const UINT dims = in.Below(4);
    if (dims == 0) return SafeArrayCreateVector(vt, SmallSigned(in), in.Below(5));
    SAFEARRAYBOUND bounds[3];
    for (UINT k = 0; k < dims; ++k) bounds[k] = {in.Below(4), SmallSigned(in)};
    return SafeArrayCreate(vt, dims, bounds);
}

// Indices for `psa`, mostly in range, sometimes just outside.
void Indices(FuzzInput& in, const SAFEARRAY* psa, LONG* out) {
    for (UINT k = 0; k < psa->cDims && k < 3; ++k) {
        const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - 1 - k];
        out[k] = b.lLbound + static_cast<LONG>(in.Below(b.cElements + 2)) - (in.Below(8) == 0 ? 1 : 0);
    }
}

// Releases what a successful Get handed out, by the array's element kind.
void ReleaseValue(const SAFEARRAY* psa, void* value) {
    if (psa->fFeatures & FADF_VARIANT) {
        VariantClear(static_cast<VARIANT*>(value));
    } else if (psa->fFeatures & FADF_BSTR) {
        SysFreeString(*static_cast<BSTR*>(value));
    } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        if (IUnknown* object = *static_cast<IUnknown**>(value)) object->Release();
    }
}

// A source variant of some type; `owned` tells whether it must be cleared.
VARIANT SourceVariant(FuzzInput& in, State& state, LONG& referenced, bool& owned) {
    VARIANT v;
    VariantInit(&v);
    owned = true;
    unsigned char text[8];
    switch (in.Below(6)) {
        case 0:
            v.vt = VT_I4;
            v.lVal = in.Byte();
            break;
        case 1:
            v.vt = VT_BSTR;
            v.bstrVal = SysAllocStringLen(reinterpret_cast<char*>(text), static_cast<UINT>(in.Take(text, in.Below(9))));
            break;
        case 2:
            v.vt = VT_UNKNOWN;
            v.punkVal = &objects[in.Below(3)];
            v.punkVal->AddRef();
            break;
        case 3:  // an array variant that borrows one of the slots
            if (SAFEARRAY* psa = state.Slot(in); psa != nullptr && state.Fits(psa)) {
                VARTYPE vt = VT_EMPTY;
                if (SUCCEEDED(SafeArrayGetVartype(psa, &vt))) {
                    v.vt = VT_ARRAY | vt;
                    v.parray = psa;
                    owned = false;
                }
            }
            break;
        case 4:
            v.vt = VT_BYREF | VT_I4;
            v.plVal = &referenced;
            owned = false;
            break;
        default:
            v.vt = static_cast<VARTYPE>(in.Byte() | (in.Byte() << 8));  // often invalid, never owning
            v.byref = nullptr;
            owned = false;
            break;
    }
    return v;
}

void Put(FuzzInput& in, State& state, SAFEARRAY* psa) {
    LONG index[3] = {};
    Indices(in, psa, index);
    const USHORT f = psa->fFeatures;
    if (in.Below(4) == 0) {  // the element's own value as the source
        void* element = nullptr;
        if (FAILED(SafeArrayPtrOfIndex(psa, index, &element))) return;
        void* source = element;
        if (f & (FADF_UNKNOWN | FADF_DISPATCH)) source = *static_cast<IUnknown**>(element);
        if ((f & FADF_BSTR) && !(f & FADF_VARIANT) && *static_cast<BSTR*>(element) != nullptr && in.Below(2)) {
            BSTR inner = *static_cast<BSTR*>(element) + in.Below(SysStringLen(*static_cast<BSTR*>(element)) + 1);
            SafeArrayPutElement(psa, index, &inner);
            return;
        }
        SafeArrayPutElement(psa, index, source);
        return;
    }
    if (f & FADF_VARIANT) {
        LONG referenced = 5;
        bool owned;
        VARIANT v = SourceVariant(in, state, referenced, owned);
        SafeArrayPutElement(psa, index, &v);
        if (owned) VariantClear(&v);
    } else if (f & FADF_BSTR) {
        unsigned char text[8];
        BSTR s = SysAllocStringLen(reinterpret_cast<char*>(text), static_cast<UINT>(in.Take(text, in.Below(9))));
        SafeArrayPutElement(psa, index, &s);
        SysFreeString(s);
    } else if (f & (FADF_UNKNOWN | FADF_DISPATCH)) {
        const unsigned which = in.Below(4);
        SafeArrayPutElement(psa, index, which == 3 ? nullptr : static_cast<IUnknown*>(&objects[which]));
    } else {
        unsigned char value[32] = {};
        in.Take(value, in.Below(9));
        if (psa->cbElements <= sizeof value) SafeArrayPutElement(psa, index, value);
    }
}

void Get(FuzzInput& in, SAFEARRAY* psa) {
    LONG index[3] = {};
    Indices(in, psa, index);
    alignas(8) unsigned char value[32];
    std::memset(value, 0, sizeof value);
    if (psa->cbElements > sizeof value) return;
    if (SafeArrayGetElement(psa, index, value) == S_OK) ReleaseValue(psa, value);
}

void PointerOfIndex(FuzzInput& in, SAFEARRAY* psa) {
    LONG index[3] = {};
    Indices(in, psa, index);
    void* element = nullptr;
    if (SafeArrayPtrOfIndex(psa, index, &element) != S_OK) return;
    unsigned char copy[32];
    if (psa->cbElements <= sizeof copy) std::memcpy(copy, element, psa->cbElements);  // must be in bounds
}

void ByteVectors(FuzzInput& in, SAFEARRAY* psa) {
    BSTR text = nullptr;
    if (BstrFromVector(psa, &text) == S_OK) {
        SAFEARRAY* back = nullptr;
        if (VectorFromBstr(text, &back) == S_OK) SafeArrayDestroy(back);
    }
    SysFreeString(text);
    VARTYPE vt = VT_EMPTY;
    if (FAILED(SafeArrayGetVartype(psa, &vt))) return;
    VARIANT borrowed;
    VariantInit(&borrowed);
    borrowed.vt = static_cast<VARTYPE>(VT_ARRAY | vt | (in.Below(2) ? VT_BYREF : 0));
    if (borrowed.vt & VT_BYREF) {
        borrowed.pparray = &psa;
    } else {
        borrowed.parray = psa;
    }
    SAFEARRAY* bytes = nullptr;
    if (ByteVectorFromVariant(&borrowed, &bytes) == S_OK) SafeArrayDestroy(bytes);
}

void Step(FuzzInput& in, State& state) {
    SAFEARRAY*& slot = state.Slot(in);
    const unsigned op = in.Below(10);
    if (op == 0) {
        SafeArrayDestroy(slot);
        slot = Create(in);
        return;
    }
    if (slot == nullptr) return;
    switch (op) {
        case 1:
        case 2:
            Put(in, state, slot);
            break;
        case 3:
            Get(in, slot);
            break;
        case 4:
            PointerOfIndex(in, slot);
            break;
        case 5: {
            const SAFEARRAYBOUND bound = {in.Below(5), SmallSigned(in)};
            SafeArrayRedim(slot, &bound);
            break;
        }
        case 6: {
            SAFEARRAY*& target = state.Slot(in);
            if (&target != &slot && !state.Fits(slot, target, false)) break;
            SAFEARRAY* copy = nullptr;
            if (SafeArrayCopy(slot, &copy) == S_OK && &target != &slot) {
                SafeArrayDestroy(target);
                target = copy;
            } else {
                SafeArrayDestroy(copy);
            }
            break;
        }
        case 7:
            if (in.Below(2)) {
                SafeArrayDestroyData(slot);
            } else {
                SafeArrayDestroy(slot);
                slot = nullptr;
            }
            break;
        case 8: {
            // Only arrays whose elements are interfaces hold objects. An array
            // that merely names an interface type (FADF_HAVEIID without a kind
            // bit, as a copy of an array without data gets) has plain elements
            // that may hold any bytes, and querying one would call through them.
            if ((slot->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) == 0) break;
            void* out = nullptr;
            if (SafeArrayQueryElement(slot, in.Below(6), IID_IUnknown, &out) == S_OK) {
                static_cast<IUnknown*>(out)->Release();
            }
            break;
        }
        default:
            ByteVectors(in, slot);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    {
        State state;
        for (int steps = 0; steps < 256 && !in.empty(); ++steps) Step(in, state);
    }
    for (const Counted& object : objects) {
        if (object.references != 0) std::abort();  // a reference leaked
    }
    return 0;
}
