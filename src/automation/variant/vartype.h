// The variant-type rule: which `vt` values the variant and array operations
// accept. This is the only implementation; VariantClear, VariantCopy,
// VariantCopyInd, VariantChangeTypeEx and VartypeIsValid all ask it.
#pragma once

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

}  // namespace KoAtlCom::detail
