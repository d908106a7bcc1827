// Typed accessors. A variant that already has the wanted type is read directly;
// any other goes through VariantChangeTypeEx into a zeroed temporary, so these
// deliver exactly what a type change delivers.
#include "automation/variant/accessors.h"

#include <cstring>
#include <cwchar>
#include <string>

#include "automation/memory.h"
#include "automation/strings/bstr_copy.h"
#include "automation/strings/utf8.h"
#include "automation/variant/convert.h"
#include "automation/variant/lifecycle.h"
#include "automation/variant/number.h"
#include "automation/vartypes.h"

namespace {

using KoAtlCom::detail::NumericClass;
using KoAtlCom::detail::NumericClassOf;
using KoAtlCom::detail::RowOf;

// A temporary that is cleared on every way out, exceptions included.
struct Temporary {
    VARIANT v{};
    Temporary() = default;
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    ~Temporary() { VariantClear(&v); }
};

// The value field of `v` changed to `wanted` by VariantChangeTypeEx into a
// zeroed temporary, its first `size` bytes stored in `out` on success. Kept
// out of line: inlined, its frame for the temporary is set up before the
// number paths too (VariantToInt32 of a VT_R8: 53 instructions a call with it,
// 36 without).
[[gnu::noinline]] HRESULT ReadConverted(const VARIANT* v, VARTYPE wanted, void* out, std::size_t size) noexcept {
    Temporary temp;
    const HRESULT hr = VariantChangeTypeEx(&temp.v, v, 0, 0, wanted);
    if (SUCCEEDED(hr)) std::memcpy(out, &temp.v.llVal, size);
    return hr;
}

// The number of `v` as type `wanted`, stored in *out (its width): read
// directly when `v` has exactly that type, converted as VariantChangeTypeEx
// converts when `v` holds another number, and through VariantChangeTypeEx for
// anything else. No local has its address taken, so the same-type read is one
// load and one store, without a frame.
template <class T>
HRESULT ReadAs(const VARIANT* v, VARTYPE wanted, T* out) noexcept {
    static_assert(sizeof(T) <= sizeof(VARIANT::llVal));
    if (out == nullptr) return E_POINTER;
    if (v == nullptr) return E_INVALIDARG;
    if (v->vt == wanted) {
        std::memcpy(out, &v->llVal, sizeof(T));  // the member
        return S_OK;
    }
    const auto number = KoAtlCom::detail::NumberOf(*v);
    if (number.type == NumericClass::None) return ReadConverted(v, wanted, out, sizeof(T));
    const std::uint64_t bits = KoAtlCom::detail::ValueBits(number, RowOf(wanted).number);
    std::memcpy(out, &bits, sizeof(T));  // the low bytes: the member
    return S_OK;
}

// A malloc block of `count` characters plus a terminating 0.
template <class Char>
Char* AllocateText(std::size_t count) noexcept {
    return static_cast<Char*>(KoAtlCom::detail::Malloc((count + 1) * sizeof(Char)));
}

// Converts `v` to VT_BSTR in `temp`. *out is set to null first.
template <class Char>
HRESULT ChangeToString(const VARIANT* v, Char** out, Temporary& temp) noexcept {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    return VariantChangeTypeEx(&temp.v, v, 0, 0, VT_BSTR);
}

}  // namespace

HRESULT VariantToDouble(const VARIANT* v, double* out) noexcept { return ReadAs(v, VT_R8, out); }
HRESULT VariantToFloat(const VARIANT* v, float* out) noexcept { return ReadAs(v, VT_R4, out); }
HRESULT VariantToInt8(const VARIANT* v, std::int8_t* out) noexcept { return ReadAs(v, VT_I1, out); }
HRESULT VariantToUInt8(const VARIANT* v, std::uint8_t* out) noexcept { return ReadAs(v, VT_UI1, out); }
HRESULT VariantToInt16(const VARIANT* v, std::int16_t* out) noexcept { return ReadAs(v, VT_I2, out); }
HRESULT VariantToUInt16(const VARIANT* v, std::uint16_t* out) noexcept { return ReadAs(v, VT_UI2, out); }
HRESULT VariantToInt32(const VARIANT* v, std::int32_t* out) noexcept { return ReadAs(v, VT_I4, out); }
HRESULT VariantToUInt32(const VARIANT* v, std::uint32_t* out) noexcept { return ReadAs(v, VT_UI4, out); }
HRESULT VariantToInt64(const VARIANT* v, std::int64_t* out) noexcept { return ReadAs(v, VT_I8, out); }
HRESULT VariantToUInt64(const VARIANT* v, std::uint64_t* out) noexcept { return ReadAs(v, VT_UI8, out); }

HRESULT VariantToStringAlloc(const VARIANT* v, char** out) {
    Temporary temp;
    HRESULT hr = ChangeToString(v, out, temp);
    if (FAILED(hr)) return hr;
    const char* text = KoAtlCom::detail::TextOf(temp.v.bstrVal);
    const std::size_t length = std::strlen(text);
    if (length == 0) return S_OK;
    char* block = AllocateText<char>(length);
    if (block == nullptr) return E_OUTOFMEMORY;
    std::memcpy(block, text, length);
    block[length] = '\0';
    *out = block;
    return S_OK;
}

HRESULT VariantToWideStringAlloc(const VARIANT* v, wchar_t** out) {
    Temporary temp;
    HRESULT hr = ChangeToString(v, out, temp);
    if (FAILED(hr)) return hr;
    std::wstring wide;
    if (temp.v.bstrVal != nullptr) {
        const char* text = temp.v.bstrVal;
        Utf8ToWideString(reinterpret_cast<const unsigned char*>(text), std::strlen(text), wide);
    }
    const std::size_t length = wide.size();
    if (length == 0) return S_OK;
    wchar_t* block = AllocateText<wchar_t>(length);
    if (block == nullptr) return E_OUTOFMEMORY;
    // A decoded U+0000 ends the visible text; the rest is zero-filled.
    std::wcsncpy(block, wide.c_str(), length);
    block[length] = L'\0';
    *out = block;
    return S_OK;
}

// Takes a 16- or 32-bit integer (VT_I1, VT_UI1, VT_I8, VT_UI8 and VT_BOOL are
// left alone) or a string, directly or by reference, at the value's own width.
HRESULT VariantToIntegerOrString(const VARIANT* v, std::uint64_t* integer, BSTR* string) noexcept {
    if (integer == nullptr || string == nullptr || *integer != 0 || *string == nullptr || v == nullptr)
        return E_INVALIDARG;
    const VARTYPE base = v->vt & ~VT_BYREF;
    const KoAtlCom::detail::TypeRow& row = RowOf(base);
    using KoAtlCom::detail::Number;
    const bool isInteger = row.number == Number::Signed16 || row.number == Number::Signed32 ||
                           row.number == Number::Unsigned16 || row.number == Number::Unsigned32;
    if (!isInteger && base != VT_BSTR) return S_OK;
    const bool byReference = (v->vt & VT_BYREF) != 0;
    if (byReference && v->byref == nullptr) return E_INVALIDARG;
    const void* value = byReference ? v->byref : &v->llVal;
    if (!isInteger) {
        std::memcpy(string, value, sizeof(BSTR));
        return S_OK;
    }
    VARIANT number{};
    number.vt = base;
    std::memcpy(&number.llVal, value, row.element);
    *integer = NumericClassOf(base) == NumericClass::Signed
                   ? static_cast<std::uint64_t>(KoAtlCom::detail::ReadSigned(number))
                   : KoAtlCom::detail::ReadUnsigned(number);
    return S_OK;
}
