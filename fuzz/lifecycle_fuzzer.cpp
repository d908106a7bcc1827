// Builds variants and arrays from the input (scalars, strings, interfaces from
// a counting object, nested variant arrays, chains of thousands of nested
// vectors, references), then copies, copies
// through references, redimensions and clears them. Every successful copy must
// equal its source; when everything is cleared every reference must have been
// given back (ASan reports any string or block left behind).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <utility>
#include <vector>

#include "automation/automation.h"
#include "fuzz_input.h"

namespace {

class CountingUnknown : public IDispatch {
public:
    HRESULT QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return static_cast<ULONG>(++count); }
    ULONG Release() override {
        if (count <= 0) std::abort();  // released more often than referenced
        return static_cast<ULONG>(--count);
    }
    long count = 0;
};

constexpr int kMaxDepth = 3;
constexpr ULONG kMaxElements = 6;
// A root of the deepest shape holds about 260 variants, and every operation
// copies or compares all of them: 4,000 operations (a long input) took most of
// a second under ASan. 64 keep the slowest input at a few milliseconds.
constexpr int kMaxOperations = 64;

// Chains of nested one-element variant vectors are built by moving each level
// in, so depth costs a block per level; all chains of one input share this
// many levels, whatever their depth.
constexpr std::uint64_t kChainLevels = 3000;

struct World {
    CountingUnknown objects[3];
    std::deque<VARIANT> referenced;  // storage that by-reference variants point at
    std::uint64_t chainLevels = kChainLevels;
};

BSTR MakeString(FuzzInput& in) {
    char buffer[16];
    const std::size_t n = in.Take(buffer, in.Below(sizeof buffer + 1));
    return n == 0 && in.Byte() % 2 == 0 ? nullptr : SysAllocStringLen(buffer, static_cast<UINT>(n));
}

IUnknown* MakeObject(FuzzInput& in, World& world) {
    const std::uint32_t pick = in.Below(4);
    if (pick == 3) return nullptr;
    world.objects[pick].AddRef();
    return &world.objects[pick];
}

void BuildVariant(FuzzInput& in, World& world, VARIANT* v, int depth);

// An array of `vt` as a vector (inline data) or with 1 or 2 dimensions.
SAFEARRAY* BuildArray(FuzzInput& in, World& world, VARTYPE vt, int depth) {
    SAFEARRAY* psa = nullptr;
    const std::uint32_t shape = in.Below(3);
    if (shape == 0) {
        psa = SafeArrayCreateVector(vt, static_cast<LONG>(in.Byte()) - 128, in.Below(kMaxElements + 1));
    } else {
        SAFEARRAYBOUND bounds[2];
        for (SAFEARRAYBOUND& b : bounds) b = {in.Below(4), static_cast<LONG>(in.Below(5)) - 2};
        psa = SafeArrayCreate(vt, shape, bounds);
    }
    if (psa == nullptr) return nullptr;
    const std::uint64_t n = SafeArrayElementCount(psa);
    for (std::uint64_t j = 0; j < n; ++j) {
        switch (vt) {
            case VT_BSTR:
                static_cast<BSTR*>(psa->pvData)[j] = MakeString(in);
                break;
            case VT_UNKNOWN:
            case VT_DISPATCH:
                static_cast<IUnknown**>(psa->pvData)[j] = MakeObject(in, world);
                break;
            case VT_VARIANT:
                BuildVariant(in, world, &static_cast<VARIANT*>(psa->pvData)[j], depth + 1);
                break;
            default:
                in.Take(static_cast<unsigned char*>(psa->pvData) + j * psa->cbElements, psa->cbElements);
                break;
        }
    }
    return psa;
}

void BuildVariant(FuzzInput& in, World& world, VARIANT* v, int depth) {
    VariantInit(v);
    static constexpr VARTYPE kArrayTypes[] = {VT_BSTR, VT_UNKNOWN, VT_DISPATCH, VT_VARIANT, VT_I4, VT_UI1, VT_R8};
    const std::uint32_t kind = in.Below(depth >= kMaxDepth ? 6 : 10);
    switch (kind) {
        case 0:
            break;
        case 1:
            v->vt = VT_I4;
            in.Take(&v->lVal, sizeof v->lVal);
            break;
        case 2:
            v->vt = VT_BOOL;
            v->boolVal = static_cast<VARIANT_BOOL>(in.Below(4));
            break;
        case 3:
            v->vt = VT_BSTR;
            v->bstrVal = MakeString(in);
            break;
        case 4:
            v->vt = in.Byte() % 2 ? VT_UNKNOWN : VT_DISPATCH;
            v->punkVal = MakeObject(in, world);
            break;
        case 5:
            v->vt = VT_R8;
            in.Take(&v->dblVal, sizeof v->dblVal);
            break;
        case 6:
        case 7: {
            const VARTYPE vt = kArrayTypes[in.Below(sizeof kArrayTypes / sizeof kArrayTypes[0])];
            v->vt = VT_ARRAY | vt;
            v->parray = BuildArray(in, world, vt, depth);
            break;
        }
        case 8: {  // a reference to a variant kept alive by the world
            VARIANT& target = world.referenced.emplace_back();
            BuildVariant(in, world, &target, depth + 1);
            v->vt = VT_BYREF | VT_VARIANT;
            v->pvarVal = &target;
            break;
        }
        case 9: {  // a deep chain around a shallow value
            BuildVariant(in, world, v, kMaxDepth);
            const std::uint64_t levels = std::min<std::uint64_t>(world.chainLevels, in.Bits() % (kChainLevels + 1));
            world.chainLevels -= levels;
            for (std::uint64_t level = 0; level < levels; ++level) {
                SAFEARRAY* vector = SafeArrayCreateVector(VT_VARIANT, 0, 1);
                if (vector == nullptr) break;
                static_cast<VARIANT*>(vector->pvData)[0] = *v;
                VariantInit(v);
                v->vt = VT_ARRAY | VT_VARIANT;
                v->parray = vector;
            }
            break;
        }
    }
}

// `y` is a copy of `x`, compared without recursion (chains are deep): the
// same types and values, strings copied as text, arrays with the same header
// (a copy never has inline data) and elements.
class Comparison {
public:
    bool Variants(const VARIANT& x, const VARIANT& y) {
        variants_.push_back({&x, &y});
        return Drain();
    }
    bool Elements(SAFEARRAY* x, SAFEARRAY* y) {
        if (!SameElements(x, y)) return false;
        return Drain();
    }

private:
    bool Drain() {
        while (!variants_.empty()) {
            const auto [x, y] = variants_.back();
            variants_.pop_back();
            if (!SameVariant(*x, *y)) return false;
        }
        return true;
    }

    bool SameVariant(const VARIANT& x, const VARIANT& y) {
        if (x.vt != y.vt) return false;
        if ((x.vt & VT_BYREF) != 0) return x.byref == y.byref;
        if ((x.vt & VT_ARRAY) != 0) return SameArray(x.parray, y.parray);
        switch (x.vt) {
            case VT_EMPTY:
                return true;
            case VT_BSTR:  // a text copy: up to the first NUL
                if (x.bstrVal == nullptr || y.bstrVal == nullptr) return x.bstrVal == y.bstrVal;
                return std::strcmp(x.bstrVal, y.bstrVal) == 0 && x.bstrVal != y.bstrVal;
            case VT_BOOL:
                return x.boolVal == y.boolVal;
            case VT_I4:
                return x.lVal == y.lVal;
            default:
                return x.llVal == y.llVal;
        }
    }

    // Variant elements are compared later, from the list.
    bool SameElements(SAFEARRAY* x, SAFEARRAY* y) {
        const std::uint64_t n = SafeArrayElementCount(x);
        for (std::uint64_t j = 0; j < n; ++j) {
            if ((x->fFeatures & FADF_VARIANT) != 0) {
                variants_.push_back({&static_cast<VARIANT*>(x->pvData)[j], &static_cast<VARIANT*>(y->pvData)[j]});
            } else if ((x->fFeatures & FADF_BSTR) != 0) {
                const BSTR a = static_cast<BSTR*>(x->pvData)[j];
                const BSTR b = static_cast<BSTR*>(y->pvData)[j];
                if (SysStringLen(a) != SysStringLen(b)) return false;
                if (SysStringLen(a) != 0 && std::memcmp(a, b, SysStringLen(a)) != 0) return false;
            } else if (std::memcmp(static_cast<char*>(x->pvData) + j * x->cbElements,
                                   static_cast<char*>(y->pvData) + j * x->cbElements, x->cbElements) != 0) {
                return false;
            }
        }
        return true;
    }

    bool SameArray(SAFEARRAY* x, SAFEARRAY* y) {
        if (x == nullptr || y == nullptr) return x == y;
        if (x == y || x->cDims != y->cDims || x->cbElements != y->cbElements) return false;
        if ((x->fFeatures & ~FADF_INLINE_DATA) != y->fFeatures) return false;
        if (std::memcmp(x->rgsabound, y->rgsabound, x->cDims * sizeof(SAFEARRAYBOUND)) != 0) return false;
        return SameElements(x, y);
    }

    std::vector<std::pair<const VARIANT*, const VARIANT*>> variants_;
};

bool SameVariant(const VARIANT& x, const VARIANT& y) { return Comparison().Variants(x, y); }

bool SameElements(SAFEARRAY* x, SAFEARRAY* y) { return Comparison().Elements(x, y); }

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    World world;
    VARIANT root, copy, resolved;
    BuildVariant(in, world, &root, 0);
    VariantInit(&copy);
    VariantInit(&resolved);

    for (int operations = 0; operations < kMaxOperations && !in.empty(); ++operations) {
        switch (in.Below(6)) {
            case 0: {
                const HRESULT hr = VariantCopy(&copy, &root);
                if (hr == S_OK) Check(SameVariant(root, copy));
                break;
            }
            case 1: {  // through a reference to the root
                VARIANT reference;
                VariantInit(&reference);
                reference.vt = VT_BYREF | VT_VARIANT;
                reference.pvarVal = &root;
                const HRESULT hr = VariantCopyInd(&resolved, &reference);
                if (hr == S_OK && (root.vt & VT_BYREF) == 0) Check(SameVariant(root, resolved));
                break;
            }
            case 2:
                VariantCopyInd(&copy, &copy);
                VariantCopyInd(&root, &root);  // resolves a reference in place
                break;
            case 3:
                if ((root.vt & (VT_ARRAY | VT_BYREF)) == VT_ARRAY && root.parray != nullptr) {
                    const SAFEARRAYBOUND bound{in.Below(kMaxElements + 1), static_cast<LONG>(in.Below(7)) - 3};
                    const SAFEARRAYBOUND before = root.parray->rgsabound[0];
                    const HRESULT hr = SafeArrayRedim(root.parray, &bound);
                    const SAFEARRAYBOUND& after = root.parray->rgsabound[0];
                    if (hr == S_OK) Check(after.cElements == bound.cElements && after.lLbound == bound.lLbound);
                    if (hr != S_OK)
                        Check(hr == E_INVALIDARG && after.cElements == before.cElements &&
                              after.lLbound == before.lLbound);  // only vectors are refused
                }
                break;
            case 4:
                if ((root.vt & (VT_ARRAY | VT_BYREF)) == VT_ARRAY && (copy.vt & (VT_ARRAY | VT_BYREF)) == VT_ARRAY &&
                    root.parray != nullptr && copy.parray != nullptr) {
                    if (SafeArrayCopyData(root.parray, copy.parray) == S_OK && root.parray != copy.parray)
                        Check(SameElements(root.parray, copy.parray));
                }
                break;
            case 5:
                VariantClear(in.Byte() % 2 ? &copy : &resolved);
                break;
        }
    }

    Check(VariantClear(&root) == S_OK);
    Check(VariantClear(&copy) == S_OK);
    Check(VariantClear(&resolved) == S_OK);
    for (VARIANT& v : world.referenced) Check(VariantClear(&v) == S_OK);
    for (const CountingUnknown& object : world.objects) Check(object.count == 0);
    return 0;
}
