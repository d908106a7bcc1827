// SafeArrayCopy beside the cost floors it is judged against, measured in the
// same run: a plain 1 MiB array against malloc + memcpy + free of the same
// bytes, and 10,000 16-byte strings against 10,000 malloc + memcpy (+ free)
// of the same string blocks. Each copy is destroyed again inside the loop, as
// the floors free their blocks.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "automation/automation.h"

namespace {

constexpr std::size_t kPlainBytes = 1 << 20;
constexpr ULONG kStrings = 10000;
constexpr UINT kStringLength = 16;
constexpr std::size_t kStringBlock = kStringLength + 5;  // length prefix, characters, NUL

void SafeArrayCopy_Plain1MiB(benchmark::State& state) {
    const SAFEARRAYBOUND bound{static_cast<ULONG>(kPlainBytes), 0};
    SAFEARRAY* source = SafeArrayCreate(VT_UI1, 1, &bound);
    std::memset(source->pvData, 0x5A, kPlainBytes);
    for (auto _ : state) {
        SAFEARRAY* copy = nullptr;
        SafeArrayCopy(source, &copy);
        benchmark::DoNotOptimize(copy->pvData);
        SafeArrayDestroy(copy);
    }
    SafeArrayDestroy(source);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPlainBytes));
}
BENCHMARK(SafeArrayCopy_Plain1MiB);

void Floor_MallocMemcpyFree1MiB(benchmark::State& state) {
    std::vector<unsigned char> source(kPlainBytes, 0x5A);
    for (auto _ : state) {
        void* copy = std::malloc(kPlainBytes);
        std::memcpy(copy, source.data(), kPlainBytes);
        benchmark::DoNotOptimize(copy);
        std::free(copy);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPlainBytes));
}
BENCHMARK(Floor_MallocMemcpyFree1MiB);

void SafeArrayCopy_10kStrings(benchmark::State& state) {
    const SAFEARRAYBOUND bound{kStrings, 0};
    SAFEARRAY* source = SafeArrayCreate(VT_BSTR, 1, &bound);
    const std::string text(kStringLength, 'q');
    for (ULONG i = 0; i < kStrings; ++i) static_cast<BSTR*>(source->pvData)[i] = SysAllocStringLen(text.data(), kStringLength);
    for (auto _ : state) {
        SAFEARRAY* copy = nullptr;
        SafeArrayCopy(source, &copy);
        benchmark::DoNotOptimize(copy->pvData);
        SafeArrayDestroy(copy);
    }
    SafeArrayDestroy(source);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kStrings));
}
BENCHMARK(SafeArrayCopy_10kStrings);

void Floor_10kMallocMemcpy(benchmark::State& state) {
    std::vector<std::vector<char>> sources(kStrings, std::vector<char>(kStringBlock, 'q'));
    std::vector<void*> copies(kStrings);
    for (auto _ : state) {
        for (ULONG i = 0; i < kStrings; ++i) {
            copies[i] = std::malloc(kStringBlock);
            std::memcpy(copies[i], sources[i].data(), kStringBlock);
        }
        benchmark::DoNotOptimize(copies.data());
        for (void* p : copies) std::free(p);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kStrings));
}
BENCHMARK(Floor_10kMallocMemcpy);

}  // namespace
