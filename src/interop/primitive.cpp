#include "interop/primitive.h"

#include <array>
#include <cstring>

namespace KoAtlCom::Interop {
namespace {

struct KindMapping {
    VARTYPE vt;
    std::size_t width;  // bytes carried between Primitive::value and the variant
};

// Indexed by kind code; entry 0 stands for every kind outside 1 to 10.
constexpr std::array<KindMapping, 11> kMappings{{
    {VT_EMPTY, 0},
    {VT_I1, 1},
    {VT_I2, 2},
    {VT_I4, 4},
    {VT_I8, 8},
    {VT_UI1, 1},
    {VT_UI2, 2},
    {VT_UI4, 4},
    {VT_UI8, 8},
    {VT_R4, 4},
    {VT_R8, 8},
}};

constexpr std::int32_t KindOf(VARTYPE vt) noexcept {
    for (std::size_t kind = 1; kind < kMappings.size(); ++kind) {
        if (kMappings[kind].vt == vt) return static_cast<std::int32_t>(kind);
    }
    return Primitive::Empty;
}

static_assert(KindOf(VT_I1) == Primitive::Int8 && KindOf(VT_R8) == Primitive::Double);
static_assert(KindOf(VT_INT) == Primitive::Empty && KindOf(VT_BOOL) == Primitive::Empty);
static_assert(KindOf(VT_BYREF | VT_I4) == Primitive::Empty);

}  // namespace

CComVariant ToVariant(Primitive primitive) noexcept {
    CComVariant result;  // all 24 bytes zero: VT_EMPTY
    const std::uint32_t kind = static_cast<std::uint32_t>(primitive.kind);
    if (kind == 0 || kind >= kMappings.size()) return result;
    result.vt = kMappings[kind].vt;
    std::memcpy(&result.llVal, primitive.value.bytes, kMappings[kind].width);
    return result;
}

Primitive FromVariant(const CComVariant& variant) noexcept {
    Primitive result{};
    std::memset(&result, 0, sizeof result);
    const std::int32_t kind = KindOf(variant.vt);
    if (kind == Primitive::Empty) return result;
    result.kind = kind;
    std::memcpy(result.value.bytes, &variant.llVal, kMappings[static_cast<std::size_t>(kind)].width);
    return result;
}

}  // namespace KoAtlCom::Interop
