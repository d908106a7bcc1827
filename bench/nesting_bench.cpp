// Clearing and copying shallow values, by the library (which walks nested
// arrays in a loop) and by the recursive code it replaced (kept in
// tests/support/reference), in the same run: the walk must not cost shallow
// values anything. And a chain of 100,000 nested one-element variant vectors
// copied and cleared, per level, beside one such vector copied and cleared:
// depth must cost no more per level than breadth.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "automation/automation.h"
#include "support/reference/recursive_lifecycle.h"

namespace {

namespace ref = zentrel::reference;

// The operations under test, by the library or by the reference.
struct Ops {
    HRESULT (*clear)(VARIANT*);
    HRESULT (*copy)(VARIANT*, const VARIANT*);
    HRESULT (*copyArray)(SAFEARRAY*, SAFEARRAY**);
    HRESULT (*destroy)(SAFEARRAY*);
};
constexpr Ops kLibrary{VariantClear, VariantCopy, SafeArrayCopy, SafeArrayDestroy};
constexpr Ops kReference{ref::RefVariantClear, ref::RefVariantCopy, ref::RefSafeArrayCopy, ref::RefSafeArrayDestroy};

void CopyScalar(benchmark::State& state, const Ops& ops) {
    VARIANT source{}, dest{};
    source.vt = VT_R8;
    source.dblVal = 2.5;
    for (auto _ : state) {
        benchmark::DoNotOptimize(&source);
        ops.copy(&dest, &source);
        benchmark::DoNotOptimize(&dest);
        benchmark::ClobberMemory();
    }
}

// Each round makes the string the clear frees: the same cost on both sides.
void ClearString(benchmark::State& state, const Ops& ops) {
    VARIANT v{};
    for (auto _ : state) {
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocString("sixteen bytes...");
        ops.clear(&v);
        benchmark::DoNotOptimize(&v);
    }
}

void CopyAndDestroy(benchmark::State& state, const Ops& ops, SAFEARRAY* source) {
    for (auto _ : state) {
        SAFEARRAY* copy = nullptr;
        ops.copyArray(source, &copy);
        benchmark::DoNotOptimize(copy);
        ops.destroy(copy);
    }
    SafeArrayDestroy(source);
}

void CopyBytes1MiB(benchmark::State& state, const Ops& ops) {
    const SAFEARRAYBOUND bound{1 << 20, 0};
    SAFEARRAY* source = SafeArrayCreate(VT_UI1, 1, &bound);
    std::memset(source->pvData, 0x5A, 1 << 20);
    CopyAndDestroy(state, ops, source);
}

void Copy10kStrings(benchmark::State& state, const Ops& ops) {
    const SAFEARRAYBOUND bound{10000, 0};
    SAFEARRAY* source = SafeArrayCreate(VT_BSTR, 1, &bound);
    for (ULONG i = 0; i < 10000; ++i) static_cast<BSTR*>(source->pvData)[i] = SysAllocString("sixteen bytes...");
    CopyAndDestroy(state, ops, source);
}

// 100 variants, each an array of 10 variants: integers and strings.
void CopyTwoLevels(benchmark::State& state, const Ops& ops) {
    SAFEARRAY* source = SafeArrayCreateVector(VT_VARIANT, 0, 100);
    for (ULONG i = 0; i < 100; ++i) {
        SAFEARRAY* inner = SafeArrayCreateVector(VT_VARIANT, 0, 10);
        for (ULONG j = 0; j < 10; ++j) {
            VARIANT& e = static_cast<VARIANT*>(inner->pvData)[j];
            e.vt = j % 2 == 0 ? VT_I4 : VT_BSTR;
            if (j % 2 == 0)
                e.lVal = static_cast<LONG>(j);
            else
                e.bstrVal = SysAllocString("text");
        }
        VARIANT& outer = static_cast<VARIANT*>(source->pvData)[i];
        outer.vt = VT_ARRAY | VT_VARIANT;
        outer.parray = inner;
    }
    CopyAndDestroy(state, ops, source);
}

// `depth` one-element vectors, each holding the next; the innermost holds an
// integer.
VARIANT Chain(int depth) {
    VARIANT v{};
    v.vt = VT_I4;
    for (int level = 0; level < depth; ++level) {
        SAFEARRAY* vector = SafeArrayCreateVector(VT_VARIANT, 0, 1);
        static_cast<VARIANT*>(vector->pvData)[0] = v;
        v = VARIANT{};
        v.vt = VT_ARRAY | VT_VARIANT;
        v.parray = vector;
    }
    return v;
}

// Copied and cleared; items are levels.
void CopyAndClearChain(benchmark::State& state) {
    const int depth = static_cast<int>(state.range(0));
    VARIANT chain = Chain(depth);
    for (auto _ : state) {
        VARIANT copy{};
        VariantCopy(&copy, &chain);
        benchmark::DoNotOptimize(copy.parray);
        VariantClear(&copy);
    }
    VariantClear(&chain);
    state.SetItemsProcessed(state.iterations() * depth);
}

BENCHMARK_CAPTURE(CopyScalar, library, kLibrary)->Name("VariantCopy_Scalar/library");
BENCHMARK_CAPTURE(CopyScalar, recursive, kReference)->Name("VariantCopy_Scalar/recursive");
BENCHMARK_CAPTURE(ClearString, library, kLibrary)->Name("VariantClear_String/library");
BENCHMARK_CAPTURE(ClearString, recursive, kReference)->Name("VariantClear_String/recursive");
BENCHMARK_CAPTURE(CopyBytes1MiB, library, kLibrary)->Name("SafeArrayCopy_1MiB/library");
BENCHMARK_CAPTURE(CopyBytes1MiB, recursive, kReference)->Name("SafeArrayCopy_1MiB/recursive");
BENCHMARK_CAPTURE(Copy10kStrings, library, kLibrary)->Name("SafeArrayCopy_10kStrings/library");
BENCHMARK_CAPTURE(Copy10kStrings, recursive, kReference)->Name("SafeArrayCopy_10kStrings/recursive");
BENCHMARK_CAPTURE(CopyTwoLevels, library, kLibrary)->Name("CopyAndDestroy_TwoLevels/library");
BENCHMARK_CAPTURE(CopyTwoLevels, recursive, kReference)->Name("CopyAndDestroy_TwoLevels/recursive");
BENCHMARK(CopyAndClearChain)->Name("CopyAndClear_Chain")->Arg(1)->Arg(100000);

}  // namespace
