// VariantCopy of a scalar beside its floor, a copy of the 24-byte record. A
// third figure copies the record through a call that cannot be inlined: the
// part of VariantCopy's cost that is the call itself, since the library is
// built without link-time optimisation.
#include <benchmark/benchmark.h>

#include "automation/automation.h"

namespace {

void VariantCopy_Scalar(benchmark::State& state) {
    VARIANT source, dest;
    VariantInit(&source);
    VariantInit(&dest);
    source.vt = VT_R8;
    source.dblVal = 2.5;
    for (auto _ : state) {
        benchmark::DoNotOptimize(&source);
        VariantCopy(&dest, &source);
        benchmark::DoNotOptimize(&dest);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(VariantCopy_Scalar);

void Floor_RecordCopy24(benchmark::State& state) {
    VARIANT source, dest;
    VariantInit(&source);
    VariantInit(&dest);
    source.vt = VT_R8;
    source.dblVal = 2.5;
    for (auto _ : state) {
        benchmark::DoNotOptimize(&source);
        dest = source;
        benchmark::DoNotOptimize(&dest);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(Floor_RecordCopy24);

[[gnu::noinline]] void CopyRecordOutOfLine(VARIANT* dest, const VARIANT* source) { *dest = *source; }

void Reference_OutOfLineRecordCopy24(benchmark::State& state) {
    VARIANT source, dest;
    VariantInit(&source);
    VariantInit(&dest);
    source.vt = VT_R8;
    source.dblVal = 2.5;
    for (auto _ : state) {
        benchmark::DoNotOptimize(&source);
        CopyRecordOutOfLine(&dest, &source);
        benchmark::DoNotOptimize(&dest);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(Reference_OutOfLineRecordCopy24);

}  // namespace
