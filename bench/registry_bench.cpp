// The handle registry's two hot paths, each beside its floor: the same lock type
// and map type operated by hand, with the reference count touched as one atomic
// increment (and decrement) instead of a call into the object.
//
//   GetHandle   ProxyGetHandle + the caller's Release
//   AddRemove   ProxyAddHandle of a fresh pointer + ProxyRemoveHandle
//
// The argument is the number of pointers registered in the background (1 or
// 1,000,000); lookups walk them in a shuffled order so that both sides pay the
// same cache misses. Each runs with 1 and 2 threads on one shared registry.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include <benchmark/benchmark.h>

#include "interop/proxy.h"

namespace {

// AddRef and Release are one atomic operation each, as in a lean COM object.
class BenchObject final : public IUnknown {
public:
    HRESULT QueryInterface(REFIID, void**) noexcept override { return E_NOINTERFACE; }
    ULONG AddRef() noexcept override { return Increment(); }
    ULONG Release() noexcept override { return Decrement(); }

    ULONG Increment() noexcept { return references_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Decrement() noexcept { return references_.fetch_sub(1, std::memory_order_acq_rel) - 1; }

private:
    std::atomic<ULONG> references_{1};
};

// The floor: what the registry is built from, with nothing around it.
struct Floor {
    std::shared_mutex mutex;
    std::unordered_map<IUnknown*, std::uint32_t> map;
    Floor() { map.max_load_factor(1.0f); }
};

constexpr int kMaxThreads = 2;

struct Population {
    std::unique_ptr<BenchObject[]> objects;
    std::vector<IUnknown*> order;    // the registered pointers, shuffled
    BenchObject fresh[kMaxThreads];  // added and removed by the AddRemove runs
    Floor floor;
    std::size_t size = 0;
};
Population gPopulation;

void Populate(const benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    gPopulation.objects = std::make_unique<BenchObject[]>(size);
    gPopulation.order.resize(size);
    for (std::size_t i = 0; i < size; ++i) gPopulation.order[i] = &gPopulation.objects[i];
    std::shuffle(gPopulation.order.begin(), gPopulation.order.end(), std::minstd_rand(42));
    for (IUnknown* pointer : gPopulation.order) {
        void* handle = nullptr;
        ProxyAddHandle(pointer, &handle);
        gPopulation.floor.map.try_emplace(pointer, 1u);
    }
    gPopulation.size = size;
}

void Depopulate(const benchmark::State&) {
    for (IUnknown* pointer : gPopulation.order) {
        ProxyRemoveHandle(pointer);
        gPopulation.floor.map.erase(pointer);
    }
    gPopulation.order.clear();
    gPopulation.objects.reset();
    gPopulation.size = 0;
}

// Each thread starts its walk at its own place.
std::size_t StartOf(const benchmark::State& state) {
    return gPopulation.size * static_cast<std::size_t>(state.thread_index()) / kMaxThreads;
}

void BM_GetHandle(benchmark::State& state) {
    std::size_t next = StartOf(state);
    for (auto _ : state) {
        IUnknown* out = nullptr;
        ProxyGetHandle(gPopulation.order[next], &out);
        out->Release();
        if (++next == gPopulation.size) next = 0;
    }
}

void BM_GetHandleFloor(benchmark::State& state) {
    Floor& floor = gPopulation.floor;
    std::size_t next = StartOf(state);
    for (auto _ : state) {
        BenchObject* out = nullptr;
        {
            std::unique_lock lock(floor.mutex);
            const auto entry = floor.map.find(gPopulation.order[next]);
            if (entry != floor.map.end()) {
                out = static_cast<BenchObject*>(entry->first);
                out->Increment();
            }
        }
        out->Decrement();
        if (++next == gPopulation.size) next = 0;
    }
}

void BM_AddRemove(benchmark::State& state) {
    IUnknown* const pointer = &gPopulation.fresh[state.thread_index()];
    for (auto _ : state) {
        void* handle = nullptr;
        ProxyAddHandle(pointer, &handle);
        ProxyRemoveHandle(handle);
    }
}

void BM_AddRemoveFloor(benchmark::State& state) {
    Floor& floor = gPopulation.floor;
    BenchObject* const object = &gPopulation.fresh[state.thread_index()];
    for (auto _ : state) {
        {
            std::unique_lock lock(floor.mutex);
            const auto [entry, inserted] = floor.map.try_emplace(object, 1u);
            if (inserted)
                object->Increment();
            else
                ++entry->second;
        }
        BenchObject* removed = nullptr;
        {
            std::unique_lock lock(floor.mutex);
            const auto entry = floor.map.find(object);
            if (entry != floor.map.end() && --entry->second == 0) {
                removed = object;
                floor.map.erase(entry);
            }
        }
        if (removed != nullptr) removed->Decrement();
    }
}

void Configure(benchmark::internal::Benchmark* bench) {
    bench->Setup(Populate)->Teardown(Depopulate)->Arg(1)->Arg(1000000)->Threads(1)->Threads(2)->UseRealTime();
}

BENCHMARK(BM_GetHandle)->Apply(Configure);
BENCHMARK(BM_GetHandleFloor)->Apply(Configure);
BENCHMARK(BM_AddRemove)->Apply(Configure);
BENCHMARK(BM_AddRemoveFloor)->Apply(Configure);

}  // namespace
