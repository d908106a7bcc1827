// What the library knows about each VARTYPE: the variant-type rule (which `vt`
// values the variant and array operations accept) and one row per type code
// with every per-type fact that variants and arrays use. Everything else about
// a type code derives from these. Callers outside the library must not use
// this header.
#pragma once

#include <array>
#include <cstdint>

#include "automation/safearray/safearray.h"
#include "interop/vocabulary.h"

namespace KoAtlCom::detail {

// Invalid: VT_VECTOR or VT_RESERVED set; base type 15; VT_ARRAY or VT_BYREF on
// VT_EMPTY or VT_NULL; a base type of 24 or more other than VT_RECORD.
// VariantClear, VariantCopy, VariantCopyInd, VariantChangeTypeEx and
// VartypeIsValid all ask this one function.
constexpr bool VartypeRuleAccepts(VARTYPE vt) noexcept {
    if ((vt & (VT_RESERVED | VT_VECTOR)) != 0) return false;
    const unsigned base = vt & VT_TYPEMASK;
    if (base == 15) return false;
    if (vt >= VT_ARRAY && base < VT_I2) return false;
    return base < 24 || base == VT_RECORD;
}

static_assert(VartypeRuleAccepts(VT_EMPTY) && VartypeRuleAccepts(VT_RECORD));
static_assert(VartypeRuleAccepts(VT_BYREF | VT_ARRAY | VT_I4));
static_assert(!VartypeRuleAccepts(VT_ARRAY | VT_EMPTY) && !VartypeRuleAccepts(VT_BYREF | VT_NULL));
static_assert(!VartypeRuleAccepts(15) && !VartypeRuleAccepts(VT_INT_PTR) && !VartypeRuleAccepts(VT_VECTOR | VT_I4));

// The value member of a type read as a number: its width and signedness, or a
// floating type. A VARIANT_BOOL is a signed 16-bit value in no numeric class:
// it is read and written like Signed16, but converts and compares as nothing.
enum class Number : std::uint8_t {
    None,
    Signed8,
    Signed16,
    Signed32,
    Signed64,
    Unsigned8,
    Unsigned16,
    Unsigned32,
    Unsigned64,
    Single,
    Double,
    Boolean16,
};

// One type code (no flags).
struct TypeRow {
    VARTYPE vt;
    // Bytes of an array element of this type (0: it cannot be one), which are
    // also the bytes VariantCopyInd copies from a referenced plain value.
    std::uint8_t element = 0;
    // Bytes of its raw value (VartypeGetRawSize); 0: it has none.
    std::uint8_t raw = 0;
    // The value member as a number (VariantReadSigned/Unsigned read it so, and
    // a type change to this type writes it so).
    Number number = Number::None;
    // A value of this type owns a string or an interface reference.
    bool owns = false;
    // The kind bit and the prefix IID an array of this type gets.
    USHORT kind = 0;
    const IID* iid = nullptr;
};

// Every type code the library gives a fact for; the others (15, 24 to 35, and
// everything above VT_UINT_PTR) have none: no element, no raw value, no number.
inline constexpr TypeRow kTypeRows[] = {
    {.vt = VT_EMPTY},
    {.vt = VT_NULL},
    {.vt = VT_I2, .element = 2, .raw = 2, .number = Number::Signed16},
    {.vt = VT_I4, .element = 4, .raw = 4, .number = Number::Signed32},
    {.vt = VT_R4, .element = 4, .raw = 4, .number = Number::Single},
    {.vt = VT_R8, .element = 8, .raw = 8, .number = Number::Double},
    {.vt = VT_CY, .element = 8},
    {.vt = VT_DATE, .element = 8},
    {.vt = VT_BSTR, .element = 8, .owns = true, .kind = FADF_BSTR},
    {.vt = VT_DISPATCH, .element = 8, .owns = true, .kind = FADF_DISPATCH, .iid = &IID_IDispatch},
    {.vt = VT_ERROR, .element = 4},
    {.vt = VT_BOOL, .element = 2, .raw = 1, .number = Number::Boolean16},
    {.vt = VT_VARIANT, .element = 24, .kind = FADF_VARIANT},
    {.vt = VT_UNKNOWN, .element = 8, .owns = true, .kind = FADF_UNKNOWN, .iid = &IID_IUnknown},
    {.vt = VT_DECIMAL},
    {.vt = VT_I1, .element = 1, .raw = 1, .number = Number::Signed8},
    {.vt = VT_UI1, .element = 1, .raw = 1, .number = Number::Unsigned8},
    {.vt = VT_UI2, .element = 2, .raw = 2, .number = Number::Unsigned16},
    {.vt = VT_UI4, .element = 4, .raw = 4, .number = Number::Unsigned32},
    {.vt = VT_I8, .element = 8, .raw = 8, .number = Number::Signed64},
    {.vt = VT_UI8, .element = 8, .raw = 8, .number = Number::Unsigned64},
    {.vt = VT_INT, .element = 4, .raw = 4, .number = Number::Signed32},
    {.vt = VT_UINT, .element = 4, .raw = 4, .number = Number::Unsigned32},
    {.vt = VT_RECORD, .element = 32},
    {.vt = VT_INT_PTR, .element = 8},
    {.vt = VT_UINT_PTR, .element = 8},
};

// The rows indexed by type code, up to the last one listed.
inline constexpr std::size_t kTypeCodes = VT_UINT_PTR + 1;
inline constexpr std::array<TypeRow, kTypeCodes> kRowByType = [] {
    std::array<TypeRow, kTypeCodes> rows{};
    for (std::size_t vt = 0; vt < rows.size(); ++vt) rows[vt].vt = static_cast<VARTYPE>(vt);
    for (const TypeRow& row : kTypeRows) rows[row.vt] = row;
    return rows;
}();
inline constexpr TypeRow kNoFacts{};

// The row of a whole `vt`: a code with a flag bit, like every code without a
// row, has no facts.
constexpr const TypeRow& RowOf(VARTYPE vt) noexcept { return vt < kRowByType.size() ? kRowByType[vt] : kNoFacts; }

// Valid types without flags whose value owns nothing: clearing such a variant
// only resets its `vt`, and copying it is copying its 24 bytes. A mask,
// because every copy and clear asks.
inline constexpr std::uint32_t kPlainVartypes = [] {
    std::uint32_t mask = 0;
    for (VARTYPE vt = VT_EMPTY; vt <= VT_UINT; ++vt)
        if (VartypeRuleAccepts(vt) && !RowOf(vt).owns) mask |= 1u << vt;
    return mask;
}();

constexpr bool IsPlainVartype(VARTYPE vt) noexcept { return vt <= VT_UINT && ((kPlainVartypes >> vt) & 1u) != 0; }

// A number that converts and compares as one: not a boolean.
constexpr bool IsArithmetic(Number n) noexcept { return n != Number::None && n != Number::Boolean16; }

// Two columns of the rows as a byte per type code, because every scalar type
// change and comparison asks: the number of each type, and the number of each
// type that converts and compares as one (None for VT_BOOL and every type
// without a number).
inline constexpr auto kNumbers = [] {
    std::array<Number, kTypeCodes> numbers{};
    for (std::size_t vt = 0; vt < numbers.size(); ++vt) numbers[vt] = kRowByType[vt].number;
    return numbers;
}();
inline constexpr auto kArithmeticNumbers = [] {
    std::array<Number, kTypeCodes> numbers{};
    for (std::size_t vt = 0; vt < numbers.size(); ++vt)
        numbers[vt] = IsArithmetic(kRowByType[vt].number) ? kRowByType[vt].number : Number::None;
    return numbers;
}();

constexpr Number NumberOfType(VARTYPE vt) noexcept { return vt < kNumbers.size() ? kNumbers[vt] : Number::None; }
constexpr Number ArithmeticNumberOf(VARTYPE vt) noexcept {
    return vt < kArithmeticNumbers.size() ? kArithmeticNumbers[vt] : Number::None;
}

// The class a variant's number belongs to, decided on its whole `vt`.
enum class NumericClass : std::uint8_t { None, Signed, Unsigned, Floating };

constexpr NumericClass NumericClassOf(VARTYPE vt) noexcept {
    switch (ArithmeticNumberOf(vt)) {
        case Number::Signed8:
        case Number::Signed16:
        case Number::Signed32:
        case Number::Signed64:
            return NumericClass::Signed;
        case Number::Unsigned8:
        case Number::Unsigned16:
        case Number::Unsigned32:
        case Number::Unsigned64:
            return NumericClass::Unsigned;
        case Number::Single:
        case Number::Double:
            return NumericClass::Floating;
        case Number::None:
        case Number::Boolean16:
            break;
    }
    return NumericClass::None;
}

// The rows read as the published tables: plain types, numeric classes (the
// masks 0x51000C and 0xAE0000 over the type code), element and raw sizes.
static_assert(kPlainVartypes == 0x00FF5CFF);
static_assert([] {
    for (unsigned vt = 0; vt < 24; ++vt) {
        const NumericClass c = NumericClassOf(static_cast<VARTYPE>(vt));
        if ((((0x51000Cu >> vt) & 1) != 0) != (c == NumericClass::Signed)) return false;
        if ((((0xAE0000u >> vt) & 1) != 0) != (c == NumericClass::Unsigned)) return false;
    }
    return NumericClassOf(VT_R4) == NumericClass::Floating && NumericClassOf(VT_BOOL) == NumericClass::None &&
           NumericClassOf(VT_BYREF | VT_I4) == NumericClass::None;
}());
static_assert(RowOf(VT_BOOL).element == 2 && RowOf(VT_BOOL).raw == 1 && RowOf(VT_DECIMAL).element == 0);
static_assert(RowOf(VT_RECORD).element == 32 && RowOf(VT_ARRAY | VT_I4).element == 0 && RowOf(15).element == 0);

}  // namespace KoAtlCom::detail
