// VarCmp. Numbers compare by value (integers in 64 bits, with a floating partner
// as doubles), strings by their text up to the first NUL, and a string against
// a number or a boolean through the text. Operands are never converted through
// VariantChangeTypeEx and never resolved when by-reference.
#include "automation/variant/compare.h"

#include <strings.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "automation/variant/numeric.h"
#include "automation/variant/type_table.h"

namespace {

using KoAtlCom::detail::NumericClass;
using KoAtlCom::detail::NumericClassOf;

// An operand's role, decided on its whole `vt` (any flag bit gives None): the
// numeric classes of the type change, plus strings and booleans.
enum class Kind : std::uint8_t { None, Signed, Unsigned, Floating, String, Boolean };

constexpr std::array<Kind, 24> kKinds = [] {
    std::array<Kind, 24> kinds{};
    for (std::size_t vt = 0; vt < kinds.size(); ++vt) {
        switch (NumericClassOf(static_cast<VARTYPE>(vt))) {
            case NumericClass::Signed:
                kinds[vt] = Kind::Signed;
                break;
            case NumericClass::Unsigned:
                kinds[vt] = Kind::Unsigned;
                break;
            case NumericClass::Floating:
                kinds[vt] = Kind::Floating;
                break;
            case NumericClass::None:
                kinds[vt] = Kind::None;
                break;
        }
    }
    kinds[VT_BSTR] = Kind::String;
    kinds[VT_BOOL] = Kind::Boolean;
    return kinds;
}();

constexpr Kind KindOf(VARTYPE vt) noexcept { return vt < kKinds.size() ? kKinds[vt] : Kind::None; }

constexpr bool IsNumber(Kind k) noexcept { return k == Kind::Signed || k == Kind::Unsigned || k == Kind::Floating; }

template <class T>
constexpr HRESULT OrderIntegers(T left, T right) noexcept {
    return left == right ? VARCMP_EQ : left > right ? VARCMP_GT : VARCMP_LT;
}

// Anything that is neither equal nor less, NaN included, is "greater".
constexpr HRESULT OrderDoubles(double left, double right) noexcept {
    return left == right ? VARCMP_EQ : left < right ? VARCMP_LT : VARCMP_GT;
}

constexpr HRESULT OrderText(int comparison) noexcept {
    return comparison < 0 ? VARCMP_LT : comparison == 0 ? VARCMP_EQ : VARCMP_GT;
}

// An integer operand (of type `vt`) in a mixed-sign comparison: unsigned values
// are zero-extended and then read as signed, so 2^63 and above count as negative.
ZENTREL_ALWAYS_INLINE inline std::int64_t SignedValue(const VARIANT& v, VARTYPE vt) noexcept {
    return KindOf(vt) == Kind::Signed ? KoAtlCom::detail::ReadSigned(v, vt)
                                      : static_cast<std::int64_t>(KoAtlCom::detail::ReadUnsigned(v, vt));
}

// Two numbers, `left` read as type `lvt` and `right` as `rvt`. With constant
// types (the pair table below) every dispatch folds away.
ZENTREL_ALWAYS_INLINE inline HRESULT CompareNumbers(const VARIANT& left, VARTYPE lvt, const VARIANT& right,
                                                    VARTYPE rvt) noexcept {
    if (KindOf(lvt) == Kind::Floating || KindOf(rvt) == Kind::Floating) {
        return OrderDoubles(KoAtlCom::detail::ReadAsDouble(left, lvt), KoAtlCom::detail::ReadAsDouble(right, rvt));
    }
    if (KindOf(lvt) == Kind::Unsigned && KindOf(rvt) == Kind::Unsigned) {
        return OrderIntegers(KoAtlCom::detail::ReadUnsigned(left, lvt), KoAtlCom::detail::ReadUnsigned(right, rvt));
    }
    return OrderIntegers(SignedValue(left, lvt), SignedValue(right, rvt));
}

const char* TextOf(const VARIANT& v) noexcept { return v.bstrVal != nullptr ? v.bstrVal : ""; }

const char* BooleanLiteral(const VARIANT& v) noexcept { return v.boolVal == VARIANT_TRUE ? "true" : "false"; }

// std::stoll, std::stoull and std::stod as the standard defines them (the C
// parser on the text; std::invalid_argument when it converts nothing,
// std::out_of_range when it reports ERANGE), applied to the NUL-terminated text
// in place: no copy is made, so no allocation failure can be thrown and nothing
// is left allocated when these two are. The caller's errno is kept.
template <class Parse>
auto ParseOrThrow(const char* text, const char* name, Parse parse) {
    const int savedErrno = errno;
    errno = 0;
    char* end = nullptr;
    const auto value = parse(text, &end);
    const bool outOfRange = errno == ERANGE;
    errno = savedErrno;
    if (end == text) throw std::invalid_argument(name);
    if (outOfRange) throw std::out_of_range(name);
    return value;
}

// The text read as the kind of number its partner is: a VT_I8, VT_UI8 or VT_R8.
VARIANT ParseAs(const char* text, Kind k) {
    VARIANT number{};
    switch (k) {
        case Kind::Signed:
            number.vt = VT_I8;
            number.llVal = ParseOrThrow(text, "stoll", [](const char* s, char** e) { return std::strtoll(s, e, 10); });
            break;
        case Kind::Unsigned:
            number.vt = VT_UI8;
            number.ullVal =
                ParseOrThrow(text, "stoull", [](const char* s, char** e) { return std::strtoull(s, e, 10); });
            break;
        default:
            number.vt = VT_R8;
            number.dblVal = ParseOrThrow(text, "stod", [](const char* s, char** e) { return std::strtod(s, e); });
            break;
    }
    return number;
}

// A string against a partner that is not a string, ordered left against right.
HRESULT CompareTextWith(const char* text, const VARIANT& other, Kind otherKind, bool textIsLeft) {
    if (otherKind == Kind::Boolean) {
        // Case never matters here, whatever the flags say.
        const char* literal = BooleanLiteral(other);
        return OrderText(textIsLeft ? ::strcasecmp(text, literal) : ::strcasecmp(literal, text));
    }
    if (!IsNumber(otherKind)) return E_INVALIDARG;
    const VARIANT parsed = ParseAs(text, otherKind);
    return textIsLeft ? CompareNumbers(parsed, parsed.vt, other, other.vt)
                      : CompareNumbers(other, other.vt, parsed, parsed.vt);
}

// Every pair, in the order of the rules: numbers, two strings, a string on the
// left, a string on the right; anything else cannot be compared.
HRESULT CompareAny(const VARIANT& left, const VARIANT& right, ULONG flags) {
    const Kind lk = KindOf(left.vt);
    const Kind rk = KindOf(right.vt);
    if (IsNumber(lk) && IsNumber(rk)) return CompareNumbers(left, left.vt, right, right.vt);
    if (lk == Kind::String && rk == Kind::String) {
        const char* l = TextOf(left);
        const char* r = TextOf(right);
        return OrderText((flags & NORM_IGNORECASE) != 0 ? ::strcasecmp(l, r) : std::strcmp(l, r));
    }
    if (lk == Kind::String) return CompareTextWith(TextOf(left), right, rk, true);
    if (rk == Kind::String) return CompareTextWith(TextOf(right), left, lk, false);
    return E_INVALIDARG;
}

// The comparison for each pair of type codes below 24: for two numbers, the
// numeric rules instantiated for the two types (one indirect call, no
// dispatch); for every other pair, CompareAny.
using Comparer = HRESULT (*)(const VARIANT&, const VARIANT&, ULONG);

template <VARTYPE L, VARTYPE R>
HRESULT CompareNumberPair(const VARIANT& left, const VARIANT& right, ULONG) noexcept {
    return CompareNumbers(left, L, right, R);
}

constexpr auto kComparers = KoAtlCom::detail::TypePairTable<24, 24>([]<VARTYPE L, VARTYPE R>() -> Comparer {
    if constexpr (IsNumber(KindOf(L)) && IsNumber(KindOf(R))) {
        return &CompareNumberPair<L, R>;
    } else {
        return &CompareAny;
    }
});

}  // namespace

HRESULT VarCmp(const VARIANT* left, const VARIANT* right, LCID, ULONG flags) {
    if (left == nullptr || right == nullptr) return VARCMP_NULL;
    if (left->vt < 24 && right->vt < 24) return kComparers[left->vt][right->vt](*left, *right, flags);
    return CompareAny(*left, *right, flags);
}
