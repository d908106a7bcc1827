// The numbers of variants, shared by type change, comparison and the typed
// accessors: reading a variant's number and converting it for a numeric target
// type. Inline, because each is the whole work of a scalar type change. Callers outside the library must not use
// this header.
//
// The floating-to-integer rules check the range before every cast: a C++ cast
// of a double outside the target's range is undefined.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>

#include "automation/vartypes.h"
#include "interop/vocabulary.h"

namespace KoAtlCom::detail {

// A number as read from a variant: its class and its value, an integer as
// its 64-bit pattern (sign- or zero-extended), a floating value widened to
// double.
struct NumberValue {
    NumericClass type = NumericClass::None;
    union {
        std::uint64_t integer = 0;
        double real;
    };
};

constexpr NumberValue SignedNumber(std::int64_t value) noexcept {
    return {NumericClass::Signed, {static_cast<std::uint64_t>(value)}};
}
constexpr NumberValue UnsignedNumber(std::uint64_t value) noexcept { return {NumericClass::Unsigned, {value}}; }
constexpr NumberValue FloatingNumber(double value) noexcept {
    NumberValue n{NumericClass::Floating, {}};
    n.real = value;
    return n;
}

// A number as a double: integers round to nearest (unsigned ones exactly,
// 2^63 and above included).
constexpr double ToDouble(const NumberValue& n) noexcept {
    switch (n.type) {
        case NumericClass::Signed:
            return static_cast<double>(static_cast<std::int64_t>(n.integer));
        case NumericClass::Unsigned:
            return static_cast<double>(n.integer);
        case NumericClass::Floating:
            return n.real;
        case NumericClass::None:
            break;
    }
    return 0;
}

// The value member of `v` read as `number`, whatever `v`'s type.
inline NumberValue ReadNumber(const VARIANT& v, Number number) noexcept {
    switch (number) {
        case Number::Signed8:
            return SignedNumber(static_cast<std::int8_t>(v.cVal));
        case Number::Signed16:
        case Number::Boolean16:
            return SignedNumber(v.iVal);
        case Number::Signed32:
            return SignedNumber(v.lVal);
        case Number::Signed64:
            return SignedNumber(v.llVal);
        case Number::Unsigned8:
            return UnsignedNumber(v.bVal);
        case Number::Unsigned16:
            return UnsignedNumber(v.uiVal);
        case Number::Unsigned32:
            return UnsignedNumber(v.ulVal);
        case Number::Unsigned64:
            return UnsignedNumber(v.ullVal);
        case Number::Single:
            return FloatingNumber(v.fltVal);
        case Number::Double:
            return FloatingNumber(v.dblVal);
        case Number::None:
            break;
    }
    return {};
}

// The number of a variant of a numeric class; class None for any other.
inline NumberValue NumberOf(const VARIANT& v) noexcept { return ReadNumber(v, ArithmeticNumberOf(v.vt)); }

// VariantReadSigned and VariantReadUnsigned: the value member of a signed type
// (VT_I1, VT_I2, VT_BOOL, VT_I4, VT_INT, VT_I8), sign-extended, or of an
// unsigned one (VT_UI1, VT_UI2, VT_UI4, VT_UINT, VT_UI8), zero-extended; 0 for
// every other type.
inline std::int64_t ReadSigned(const VARIANT& v) noexcept {
    const NumberValue n = ReadNumber(v, RowOf(v.vt).number);
    return n.type == NumericClass::Signed ? static_cast<std::int64_t>(n.integer) : 0;
}

inline std::uint64_t ReadUnsigned(const VARIANT& v) noexcept {
    const NumberValue n = ReadNumber(v, RowOf(v.vt).number);
    return n.type == NumericClass::Unsigned ? n.integer : 0;
}

// Truncation toward zero into a signed intermediate. A value that does not fit,
// and NaN, give the intermediate's minimum.
inline std::int32_t TruncateToInt32(double d) noexcept {
    if (d > -2147483649.0 && d < 2147483648.0) return static_cast<std::int32_t>(d);
    return std::numeric_limits<std::int32_t>::min();
}

inline std::int64_t TruncateToInt64(double d) noexcept {
    // -2^63 is exact in a double; the next double below it is already out.
    if (d >= -0x1p63 && d < 0x1p63) return static_cast<std::int64_t>(d);
    return std::numeric_limits<std::int64_t>::min();
}

// [2^63, 2^64) converts exactly, a negative value gives the two's complement
// of its truncation, and whatever else is out of range, and NaN, gives 2^63.
inline std::uint64_t TruncateToUInt64(double d) noexcept {
    if (d >= 0x1p63 && d < 0x1p64) return static_cast<std::uint64_t>(d);
    return static_cast<std::uint64_t>(TruncateToInt64(d));
}

// Rounding to the nearest single as IEEE 754 defines it for values beyond the
// single range too (they round to the largest single or to infinity), without
// an out-of-range cast.
inline float NarrowToSingle(double d) noexcept {
    constexpr double kMax = std::numeric_limits<float>::max();
    constexpr double kHalfwayToInfinity = 0x1.ffffffp127;  // FLT_MAX + half an ulp
    if (d >= kHalfwayToInfinity) return std::numeric_limits<float>::infinity();
    if (d <= -kHalfwayToInfinity) return -std::numeric_limits<float>::infinity();
    if (d > kMax) return std::numeric_limits<float>::max();
    if (d < -kMax) return -std::numeric_limits<float>::max();
    return static_cast<float>(d);  // in range, or NaN
}

// A number as the 64-bit pattern an integer target keeps the low bits of.
// Integers are taken as they are (no range checks); a floating value is
// truncated into a signed 32-bit intermediate, or a 64-bit one for the 32-bit
// unsigned target (so negative values wrap) and the 64-bit targets.
inline std::uint64_t IntegerBits(const NumberValue& n, Number target) noexcept {
    if (n.type != NumericClass::Floating) return n.integer;
    switch (target) {
        case Number::Unsigned32:
        case Number::Signed64:
            return static_cast<std::uint64_t>(TruncateToInt64(n.real));
        case Number::Unsigned64:
            return TruncateToUInt64(n.real);
        default:
            return static_cast<std::uint64_t>(std::int64_t{TruncateToInt32(n.real)});
    }
}

// The value field of a variant of a type whose value member is `target`,
// holding the number `n` (of a numeric class) converted: the member's bits,
// zeros behind them. Returned whole, so that a caller stores it in one go.
inline std::uint64_t ValueBits(const NumberValue& n, Number target) noexcept {
    switch (target) {
        case Number::Single:
            switch (n.type) {
                case NumericClass::Signed:
                    return std::bit_cast<std::uint32_t>(static_cast<float>(static_cast<std::int64_t>(n.integer)));
                case NumericClass::Unsigned:
                    return std::bit_cast<std::uint32_t>(static_cast<float>(n.integer));
                default:
                    return std::bit_cast<std::uint32_t>(NarrowToSingle(n.real));
            }
        case Number::Double:
            return std::bit_cast<std::uint64_t>(ToDouble(n));
        case Number::Signed8:
        case Number::Unsigned8:
            return IntegerBits(n, target) & 0xFF;
        case Number::Signed16:
        case Number::Unsigned16:
        case Number::Boolean16:
            return IntegerBits(n, target) & 0xFFFF;
        case Number::Signed32:
        case Number::Unsigned32:
            return IntegerBits(n, target) & 0xFFFFFFFF;
        case Number::Signed64:
        case Number::Unsigned64:
            return IntegerBits(n, target);
        case Number::None:
            break;
    }
    return 0;
}

// VT_INT counts as VT_I4 and VT_UINT as VT_UI4 when types are matched.
constexpr VARTYPE FoldIntegerAlias(VARTYPE vt) noexcept {
    return vt == VT_INT ? VARTYPE{VT_I4} : vt == VT_UINT ? VARTYPE{VT_UI4} : vt;
}

}  // namespace KoAtlCom::detail
