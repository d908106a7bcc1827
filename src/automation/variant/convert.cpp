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
#include "automation/variant/vartype.h"

namespace {

using KoAtlCom::detail::FoldIntegerAlias;
using KoAtlCom::detail::kOtherSource;
using KoAtlCom::detail::kScalarConverters;
using KoAtlCom::detail::kScalarTargets;
using KoAtlCom::detail::ScalarConverter;
using KoAtlCom::detail::ScalarResult;

// Valid types without flags whose value owns nothing: VariantCopy of such a
// variant copies its 24 bytes and VariantClear only resets its `vt`.
constexpr std::uint32_t kPlainTypes = [] {
    std::uint32_t mask = 0;
    for (VARTYPE vt = 0; vt < 24; ++vt) {
        const bool owns = vt == VT_BSTR || vt == VT_DISPATCH || vt == VT_UNKNOWN;
        if (KoAtlCom::detail::VartypeRuleAccepts(vt) && !owns) mask |= 1u << vt;
    }
    return mask;
}();

constexpr bool IsPlain(VARTYPE vt) noexcept { return vt < 24 && ((kPlainTypes >> vt) & 1u) != 0; }

// `src` (of any type) converted for a target below 24 of another type.
ScalarResult ConvertScalarTo(const VARIANT& src, VARTYPE vt) noexcept {
    return kScalarConverters[src.vt < kOtherSource ? src.vt : kOtherSource][vt](src);
}

// The interface conversions: QueryInterface on the source pointer with the
// result's value field as the out-pointer. A null source gives null.
HRESULT QueryInto(VARIANT& result, IUnknown* source, REFIID iid) noexcept {
    result.punkVal = nullptr;
    if (source == nullptr) return S_OK;
    return source->QueryInterface(iid, reinterpret_cast<void**>(&result.punkVal));
}

// The scalar conversion for a target of another type than the source (after
// folding VT_INT and VT_UINT). Every success defines the value field: zero, or
// null for pointer targets that receive no interface.
HRESULT ConvertToOtherType(VARIANT& result, const VARIANT& src, VARTYPE vt) noexcept {
    if ((vt & VT_BYREF) != 0) {
        result.byref = nullptr;
        return S_OK;
    }
    if (vt >= kScalarTargets.size()) return vt == VT_RECORD ? E_NOTIMPL : DISP_E_TYPEMISMATCH;
    if (vt == VT_DISPATCH && src.vt == VT_UNKNOWN) return QueryInto(result, src.punkVal, IID_IDispatch);
    if (vt == VT_UNKNOWN && src.vt == VT_DISPATCH) return QueryInto(result, src.pdispVal, IID_IUnknown);
    const ScalarResult converted = ConvertScalarTo(src, vt);
    if (SUCCEEDED(converted.status)) result.ullVal = converted.bits;
    return converted.status;
}

bool SameFoldedType(const VARIANT& src, VARTYPE vt) noexcept {
    return FoldIntegerAlias(vt) == FoldIntegerAlias(src.vt & VT_TYPEMASK);
}

// Source and target own nothing: the temporaries of the general path would only
// hold copies of 24 plain bytes, so the conversion runs in registers. The
// result, the status and the state of `dest` are those of the general path.
// The record is held as three words in registers: one assembled on the stack
// from narrower stores and then copied whole would stall on store forwarding.
HRESULT ChangePlainType(VARIANT* dest, const VARIANT& src, VARTYPE vt) noexcept {
    static_assert(std::endian::native == std::endian::little && offsetof(VARIANT, vt) == 0);
    std::uint64_t head;  // vt and the reserved words
    std::uint64_t value;
    std::uint64_t tail;  // the second value word
    const ScalarConverter convert = kScalarConverters[src.vt][vt];
    if (convert == nullptr) {  // the same type
        std::memcpy(&head, &src, 8);
        std::memcpy(&value, &src.llVal, 8);
        std::memcpy(&tail, &src.pRecInfo, 8);
        head = (head & ~std::uint64_t{0xFFFF}) | vt;
    } else {
        const ScalarResult converted = convert(src);
        if (FAILED(converted.status)) return converted.status;
        head = vt;
        value = converted.bits;
        tail = 0;
    }
    if (!IsPlain(dest->vt)) {  // otherwise clearing it would only reset its `vt`
        const HRESULT hr = VariantClear(dest);
        if (FAILED(hr)) return hr;
    }
    std::memcpy(dest, &head, 8);
    std::memcpy(&dest->llVal, &value, 8);
    std::memcpy(&dest->pRecInfo, &tail, 8);
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
    if (IsPlain(src->vt) && IsPlain(vt)) return ChangePlainType(dest, *src, vt);
    return ChangeType(dest, *src, vt);
}

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT, VARTYPE vt) noexcept {
    return VariantChangeTypeEx(dest, src, 0, 0, vt);
}
