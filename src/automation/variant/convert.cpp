// VariantChangeTypeEx and its scalar step. The general path copies the source
// into a temporary (resolving one by-reference level), converts into a second
// temporary and copies that into `dest`, so `dest` changes only on success.
// Values that own nothing take a shorter path with the same observable result.
#include "automation/variant/convert.h"

#include "automation/variant/lifecycle.h"
#include "automation/variant/numeric.h"
#include "automation/variant/vartype.h"

namespace {

using KoAtlCom::detail::FoldIntegerAlias;
using KoAtlCom::detail::kScalarTargets;
using KoAtlCom::detail::NumericClassOf;
using KoAtlCom::detail::TargetAction;

// A variant of this type owns nothing, so VariantCopy of it is a copy of its
// 24 bytes and VariantClear of it only resets `vt`: no flags, a base type below
// 24, and neither a string nor an interface.
constexpr bool OwnsNothing(VARTYPE vt) noexcept {
    constexpr std::uint32_t kOwning = (1u << VT_BSTR) | (1u << VT_DISPATCH) | (1u << VT_UNKNOWN);
    return vt < 24 && ((kOwning >> vt) & 1u) == 0;
}

// The interface conversions: QueryInterface on the source pointer with the
// result's value field as the out-pointer. A null source gives null.
HRESULT QueryInto(VARIANT& result, IUnknown* source, REFIID iid) noexcept {
    result.punkVal = nullptr;
    if (source == nullptr) return S_OK;
    return source->QueryInterface(iid, reinterpret_cast<void**>(&result.punkVal));
}

// The scalar conversion for a target of another type than the source (after
// folding VT_INT and VT_UINT). Every success defines the value field: where the
// conversion has no value to give, it is zeroed (null for pointer targets).
HRESULT ConvertToOtherType(VARIANT& result, const VARIANT& src, VARTYPE vt) noexcept {
    if ((vt & VT_BYREF) != 0) {
        result.byref = nullptr;
        return S_OK;
    }
    if (vt >= kScalarTargets.size()) return vt == VT_RECORD ? E_NOTIMPL : DISP_E_TYPEMISMATCH;

    const auto rule = kScalarTargets[vt];
    switch (rule.action) {
        case TargetAction::Number:
            KoAtlCom::detail::WriteNumber(result, src, NumericClassOf(src.vt), rule.number);
            return S_OK;
        case TargetAction::EmptyFromNull:
            if (src.vt == VT_NULL) return DISP_E_TYPEMISMATCH;
            [[fallthrough]];
        case TargetAction::Zero:
            result.ullVal = 0;
            return S_OK;
        case TargetAction::NotImplemented: return E_NOTIMPL;
        case TargetAction::QueryDispatch:
            if (src.vt != VT_UNKNOWN) break;
            return QueryInto(result, src.punkVal, IID_IDispatch);
        case TargetAction::QueryUnknown:
            if (src.vt != VT_DISPATCH) break;
            return QueryInto(result, src.pdispVal, IID_IUnknown);
        case TargetAction::Mismatch: return DISP_E_TYPEMISMATCH;
    }
    result.punkVal = nullptr;  // an interface target from any other source
    return S_OK;
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

bool SameFoldedType(const VARIANT& src, VARTYPE vt) noexcept {
    return FoldIntegerAlias(vt) == FoldIntegerAlias(src.vt & VT_TYPEMASK);
}

// Source and target own nothing: the temporaries of the general path would only
// hold copies of 24 plain bytes, so the conversion runs on the stack. The
// result, the status and the state of `dest` are those of the general path.
HRESULT ChangePlainType(VARIANT* dest, const VARIANT& src, VARTYPE vt) noexcept {
    VARIANT output{};
    if (SameFoldedType(src, vt)) {
        output = src;
    } else {
        const HRESULT hr = ConvertToOtherType(output, src, FoldIntegerAlias(vt));
        if (FAILED(hr)) return hr;
    }
    output.vt = vt;
    return MoveInto(dest, output);
}

}  // namespace

std::int64_t VariantReadSigned(const VARIANT* v) noexcept { return v != nullptr ? KoAtlCom::detail::ReadSigned(*v) : 0; }

std::uint64_t VariantReadUnsigned(const VARIANT* v) noexcept {
    return v != nullptr ? KoAtlCom::detail::ReadUnsigned(*v) : 0;
}

HRESULT VariantConvertScalar(VARIANT* result, const VARIANT* src, VARTYPE vt) noexcept {
    if (result == nullptr || src == nullptr) return E_INVALIDARG;
    if (SameFoldedType(*src, vt)) return VariantCopy(result, src);
    return ConvertToOtherType(*result, *src, FoldIntegerAlias(vt));
}

HRESULT VariantChangeTypeEx(VARIANT* dest, const VARIANT* src, LCID, USHORT, VARTYPE vt) noexcept {
    if (dest == nullptr || src == nullptr) return E_INVALIDARG;
    if (!KoAtlCom::detail::VartypeRuleAccepts(src->vt) || !KoAtlCom::detail::VartypeRuleAccepts(vt)) {
        return DISP_E_BADVARTYPE;
    }
    if ((src->vt & VT_BYREF) != 0 && src->byref == nullptr) return DISP_E_TYPEMISMATCH;
    if (OwnsNothing(src->vt) && OwnsNothing(vt)) return ChangePlainType(dest, *src, vt);

    // The result is copied out of the conversion's temporary (strings as text
    // copies, arrays once more) before `dest` is cleared, so that a failed
    // allocation leaves `dest` as it was.
    VARIANT input{};
    VARIANT output{};
    VARIANT result{};
    HRESULT hr = VariantCopyInd(&input, src);
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

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT, VARTYPE vt) noexcept {
    return VariantChangeTypeEx(dest, src, 0, 0, vt);
}
