// VariantChangeTypeEx and its scalar step. The general path copies the source
// into a temporary (resolving one by-reference level), converts into a second
// temporary and copies the result out before `dest` is cleared, so `dest`
// changes only on success. Values that own nothing take a shorter path with the
// same observable result.
#include "automation/variant/convert.h"

#include <bit>
#include <cstddef>
#include <cstring>

#include "automation/variant/lifecycle.h"
#include "automation/variant/numeric.h"
#include "automation/variant/type_table.h"
#include "automation/variant/vartype.h"

namespace {

using KoAtlCom::detail::FoldIntegerAlias;
using KoAtlCom::detail::kScalarTargets;
using KoAtlCom::detail::TargetAction;

// The scalar conversion of a source of type From to the target To, both below
// 24 (From 24 stands for every other source: flagged, VT_RECORD). On success it
// writes the whole record `out`: `vt` = To, the value field, zeros elsewhere;
// a same-type request (after folding VT_INT and VT_UINT) copies the source's
// record instead. On failure `out` is untouched. `out` may be `src`.
//
// Every entry is the conversion rules evaluated for its two type codes at
// compile time, so a conversion costs one indirect call. Interface targets from
// interface sources need QueryInterface and are left to the caller.
template <VARTYPE From, VARTYPE To>
HRESULT ChangeScalar(VARIANT* out, const VARIANT& src) noexcept {
    static_assert(std::endian::native == std::endian::little && offsetof(VARIANT, vt) == 0);
    // Three words in registers, read before `out` is written: a record
    // assembled on the stack from narrower stores and then copied whole would
    // stall on store forwarding.
    std::uint64_t head = To;  // vt and the reserved words
    std::uint64_t value = 0;
    std::uint64_t tail = 0;  // the second value word
    constexpr auto rule = kScalarTargets[To];
    if constexpr (FoldIntegerAlias(From) == FoldIntegerAlias(To)) {
        std::memcpy(&head, &src, 8);
        std::memcpy(&value, &src.llVal, 8);
        std::memcpy(&tail, &src.pRecInfo, 8);
        head = (head & ~std::uint64_t{0xFFFF}) | To;
    } else if constexpr (rule.action == TargetAction::Number) {
        value = KoAtlCom::detail::NumberBits(src, From, rule.number);
    } else if constexpr (rule.action == TargetAction::EmptyFromNull) {
        if constexpr (From == VT_NULL) return DISP_E_TYPEMISMATCH;
    } else if constexpr (rule.action == TargetAction::NotImplemented) {
        return E_NOTIMPL;
    } else if constexpr (rule.action == TargetAction::Mismatch) {
        return DISP_E_TYPEMISMATCH;
    }
    // Anything else has no value to give: zero (null for an interface target).
    std::memcpy(out, &head, 8);
    std::memcpy(&out->llVal, &value, 8);
    std::memcpy(&out->pRecInfo, &tail, 8);
    return S_OK;
}

using ScalarChanger = HRESULT (*)(VARIANT*, const VARIANT&) noexcept;
constexpr VARTYPE kOtherSource = 24;

constexpr auto kScalarChangers = KoAtlCom::detail::TypePairTable<kOtherSource + 1, 24>(
    []<VARTYPE From, VARTYPE To>() -> ScalarChanger { return &ChangeScalar<From, To>; });
static_assert(kScalarTargets.size() == 24);

ScalarChanger ChangerFor(VARTYPE from, VARTYPE to) noexcept {
    return kScalarChangers[from < kOtherSource ? from : kOtherSource][to];
}

// The interface conversions: QueryInterface on the source pointer with the
// result's value field as the out-pointer. A null source gives null.
HRESULT QueryInto(VARIANT& result, IUnknown* source, REFIID iid) noexcept {
    result.punkVal = nullptr;
    if (source == nullptr) return S_OK;
    return source->QueryInterface(iid, reinterpret_cast<void**>(&result.punkVal));
}

// The scalar conversion for a target of another type than the source (after
// folding). It writes at most the value field of `result`: a number converted
// to a numeric target, or the pointer an interface conversion gives. Every
// other success writes nothing (VariantChangeTypeEx starts from a zeroed
// temporary, so its result then holds zero, or null for a pointer target).
HRESULT ConvertToOtherType(VARIANT& result, const VARIANT& src, VARTYPE vt) noexcept {
    if ((vt & VT_BYREF) != 0) return S_OK;
    if (vt >= kScalarTargets.size()) return vt == VT_RECORD ? E_NOTIMPL : DISP_E_TYPEMISMATCH;
    if (vt == VT_DISPATCH && src.vt == VT_UNKNOWN) return QueryInto(result, src.punkVal, IID_IDispatch);
    if (vt == VT_UNKNOWN && src.vt == VT_DISPATCH) return QueryInto(result, src.pdispVal, IID_IUnknown);
    VARIANT converted;
    const HRESULT hr = ChangerFor(src.vt, vt)(&converted, src);
    const bool number = kScalarTargets[vt].action == TargetAction::Number &&
                        KoAtlCom::detail::NumericClassOf(src.vt) != KoAtlCom::detail::NumericClass::None;
    if (SUCCEEDED(hr) && number) result.ullVal = converted.ullVal;
    return hr;
}

bool SameFoldedType(const VARIANT& src, VARTYPE vt) noexcept {
    return FoldIntegerAlias(vt) == FoldIntegerAlias(src.vt & VT_TYPEMASK);
}

// Clears `dest` and hands it what `value` owns; `value` is left empty. When
// clearing fails, `dest` is as VariantClear left it and `value` keeps its content.
HRESULT MoveInto(VARIANT* dest, VARIANT& value) noexcept {
    const HRESULT hr = VariantClear(dest);
    if (FAILED(hr)) return hr;
    *dest = value;
    value.vt = VT_EMPTY;
    return S_OK;
}

// Every other change: through the two temporaries.
[[gnu::noinline]] HRESULT ChangeType(VARIANT* dest, const VARIANT& src, VARTYPE vt) noexcept {
    if (!KoAtlCom::detail::VartypeRuleAccepts(src.vt) || !KoAtlCom::detail::VartypeRuleAccepts(vt)) {
        return DISP_E_BADVARTYPE;
    }
    if ((src.vt & VT_BYREF) != 0 && src.byref == nullptr) return DISP_E_TYPEMISMATCH;

    // The result is copied out of the conversion's temporary (strings as text
    // copies, arrays once more) before `dest` is cleared, so that a failed
    // allocation leaves `dest` as it was.
    VARIANT input{};
    VARIANT output{};
    VARIANT result{};
    HRESULT hr = VariantCopyInd(&input, &src);
    if (SUCCEEDED(hr)) {
        hr = ((input.vt | vt) & VT_ARRAY) != 0 ? VariantConvertArray(&output, &input, vt)
                                               : VariantConvertScalar(&output, &input, vt);
    }
    if (SUCCEEDED(hr)) {
        output.vt = vt;
        hr = VariantCopy(&result, &output);
    }
    if (SUCCEEDED(hr)) hr = MoveInto(dest, result);
    // A failed step leaves nothing owned behind `vt`, so every clear is safe.
    VariantClear(&result);
    VariantClear(&output);
    VariantClear(&input);
    return hr;
}

// Source and target own nothing, but `dest` does: convert on the stack, then
// clear `dest` (the temporaries of the general path would only hold copies of
// 24 plain bytes).
[[gnu::noinline]] HRESULT ChangePlainIntoOwner(VARIANT* dest, const VARIANT& src, VARTYPE vt) noexcept {
    VARIANT converted;
    const HRESULT hr = kScalarChangers[src.vt][vt](&converted, src);
    if (FAILED(hr)) return hr;
    return MoveInto(dest, converted);
}

}  // namespace

std::int64_t VariantReadSigned(const VARIANT* v) noexcept {
    return v != nullptr ? KoAtlCom::detail::ReadSigned(*v, v->vt) : 0;
}

std::uint64_t VariantReadUnsigned(const VARIANT* v) noexcept {
    return v != nullptr ? KoAtlCom::detail::ReadUnsigned(*v, v->vt) : 0;
}

HRESULT VariantConvertScalar(VARIANT* result, const VARIANT* src, VARTYPE vt) noexcept {
    if (result == nullptr || src == nullptr) return E_INVALIDARG;
    if (SameFoldedType(*src, vt)) return VariantCopy(result, src);
    return ConvertToOtherType(*result, *src, FoldIntegerAlias(vt));
}

HRESULT VariantChangeTypeEx(VARIANT* dest, const VARIANT* src, LCID, USHORT, VARTYPE vt) noexcept {
    if (dest == nullptr || src == nullptr) return E_INVALIDARG;
    if (KoAtlCom::detail::IsPlainVartype(src->vt) && KoAtlCom::detail::IsPlainVartype(vt)) {
        // A plain `dest` would only have its `vt` reset by VariantClear, so the
        // result goes straight into it.
        if (KoAtlCom::detail::IsPlainVartype(dest->vt)) return kScalarChangers[src->vt][vt](dest, *src);
        return ChangePlainIntoOwner(dest, *src, vt);
    }
    return ChangeType(dest, *src, vt);
}

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT, VARTYPE vt) noexcept {
    return VariantChangeTypeEx(dest, src, 0, 0, vt);
}
