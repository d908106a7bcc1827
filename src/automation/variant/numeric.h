// Internals shared by type change, comparison and the typed accessors: which
// types carry a number, how that number is read, and how it is turned into each
// numeric target type. Everything here is inline so that the scalar paths of
// VariantChangeTypeEx, VarCmp and VariantToInt32 and friends compile to a few
// instructions; callers outside the library must not use it.
//
// The floating-to-integer rules are written out with range checks before every
// cast: a C++ cast of a double outside the target's range is undefined.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <limits>

#include "interop/vocabulary.h"

// Forced inlining lets the per-type tables fold every rule below to a few
// instructions. The coverage build keeps one out-of-line copy of each helper
// instead, so that a source branch is counted once, not once per inlined copy.
#if defined(ZENTREL_COVERAGE)
#define ZENTREL_ALWAYS_INLINE
#else
#define ZENTREL_ALWAYS_INLINE [[gnu::always_inline]]
#endif

namespace KoAtlCom::detail {

// The class of a variant's number, decided on its whole `vt`: any flag bit, and
// every type code above VT_UINT, gives None. VT_BOOL is in no class.
enum class NumericClass : std::uint8_t { None, Signed, Unsigned, Floating };

inline constexpr std::array<NumericClass, 24> kNumericClasses = [] {
    std::array<NumericClass, 24> table{};  // None
    for (VARTYPE vt : {VT_I1, VT_I2, VT_I4, VT_I8, VT_INT}) table[vt] = NumericClass::Signed;
    for (VARTYPE vt : {VT_UI1, VT_UI2, VT_UI4, VT_UI8, VT_UINT}) table[vt] = NumericClass::Unsigned;
    for (VARTYPE vt : {VT_R4, VT_R8}) table[vt] = NumericClass::Floating;
    return table;
}();

constexpr NumericClass NumericClassOf(VARTYPE vt) noexcept {
    return vt < kNumericClasses.size() ? kNumericClasses[vt] : NumericClass::None;
}

// The integer classes are the published masks over the type code.
static_assert([] {
    for (unsigned vt = 0; vt < kNumericClasses.size(); ++vt) {
        const bool isSigned = ((0x51000Cu >> vt) & 1) != 0;
        const bool isUnsigned = ((0xAE0000u >> vt) & 1) != 0;
        if (isSigned != (kNumericClasses[vt] == NumericClass::Signed)) return false;
        if (isUnsigned != (kNumericClasses[vt] == NumericClass::Unsigned)) return false;
    }
    return true;
}());

// The integer readers (VariantReadSigned / VariantReadUnsigned) read the low
// bytes of the 8-byte value field, by the member's width: VT_I1 1, VT_I2 and
// VT_BOOL 2, VT_I4 and VT_INT 4, VT_I8 8 (signed); VT_UI1 1, VT_UI2 2, VT_UI4
// and VT_UINT 4, VT_UI8 8 (unsigned). A width is kept as the shift that moves
// the member to the top of 64 bits; 0xFF marks a type the reader gives 0 for.
struct IntegerWidths {
    std::array<std::uint8_t, 24> signedShift;
    std::array<std::uint8_t, 24> unsignedShift;
};

inline constexpr IntegerWidths kIntegerWidths = [] {
    IntegerWidths w{};
    w.signedShift.fill(0xFF);
    w.unsignedShift.fill(0xFF);
    const auto shift = [](unsigned bytes) { return static_cast<std::uint8_t>(64 - 8 * bytes); };
    w.signedShift[VT_I1] = shift(1);
    w.signedShift[VT_I2] = w.signedShift[VT_BOOL] = shift(2);
    w.signedShift[VT_I4] = w.signedShift[VT_INT] = shift(4);
    w.signedShift[VT_I8] = shift(8);
    w.unsignedShift[VT_UI1] = shift(1);
    w.unsignedShift[VT_UI2] = shift(2);
    w.unsignedShift[VT_UI4] = w.unsignedShift[VT_UINT] = shift(4);
    w.unsignedShift[VT_UI8] = shift(8);
    return w;
}();

// The value of `v` read as type `vt` (normally its own), widened to 64 bits;
// 0 for every other type. Branch-free; with a constant `vt` it folds to one load.
ZENTREL_ALWAYS_INLINE constexpr std::int64_t ReadSigned(const VARIANT& v, VARTYPE vt) noexcept {
    const unsigned shift = vt < 24 ? kIntegerWidths.signedShift[vt] : 0xFF;
    const auto value = static_cast<std::int64_t>(v.ullVal << (shift & 63)) >> (shift & 63);
    return shift != 0xFF ? value : 0;
}

ZENTREL_ALWAYS_INLINE constexpr std::uint64_t ReadUnsigned(const VARIANT& v, VARTYPE vt) noexcept {
    const unsigned shift = vt < 24 ? kIntegerWidths.unsignedShift[vt] : 0xFF;
    const std::uint64_t value = (v.ullVal << (shift & 63)) >> (shift & 63);
    return shift != 0xFF ? value : 0;
}

static_assert([] {
    VARIANT v{};
    v.ullVal = 0xAAAAAAAA8000FF80;
    return ReadSigned(v, VT_I1) == -128 && ReadSigned(v, VT_BOOL) == -128 && ReadSigned(v, VT_I4) == -2147418240 &&
           ReadSigned(v, VT_UI1) == 0 && ReadUnsigned(v, VT_UI2) == 0xFF80 && ReadUnsigned(v, VT_UINT) == 0x8000FF80 &&
           ReadUnsigned(v, VT_UI8) == 0xAAAAAAAA8000FF80 && ReadUnsigned(v, VT_I8) == 0 && ReadSigned(v, 24) == 0;
}());

// The double of a floating variant (a VT_R4 is widened).
constexpr double ReadFloating(const VARIANT& v, VARTYPE vt) noexcept {
    return vt == VT_R4 ? double{v.fltVal} : v.dblVal;
}

// The number of a variant of a numeric class as a double; integers round to
// nearest (unsigned ones exactly, 2^63 and above included).
ZENTREL_ALWAYS_INLINE constexpr double ReadAsDouble(const VARIANT& v, VARTYPE vt) noexcept {
    switch (NumericClassOf(vt)) {
        case NumericClass::Signed:
            return static_cast<double>(ReadSigned(v, vt));
        case NumericClass::Unsigned:
            return static_cast<double>(ReadUnsigned(v, vt));
        default:
            return ReadFloating(v, vt);
    }
}

// Truncation toward zero into a signed intermediate. A value that does not fit,
// and NaN, give the intermediate's minimum.
constexpr std::int32_t TruncateToInt32(double d) noexcept {
    if (d > -2147483649.0 && d < 2147483648.0) return static_cast<std::int32_t>(d);
    return std::numeric_limits<std::int32_t>::min();
}

constexpr std::int64_t TruncateToInt64(double d) noexcept {
    // -2^63 is exact in a double; the next double below it is already out.
    if (d >= -0x1p63 && d < 0x1p63) return static_cast<std::int64_t>(d);
    return std::numeric_limits<std::int64_t>::min();
}

// Truncation into an unsigned 64-bit value: [2^63, 2^64) converts exactly, a
// negative value gives the two's complement of its truncation, and whatever is
// out of the signed range below, 2^64 and above, and NaN give 2^63.
constexpr std::uint64_t TruncateToUInt64(double d) noexcept {
    if (d >= 0x1p63 && d < 0x1p64) return static_cast<std::uint64_t>(d);
    return static_cast<std::uint64_t>(TruncateToInt64(d));
}

// Rounding to the nearest single, as IEEE 754 defines it for values beyond the
// single range too (those round to the largest single or to infinity), without
// an out-of-range cast.
constexpr float NarrowToSingle(double d) noexcept {
    constexpr double kMax = std::numeric_limits<float>::max();
    constexpr double kHalfwayToInfinity = 0x1.ffffffp127;  // FLT_MAX + half an ulp
    if (d >= kHalfwayToInfinity) return std::numeric_limits<float>::infinity();
    if (d <= -kHalfwayToInfinity) return -std::numeric_limits<float>::infinity();
    if (d > kMax) return std::numeric_limits<float>::max();
    if (d < -kMax) return -std::numeric_limits<float>::max();
    return static_cast<float>(d);  // in range, or NaN
}

// How a numeric target receives a value. Integer targets keep the low `width`
// bytes of a 64-bit pattern; a floating source reaches that pattern through the
// intermediate named by `via`.
enum class Intermediate : std::uint8_t { Int32, Int64, UInt64 };
enum class NumericTarget : std::uint8_t { Integer, Single, Double };

struct NumericTargetRule {
    NumericTarget kind;
    std::uint8_t width;  // bytes, for Integer
    Intermediate via;    // for Integer from a floating source
};

ZENTREL_ALWAYS_INLINE constexpr std::uint64_t IntegerPattern(const VARIANT& src, VARTYPE vt,
                                                             Intermediate via) noexcept {
    switch (NumericClassOf(vt)) {
        case NumericClass::Signed:
            return static_cast<std::uint64_t>(ReadSigned(src, vt));
        case NumericClass::Unsigned:
            return ReadUnsigned(src, vt);
        case NumericClass::Floating:
            break;
        case NumericClass::None:
            return 0;
    }
    const double d = ReadFloating(src, vt);
    switch (via) {
        case Intermediate::Int32:
            return static_cast<std::uint64_t>(std::int64_t{TruncateToInt32(d)});
        case Intermediate::Int64:
            return static_cast<std::uint64_t>(TruncateToInt64(d));
        case Intermediate::UInt64:
            break;
    }
    return TruncateToUInt64(d);
}

// The number of `src`, read as type `vt`, converted for `rule`, as the whole
// 8-byte value field: the value in its member's width, zeros behind it. A type
// without a number gives all zeros. Computed in registers, so that callers can
// store it with one write.
ZENTREL_ALWAYS_INLINE constexpr std::uint64_t NumberBits(const VARIANT& src, VARTYPE vt,
                                                         NumericTargetRule rule) noexcept {
    const NumericClass c = NumericClassOf(vt);
    if (c == NumericClass::None) return 0;
    switch (rule.kind) {
        case NumericTarget::Integer: {
            const std::uint64_t bits = IntegerPattern(src, vt, rule.via);
            return rule.width == 8 ? bits : bits & ((std::uint64_t{1} << (8 * rule.width)) - 1);
        }
        case NumericTarget::Single: {
            float f;
            switch (c) {
                case NumericClass::Signed:
                    f = static_cast<float>(ReadSigned(src, vt));
                    break;
                case NumericClass::Unsigned:
                    f = static_cast<float>(ReadUnsigned(src, vt));
                    break;
                default:
                    f = NarrowToSingle(ReadFloating(src, vt));
                    break;
            }
            return std::bit_cast<std::uint32_t>(f);
        }
        case NumericTarget::Double:
            return std::bit_cast<std::uint64_t>(ReadAsDouble(src, vt));
    }
    return 0;
}

// What a scalar conversion does for each target type code (folded, no flags).
enum class TargetAction : std::uint8_t {
    Number,          // NumberBits with the rule
    Zero,            // succeeds without a value: the value field is zeroed
    EmptyFromNull,   // VT_EMPTY: refused from VT_NULL, otherwise as Zero
    NotImplemented,  // no value is ever formatted as text
    QueryDispatch,   // VT_UNKNOWN source: QueryInterface for IDispatch
    QueryUnknown,    // VT_DISPATCH source: QueryInterface for IUnknown
    Mismatch,        // not a valid target type
};

struct ScalarTargetRule {
    TargetAction action;
    NumericTargetRule number;
};

inline constexpr std::array<ScalarTargetRule, 24> kScalarTargets = [] {
    using enum TargetAction;
    constexpr auto integer = [](std::uint8_t width, Intermediate via) {
        return ScalarTargetRule{Number, {NumericTarget::Integer, width, via}};
    };
    std::array<ScalarTargetRule, 24> t{};
    for (auto& rule : t) rule = {Zero, {}};
    t[VT_EMPTY] = {EmptyFromNull, {}};
    t[VT_I2] = integer(2, Intermediate::Int32);
    t[VT_I4] = integer(4, Intermediate::Int32);
    t[VT_R4] = {Number, {NumericTarget::Single, 4, {}}};
    t[VT_R8] = {Number, {NumericTarget::Double, 8, {}}};
    t[VT_BSTR] = {NotImplemented, {}};
    t[VT_DISPATCH] = {QueryDispatch, {}};
    t[VT_BOOL] = integer(2, Intermediate::Int32);
    t[VT_UNKNOWN] = {QueryUnknown, {}};
    t[15] = {Mismatch, {}};
    t[VT_I1] = integer(1, Intermediate::Int32);
    t[VT_UI1] = integer(1, Intermediate::Int32);
    t[VT_UI2] = integer(2, Intermediate::Int32);
    t[VT_UI4] = integer(4, Intermediate::Int64);  // so that negative values wrap
    t[VT_I8] = integer(8, Intermediate::Int64);
    t[VT_UI8] = integer(8, Intermediate::UInt64);
    t[VT_INT] = t[VT_I4];
    t[VT_UINT] = t[VT_UI4];
    return t;
}();

// VT_INT counts as VT_I4 and VT_UINT as VT_UI4 when types are matched.
constexpr VARTYPE FoldIntegerAlias(VARTYPE vt) noexcept {
    return vt == VT_INT ? VARTYPE{VT_I4} : vt == VT_UINT ? VARTYPE{VT_UI4} : vt;
}

}  // namespace KoAtlCom::detail
