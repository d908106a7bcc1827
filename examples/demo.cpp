// A host program that uses libZentrel.so the way a real consumer does: it loads
// the library with dlopen, resolves the exported functions by their symbol
// names and reports what they do.
//
//   zentrel_demo [path/to/libZentrel.so]
#include <dlfcn.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "interop/primitive.h"

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

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "libZentrel.so";
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        return 1;
    }
    auto toVariant = reinterpret_cast<ToVariantFn>(Resolve(library, "_ZN8KoAtlCom7Interop9ToVariantENS0_9PrimitiveE"));
    auto fromVariant =
        reinterpret_cast<FromVariantFn>(Resolve(library, "_ZN8KoAtlCom7Interop11FromVariantERKNS_11CComVariantE"));
    if (toVariant == nullptr || fromVariant == nullptr) return 1;

    std::printf("Primitive -> VARIANT -> Primitive through %s\n\n", path);
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
    dlclose(library);
    std::printf("\n%d of %zu conversions round-tripped\n", static_cast<int>(std::size(kSamples)) - mismatches,
                std::size(kSamples));
    return mismatches == 0 ? 0 : 1;
}
