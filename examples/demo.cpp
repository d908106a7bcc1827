// A host program that uses libZentrel.so the way a real consumer does: it loads
// the library with dlopen, resolves the exported functions by their symbol
// names and reports what they do: Primitive conversions first, then the handle
// registry, ending with what the registry releases when the library is unloaded.
//
//   zentrel_demo [path/to/libZentrel.so]
#include <dlfcn.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <thread>

#include "interop/primitive.h"
#include "interop/proxy.h"

namespace {

using KoAtlCom::CComVariant;
using KoAtlCom::Interop::Primitive;

using ToVariantFn = CComVariant (*)(Primitive);
using FromVariantFn = Primitive (*)(const CComVariant&);

struct Sample {
    const char* name;
    std::int32_t kind;
    std::uint64_t bits;
};

template <class T>
std::uint64_t Bits(T value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof value);
    return bits;
}

const Sample kSamples[] = {
    {"Empty", Primitive::Empty, 0},
    {"Int8", Primitive::Int8, Bits<std::int8_t>(-1)},
    {"Int16", Primitive::Int16, Bits<std::int16_t>(-300)},
    {"Int32", Primitive::Int32, Bits<std::int32_t>(123456789)},
    {"Int64", Primitive::Int64, Bits<std::int64_t>(-9000000000)},
    {"UInt8", Primitive::UInt8, Bits<std::uint8_t>(200)},
    {"UInt16", Primitive::UInt16, Bits<std::uint16_t>(65535)},
    {"UInt32", Primitive::UInt32, Bits<std::uint32_t>(4000000000u)},
    {"UInt64", Primitive::UInt64, Bits<std::uint64_t>(~0ull)},
    {"Float", Primitive::Float, Bits<float>(1.5f)},
    {"Double", Primitive::Double, Bits<double>(-2.25)},
    {"kind 11", 11, 42},
};

void* Resolve(void* library, const char* symbol) {
    void* address = dlsym(library, symbol);
    if (address == nullptr) std::fprintf(stderr, "missing symbol %s: %s\n", symbol, dlerror());
    return address;
}

// Prints the round trip of every sample; returns the number of mismatches.
int PrimitiveReport(void* library) {
    auto toVariant = reinterpret_cast<ToVariantFn>(Resolve(library, "_ZN8KoAtlCom7Interop9ToVariantENS0_9PrimitiveE"));
    auto fromVariant =
        reinterpret_cast<FromVariantFn>(Resolve(library, "_ZN8KoAtlCom7Interop11FromVariantERKNS_11CComVariantE"));
    if (toVariant == nullptr || fromVariant == nullptr) return 1;

    std::printf("%-8s %-18s %-6s %-18s %-8s %s\n", "kind", "value bits", "vt", "variant value", "back", "same");
    int mismatches = 0;
    for (const Sample& sample : kSamples) {
        Primitive p{};
        p.kind = sample.kind;
        std::memcpy(p.value.bytes, &sample.bits, 8);
        const CComVariant v = toVariant(p);
        const Primitive back = fromVariant(v);
        const bool same = back.kind == (sample.kind > 10 ? 0 : sample.kind) &&
                          (sample.kind > 10 || std::memcmp(back.value.bytes, p.value.bytes, 8) == 0);
        mismatches += same ? 0 : 1;
        std::printf("%-8s %016" PRIx64 "   %-6u %016" PRIx64 "   %-8d %s\n", sample.name, sample.bits, v.vt,
                    static_cast<std::uint64_t>(v.ullVal), back.kind, same ? "yes" : "NO");
    }
    std::printf("\n%d of %zu conversions round-tripped\n", static_cast<int>(std::size(kSamples)) - mismatches,
                std::size(kSamples));
    return mismatches;
}

// ---------------------------------------------------------------------------
// The registry part. The demo's objects are ordinary reference-counted COM
// objects that delete themselves on their final Release and say when it came.

const char* gPhase = "";  // what the demo is doing when a final Release arrives

class DemoObject final : public IUnknown {
public:
    explicit DemoObject(const char* name) : name_(name) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid != IID_IUnknown) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = this;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++references_; }
    ULONG Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            std::printf("  %-5s final Release (%s)\n", name_, gPhase);
            ++finalReleases;
            delete this;
        }
        return left;
    }

    static inline std::atomic<int> finalReleases{0};

private:
    ~DemoObject() = default;

    const char* name_;
    std::atomic<ULONG> references_{1};  // the creator's
};

struct Registry {
    decltype(&ProxyAddHandle) add;
    decltype(&ProxyRemoveHandle) remove;
    decltype(&ProxyGetHandle) get;
};

// Registers three objects, looks them up from two threads, removes some and
// unloads the library; returns whether every object got exactly one final
// Release, each at the moment it should.
bool RegistryReport(void* library) {
    const Registry registry{reinterpret_cast<decltype(&ProxyAddHandle)>(Resolve(library, "ProxyAddHandle")),
                            reinterpret_cast<decltype(&ProxyRemoveHandle)>(Resolve(library, "ProxyRemoveHandle")),
                            reinterpret_cast<decltype(&ProxyGetHandle)>(Resolve(library, "ProxyGetHandle"))};
    if (registry.add == nullptr || registry.remove == nullptr || registry.get == nullptr) return false;

    struct Registration {
        IUnknown* object;
        int times;
        void* handle;
    } registrations[] = {{new DemoObject("alpha"), 3, nullptr},
                         {new DemoObject("beta"), 1, nullptr},
                         {new DemoObject("gamma"), 2, nullptr}};
    bool handlesArePointers = true;
    for (Registration& r : registrations) {
        for (int i = 0; i < r.times; ++i) registry.add(r.object, &r.handle);
        handlesArePointers = handlesArePointers && r.handle == r.object;
        r.object->Release();  // from now on only the registry holds the object
    }
    std::printf("\nHandle registry\n");
    std::printf("registered  alpha x3, beta x1, gamma x2; handle == pointer: %s\n", handlesArePointers ? "yes" : "NO");

    constexpr int kLookups = 1000;
    std::atomic<int> found{0};
    auto lookUp = [&](int first) {
        for (int i = 0; i < kLookups; ++i) {
            const Registration& r = registrations[(first + i) % 3];
            IUnknown* out = nullptr;
            if (registry.get(r.handle, &out) == S_OK) {
                found += out == r.object ? 1 : 0;
                out->Release();
            }
        }
    };
    std::thread second(lookUp, 1);
    lookUp(0);
    second.join();
    std::printf("lookups     2 threads x %d: %d found the right object\n", kLookups, found.load());

    gPhase = "its last registration removed";
    std::printf("remove      beta once\n");
    registry.remove(registrations[1].handle);
    std::printf("remove      alpha once (2 registrations left)\n");
    registry.remove(registrations[0].handle);

    gPhase = "library unloaded";
    std::printf("dlclose\n");
    dlclose(library);
    const int released = DemoObject::finalReleases.load();
    std::printf("%d of 3 objects released exactly once\n", released);
    return handlesArePointers && found == 2 * kLookups && released == 3;
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "libZentrel.so";
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        return 1;
    }
    std::printf("Primitive -> VARIANT -> Primitive through %s\n\n", path);
    const int mismatches = PrimitiveReport(library);
    const bool registryOk = RegistryReport(library);  // unloads the library
    return mismatches == 0 && registryOk ? 0 : 1;
}
