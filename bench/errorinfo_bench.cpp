// Error objects and the thread-current error, each beside its floor.
//
// Floors: the reference traffic that the current error's contract demands
// (AddRef of the new object, Release of the old, QueryInterface for the reader
// and its Release) made directly on the object without a slot; and a plain
// heap record of the same fields built with the same texts.

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <benchmark/benchmark.h>

#include "automation/errorinfo/errorinfo.h"
#include "automation/strings/bstr.h"

namespace {

constexpr const char* kSource = "Zentrel.Demo";
constexpr const char* kDescription = "The operation could not finish: the disk is full.";
constexpr const char* kHelpFile = "zentrel-demo.txt";

struct Objects {
    ICreateErrorInfo* create[2] = {};
    IErrorInfo* info[2] = {};
    Objects() {
        for (int i = 0; i < 2; ++i) {
            CreateErrorInfo(&create[i]);
            create[i]->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info[i]));
            create[i]->Release();
        }
    }
    ~Objects() {
        for (IErrorInfo* p : info) p->Release();
    }
};

// alternate:0 sets the object already current (SetErrorInfo changes nothing);
// alternate:1 replaces it each time (AddRef of the new, Release of the old).
void BM_SetGetRelease(benchmark::State& state) {
    Objects objects;
    const unsigned mask = state.range(0) != 0 ? 1 : 0;
    SetErrorInfo(0, objects.info[mask]);  // warm: the slot exists
    unsigned i = 0;
    for (auto _ : state) {
        SetErrorInfo(0, objects.info[i++ & mask]);
        IErrorInfo* out = nullptr;
        GetErrorInfo(0, &out);
        benchmark::DoNotOptimize(out);
        out->Release();
    }
    SetErrorInfo(0, nullptr);
}
BENCHMARK(BM_SetGetRelease)->ArgName("alternate")->Arg(0)->Arg(1);

// Floor of the alternating case: the same four calls on the objects, no slot.
void BM_Floor_ReferenceTraffic(benchmark::State& state) {
    Objects objects;
    IErrorInfo* held = objects.info[1];
    held->AddRef();  // the reference a slot would own
    unsigned i = 0;
    for (auto _ : state) {
        IErrorInfo* info = objects.info[i++ & 1];
        benchmark::DoNotOptimize(info);
        info->AddRef();
        held->Release();
        held = info;
        IErrorInfo* out = nullptr;
        info->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&out));
        benchmark::DoNotOptimize(out);
        out->Release();
    }
    held->Release();
}
BENCHMARK(BM_Floor_ReferenceTraffic);

void BM_CreateSetThreeRelease(benchmark::State& state) {
    for (auto _ : state) {
        ICreateErrorInfo* p = nullptr;
        CreateErrorInfo(&p);
        p->SetSource(kSource);
        p->SetDescription(kDescription);
        p->SetHelpFile(kHelpFile);
        benchmark::DoNotOptimize(p);
        p->Release();
    }
}
BENCHMARK(BM_CreateSetThreeRelease);

// Floor: the same fields in a plain record, allocated, filled and deleted.
struct PlainRecord {
    std::atomic<std::uint32_t> references{1};
    GUID guid{};
    std::string source;
    std::string description;
    std::string helpFile;
    DWORD helpContext = 0;
};

void BM_Floor_NewRecordAssignThreeDelete(benchmark::State& state) {
    // Texts the compiler cannot measure in advance, as the setters see them.
    const char* source = kSource;
    const char* description = kDescription;
    const char* helpFile = kHelpFile;
    for (auto _ : state) {
        benchmark::DoNotOptimize(source);
        benchmark::DoNotOptimize(description);
        benchmark::DoNotOptimize(helpFile);
        auto* record = new (std::nothrow) PlainRecord;
        benchmark::DoNotOptimize(record);
        record->source.assign(source);
        record->description.assign(description);
        record->helpFile.assign(helpFile);
        benchmark::DoNotOptimize(record);
        delete record;
    }
}
BENCHMARK(BM_Floor_NewRecordAssignThreeDelete);

void BM_GetDescriptionFree(benchmark::State& state) {
    ICreateErrorInfo* create = nullptr;
    CreateErrorInfo(&create);
    create->SetDescription(kDescription);
    IErrorInfo* info = nullptr;
    create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
    for (auto _ : state) {
        BSTR s = nullptr;
        info->GetDescription(&s);
        benchmark::DoNotOptimize(s);
        SysFreeString(s);
    }
    info->Release();
    create->Release();
}
BENCHMARK(BM_GetDescriptionFree);

// Floor: a counted copy of the same text (length prefix, characters, NUL).
void BM_Floor_MallocCopyFree(benchmark::State& state) {
    const std::string text(kDescription);
    for (auto _ : state) {
        auto* block = static_cast<char*>(std::malloc(text.size() + 5));
        benchmark::DoNotOptimize(block);
        std::memcpy(block + 4, text.data(), text.size() + 1);
        benchmark::DoNotOptimize(block);
        std::free(block);
    }
}
BENCHMARK(BM_Floor_MallocCopyFree);

}  // namespace
