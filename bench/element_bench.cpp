// Element access and byte vectors beside their floors:
// - SafeArrayGetElement / SafeArrayPutElement of a VT_I4 element of a
//   three-dimensional array against computing the same address by hand from
//   the descriptor and copying 4 bytes;
// - ByteVectorFromBytes of 64 KiB against calloc + memcpy + free of the same
//   block (the vector's 48-byte header included).
#include <array>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <benchmark/benchmark.h>

#include "automation/automation.h"

namespace {

constexpr SAFEARRAYBOUND kBounds[] = {{4, -1}, {5, 2}, {6, 0}};

// 64 index tuples spread over the array, cycled through so that the address
// changes on every call.
struct Indices {
    std::array<std::array<LONG, 3>, 64> tuples;
    Indices() {
        for (std::size_t i = 0; i < tuples.size(); ++i) {
            tuples[i] = {static_cast<LONG>(-1 + i % 4), static_cast<LONG>(2 + i * 7 % 5),
                         static_cast<LONG>(i * 11 % 6)};
        }
    }
};
const Indices kIndices;

SAFEARRAY* ThreeDimensional() { return SafeArrayCreate(VT_I4, 3, kBounds); }

// The address a caller computes by hand: no checks, the first dimension
// varying fastest.
inline void* AddressByHand(const SAFEARRAY* psa, const LONG* index) {
    std::uint64_t flat = 0;
    std::uint64_t stride = 1;
    for (UINT k = 0; k < psa->cDims; ++k) {
        const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - 1 - k];
        flat += static_cast<std::uint64_t>(index[k] - b.lLbound) * stride;
        stride *= b.cElements;
    }
    return static_cast<unsigned char*>(psa->pvData) + flat * psa->cbElements;
}

void BM_GetElementI4(benchmark::State& state) {
    SAFEARRAY* psa = ThreeDimensional();
    std::size_t i = 0;
    for (auto _ : state) {
        LONG value;
        SafeArrayGetElement(psa, kIndices.tuples[i++ & 63].data(), &value);
        benchmark::DoNotOptimize(value);
    }
    SafeArrayDestroy(psa);
}
BENCHMARK(BM_GetElementI4);

void BM_GetByHandI4_Floor(benchmark::State& state) {
    SAFEARRAY* psa = ThreeDimensional();
    std::size_t i = 0;
    for (auto _ : state) {
        SAFEARRAY* array = psa;
        benchmark::DoNotOptimize(array);
        LONG value;
        std::memcpy(&value, AddressByHand(array, kIndices.tuples[i++ & 63].data()), 4);
        benchmark::DoNotOptimize(value);
    }
    SafeArrayDestroy(psa);
}
BENCHMARK(BM_GetByHandI4_Floor);

void BM_PutElementI4(benchmark::State& state) {
    SAFEARRAY* psa = ThreeDimensional();
    std::size_t i = 0;
    LONG value = 0;
    for (auto _ : state) {
        ++value;
        SafeArrayPutElement(psa, kIndices.tuples[i++ & 63].data(), &value);
        benchmark::ClobberMemory();
    }
    SafeArrayDestroy(psa);
}
BENCHMARK(BM_PutElementI4);

void BM_PutByHandI4_Floor(benchmark::State& state) {
    SAFEARRAY* psa = ThreeDimensional();
    std::size_t i = 0;
    LONG value = 0;
    for (auto _ : state) {
        SAFEARRAY* array = psa;
        benchmark::DoNotOptimize(array);
        ++value;
        std::memcpy(AddressByHand(array, kIndices.tuples[i++ & 63].data()), &value, 4);
        benchmark::ClobberMemory();
    }
    SafeArrayDestroy(psa);
}
BENCHMARK(BM_PutByHandI4_Floor);

constexpr ULONG kVectorBytes = 64 * 1024;

void BM_ByteVectorFromBytes64K(benchmark::State& state) {
    const std::vector<unsigned char> bytes(kVectorBytes, 0x5A);
    for (auto _ : state) {
        SAFEARRAY* psa = nullptr;
        ByteVectorFromBytes(bytes.data(), kVectorBytes, &psa);
        benchmark::DoNotOptimize(psa);
        SafeArrayDestroy(psa);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kVectorBytes);
}
BENCHMARK(BM_ByteVectorFromBytes64K);

void BM_CallocCopyFree64K_Floor(benchmark::State& state) {
    const std::vector<unsigned char> bytes(kVectorBytes, 0x5A);
    for (auto _ : state) {
        auto* block = static_cast<unsigned char*>(std::calloc(48 + kVectorBytes, 1));
        benchmark::DoNotOptimize(block);
        std::memcpy(block + 48, bytes.data(), kVectorBytes);
        benchmark::DoNotOptimize(block);
        std::free(block);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kVectorBytes);
}
BENCHMARK(BM_CallocCopyFree64K_Floor);

}  // namespace
