// VarCmp. Numbers compare by value (integers in 64 bits, with a floating partner
// as doubles), strings by their text up to the first NUL, and a string against
// a number or a boolean through the text. Operands are never converted through
// VariantChangeTypeEx and never resolved when by-reference.
#include "automation/variant/compare.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "automation/strings/bstr_copy.h"
#include "automation/variant/number.h"
#include "automation/vartypes.h"

namespace {

using KoAtlCom::detail::NumberValue;
using KoAtlCom::detail::NumericClass;

template <class T>
constexpr HRESULT OrderIntegers(T left, T right) noexcept {
    return left == right ? VARCMP_EQ : left > right ? VARCMP_GT : VARCMP_LT;
}

// Anything that is neither equal nor less, NaN included, is "greater".
constexpr HRESULT OrderDoubles(double left, double right) noexcept {
    return left == right ? VARCMP_EQ : left < right ? VARCMP_LT : VARCMP_GT;
}

// Two numbers: as doubles when either is floating, as unsigned values when
// both are unsigned, and otherwise as signed values, an unsigned one read as
// signed (so 2^63 and above count as negative).
HRESULT OrderNumbers(const NumberValue& left, const NumberValue& right) noexcept {
    if (left.type == NumericClass::Floating || right.type == NumericClass::Floating) {
        return OrderDoubles(KoAtlCom::detail::ToDouble(left), KoAtlCom::detail::ToDouble(right));
    }
    if (left.type == NumericClass::Unsigned && right.type == NumericClass::Unsigned) {
        return OrderIntegers(left.integer, right.integer);
    }
    return OrderIntegers(static_cast<std::int64_t>(left.integer), static_cast<std::int64_t>(right.integer));
}

constexpr HRESULT OrderText(int comparison) noexcept {
    return comparison < 0 ? VARCMP_LT : comparison == 0 ? VARCMP_EQ : VARCMP_GT;
}

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

// The text read as the kind of number its partner `other` is: with stoll,
// stoull or stod.
NumberValue ParseAs(const char* text, const NumberValue& other) {
    switch (other.type) {
        case NumericClass::Signed:
            return KoAtlCom::detail::SignedNumber(
                ParseOrThrow(text, "stoll", [](const char* s, char** e) { return std::strtoll(s, e, 10); }));
        case NumericClass::Unsigned:
            return KoAtlCom::detail::UnsignedNumber(
                ParseOrThrow(text, "stoull", [](const char* s, char** e) { return std::strtoull(s, e, 10); }));
        default:
            return KoAtlCom::detail::FloatingNumber(
                ParseOrThrow(text, "stod", [](const char* s, char** e) { return std::strtod(s, e); }));
    }
}

// A string against a partner that is not a string, ordered left against right.
HRESULT CompareTextWith(const char* text, const VARIANT& other, bool textIsLeft) {
    if (other.vt == VT_BOOL) {
        // Case never matters here, whatever the flags say.
        const char* literal = BooleanLiteral(other);
        return OrderText(textIsLeft ? ::strcasecmp(text, literal) : ::strcasecmp(literal, text));
    }
    const NumberValue number = KoAtlCom::detail::NumberOf(other);
    if (number.type == NumericClass::None) return E_INVALIDARG;
    const NumberValue parsed = ParseAs(text, number);
    return textIsLeft ? OrderNumbers(parsed, number) : OrderNumbers(number, parsed);
}

}  // namespace

// The pairs in the order of the rules: two numbers, two strings, a string on
// the left, a string on the right; anything else cannot be compared.
HRESULT VarCmp(const VARIANT* left, const VARIANT* right, LCID, ULONG flags) {
    if (left == nullptr || right == nullptr) return VARCMP_NULL;
    const NumberValue l = KoAtlCom::detail::NumberOf(*left);
    const NumberValue r = KoAtlCom::detail::NumberOf(*right);
    if (l.type != NumericClass::None && r.type != NumericClass::None) return OrderNumbers(l, r);
    const bool leftText = left->vt == VT_BSTR;
    const bool rightText = right->vt == VT_BSTR;
    if (leftText && rightText) {
        const char* a = KoAtlCom::detail::TextOf(left->bstrVal);
        const char* b = KoAtlCom::detail::TextOf(right->bstrVal);
        return OrderText((flags & NORM_IGNORECASE) != 0 ? ::strcasecmp(a, b) : std::strcmp(a, b));
    }
    if (leftText) return CompareTextWith(KoAtlCom::detail::TextOf(left->bstrVal), *right, true);
    if (rightText) return CompareTextWith(KoAtlCom::detail::TextOf(right->bstrVal), *left, false);
    return E_INVALIDARG;
}
