// VariantCopy of a scalar beside its floor, a copy of the 24-byte record. A
// third figure copies the record through a call that cannot be inlined: the
// part of VariantCopy's cost that is the call itself, since the library is
// built without link-time optimisation.
#include <benchmark/benchmark.h>

#include "automation/automation.h"

namespace {

void CopyRecordInline(VARIANT* dest, const VARIANT* source) { *dest = *source; }

[[gnu::noinline]] void CopyRecordOutOfLine(VARIANT* dest, const VARIANT* source) { *dest = *source; }

void CopyWithVariantCopy(VARIANT* dest, const VARIANT* source) { VariantCopy(dest, source); }

template <void (*Copy)(VARIANT*, const VARIANT*)>
void CopyScalar(benchmark::State& state) {
    VARIANT source, dest;
    VariantInit(&source);
    VariantInit(&dest);
    source.vt = VT_R8;
    source.dblVal = 2.5;
    for (auto _ : state) {
        benchmark::DoNotOptimize(&source);
        Copy(&dest, &source);
        benchmark::DoNotOptimize(&dest);
        benchmark::ClobberMemory();
    }
}

BENCHMARK(CopyScalar<CopyWithVariantCopy>)->Name("VariantCopy_Scalar");
BENCHMARK(CopyScalar<CopyRecordInline>)->Name("Floor_RecordCopy24");
BENCHMARK(CopyScalar<CopyRecordOutOfLine>)->Name("Reference_OutOfLineRecordCopy24");

}  // namespace
