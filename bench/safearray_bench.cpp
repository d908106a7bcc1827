// SafeArrayCopy beside the cost floors it is judged against, measured in the
// same run: a plain 1 MiB array against malloc + memcpy + free of the same
// bytes, and 10,000 16-byte strings against 10,000 malloc + memcpy (+ free)
// of the same string blocks. Each copy is destroyed again inside the loop, as
// the floors free their blocks.
//
// A second string floor also allocates and frees the 80,000-byte block that
// holds the copied pointers, as any copy of a string array must: freeing a
// block of 64 KiB or more makes glibc consolidate its fast bins, which the
// bare floor never pays for.
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

void CopyAndDestroy(benchmark::State& state, SAFEARRAY* source) {
    for (auto _ : state) {
        SAFEARRAY* copy = nullptr;
        SafeArrayCopy(source, &copy);
        benchmark::DoNotOptimize(copy->pvData);
        SafeArrayDestroy(copy);
    }
    SafeArrayDestroy(source);
}

void SafeArrayCopy_Plain1MiB(benchmark::State& state) {
    const SAFEARRAYBOUND bound{static_cast<ULONG>(kPlainBytes), 0};
    SAFEARRAY* source = SafeArrayCreate(VT_UI1, 1, &bound);
    std::memset(source->pvData, 0x5A, kPlainBytes);
    CopyAndDestroy(state, source);
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
    for (ULONG i = 0; i < kStrings; ++i)
        static_cast<BSTR*>(source->pvData)[i] = SysAllocStringLen(text.data(), kStringLength);
    CopyAndDestroy(state, source);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kStrings));
}
BENCHMARK(SafeArrayCopy_10kStrings);

// 10,000 malloc + memcpy pairs and their frees; with `pointerBlock` the
// pointers live in a block allocated and freed with each copy.
void CopyStringBlocks(benchmark::State& state, bool pointerBlock) {
    std::vector<std::vector<char>> sources(kStrings, std::vector<char>(kStringBlock, 'q'));
    std::vector<void*> kept(kStrings);
    for (auto _ : state) {
        void** copies = pointerBlock ? static_cast<void**>(std::calloc(kStrings, sizeof(void*))) : kept.data();
        for (ULONG i = 0; i < kStrings; ++i) {
            copies[i] = std::malloc(kStringBlock);
            std::memcpy(copies[i], sources[i].data(), kStringBlock);
        }
        benchmark::DoNotOptimize(copies);
        for (ULONG i = 0; i < kStrings; ++i) std::free(copies[i]);
        if (pointerBlock) std::free(copies);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kStrings));
}
BENCHMARK_CAPTURE(CopyStringBlocks, bare, false)->Name("Floor_10kMallocMemcpy");
BENCHMARK_CAPTURE(CopyStringBlocks, block, true)->Name("Floor_10kMallocMemcpyWithPointerBlock");

}  // namespace
