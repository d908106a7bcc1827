// The variant-type rule: which `vt` values the variant and array operations
// accept. This is the only implementation; VariantClear, VariantCopy,
// VariantCopyInd, VariantChangeTypeEx and VartypeIsValid all ask it.
#pragma once

#include <cstdint>

#include "interop/vocabulary.h"

namespace KoAtlCom::detail {

// Invalid: VT_VECTOR or VT_RESERVED set; base type 15; VT_ARRAY or VT_BYREF on
// VT_EMPTY or VT_NULL; a base type of 24 or more other than VT_RECORD.
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

// Valid types without flags whose value owns nothing: clearing such a variant
// only resets its `vt`, and copying it is copying its 24 bytes. Every type from
// VT_EMPTY to VT_UINT but VT_BSTR, VT_DISPATCH, VT_UNKNOWN and the invalid 15.
// A mask, because every copy and clear asks.
inline constexpr std::uint32_t kPlainVartypes = [] {
    std::uint32_t mask = 0;
    for (VARTYPE vt = VT_EMPTY; vt <= VT_UINT; ++vt)
        if (VartypeRuleAccepts(vt) && vt != VT_BSTR && vt != VT_DISPATCH && vt != VT_UNKNOWN) mask |= 1u << vt;
    return mask;
}();

constexpr bool IsPlainVartype(VARTYPE vt) noexcept { return vt <= VT_UINT && ((kPlainVartypes >> vt) & 1u) != 0; }

static_assert(IsPlainVartype(VT_EMPTY) && IsPlainVartype(VT_DECIMAL) && IsPlainVartype(VT_UINT));
static_assert(!IsPlainVartype(VT_BSTR) && !IsPlainVartype(VT_RECORD) && !IsPlainVartype(VT_BYREF | VT_I4));
static_assert(!IsPlainVartype(15) && !IsPlainVartype(VT_UNKNOWN));

}  // namespace KoAtlCom::detail
