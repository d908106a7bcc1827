// Typed accessors. A variant that already has the wanted type is read directly;
// any other goes through VariantChangeTypeEx into a zeroed temporary, so these
// deliver exactly what a type change delivers.
#include "automation/variant/accessors.h"

#include <array>
#include <cstring>
#include <cwchar>
#include <string>

#include "automation/memory.h"
#include "automation/strings/utf8.h"
#include "automation/variant/convert.h"
#include "automation/variant/lifecycle.h"
#include "automation/variant/numeric.h"
#include "automation/variant/type_table.h"

namespace {

// A temporary that is cleared on every way out, exceptions included.
struct Temporary {
    VARIANT v{};
    Temporary() = default;
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    ~Temporary() { VariantClear(&v); }
};

// Any variant through VariantChangeTypeEx into a zeroed temporary. Kept out of
// line so that the direct paths of ReadAs need no stack frame.
template <VARTYPE Wanted, class T>
[[gnu::noinline]] HRESULT ReadConverted(const VARIANT* v, T* out) noexcept {
    Temporary temp;
    const HRESULT hr = VariantChangeTypeEx(&temp.v, v, 0, 0, Wanted);
    if (SUCCEEDED(hr)) std::memcpy(out, &temp.v.llVal, sizeof(T));
    return hr;
}

// Stores the number of a variant of type From, converted to Wanted, in the
// output (Wanted's width), by the conversion that VariantChangeTypeEx makes
// (for VT_INT to VT_I4 and VT_UINT to VT_UI4 it gives the same bits as their
// same-type copy). One entry per source type with a number, instantiated for
// it, so a read is one indirect jump.
using NumberReader = HRESULT (*)(const VARIANT&, void* out) noexcept;

template <VARTYPE From, VARTYPE Wanted>
HRESULT ReadNumberAs(const VARIANT& v, void* out) noexcept {
    constexpr auto rule = KoAtlCom::detail::kScalarTargets[Wanted].number;
    const std::uint64_t bits = KoAtlCom::detail::NumberBits(v, From, rule);
    std::memcpy(out, &bits, rule.width);
    return S_OK;
}

template <VARTYPE Wanted>
constexpr auto kNumberReaders = KoAtlCom::detail::TypeTable<24>([]<VARTYPE From>() -> NumberReader {
    if constexpr (KoAtlCom::detail::NumericClassOf(From) != KoAtlCom::detail::NumericClass::None) {
        return &ReadNumberAs<From, Wanted>;
    } else {
        return nullptr;
    }
});

template <VARTYPE Wanted, class T>
HRESULT ReadAs(const VARIANT* v, T* out) noexcept {
    static_assert(sizeof(T) <= sizeof(VARIANT::llVal));
    if (out == nullptr) return E_POINTER;
    if (v == nullptr) return E_INVALIDARG;
    const VARTYPE vt = v->vt;
    if (vt == Wanted) {
        std::memcpy(out, &v->llVal, sizeof(T));
        return S_OK;
    }
    // A plain number converts without temporaries.
    static_assert(sizeof(T) == KoAtlCom::detail::kScalarTargets[Wanted].number.width);
    if (vt < kNumberReaders<Wanted>.size() && kNumberReaders<Wanted>[vt] != nullptr) {
        return kNumberReaders<Wanted>[vt](*v, out);
    }
    return ReadConverted<Wanted>(v, out);
}

// The text of a string result, up to its first NUL; null counts as empty.
const char* TextOf(const VARIANT& v) noexcept { return v.bstrVal != nullptr ? v.bstrVal : ""; }

// Converts `v` to VT_BSTR in `temp`. *out is set to null first.
template <class Char>
HRESULT ChangeToString(const VARIANT* v, Char** out, Temporary& temp) noexcept {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    return VariantChangeTypeEx(&temp.v, v, 0, 0, VT_BSTR);
}

// A malloc block of `count` characters plus a terminating 0.
template <class Char>
Char* AllocateText(std::size_t count) noexcept {
    return static_cast<Char*>(KoAtlCom::detail::Malloc((count + 1) * sizeof(Char)));
}

}  // namespace

HRESULT VariantToDouble(const VARIANT* v, double* out) noexcept { return ReadAs<VT_R8>(v, out); }
HRESULT VariantToFloat(const VARIANT* v, float* out) noexcept { return ReadAs<VT_R4>(v, out); }
HRESULT VariantToInt8(const VARIANT* v, std::int8_t* out) noexcept { return ReadAs<VT_I1>(v, out); }
HRESULT VariantToUInt8(const VARIANT* v, std::uint8_t* out) noexcept { return ReadAs<VT_UI1>(v, out); }
HRESULT VariantToInt16(const VARIANT* v, std::int16_t* out) noexcept { return ReadAs<VT_I2>(v, out); }
HRESULT VariantToUInt16(const VARIANT* v, std::uint16_t* out) noexcept { return ReadAs<VT_UI2>(v, out); }
HRESULT VariantToInt32(const VARIANT* v, std::int32_t* out) noexcept { return ReadAs<VT_I4>(v, out); }
HRESULT VariantToUInt32(const VARIANT* v, std::uint32_t* out) noexcept { return ReadAs<VT_UI4>(v, out); }
HRESULT VariantToInt64(const VARIANT* v, std::int64_t* out) noexcept { return ReadAs<VT_I8>(v, out); }
HRESULT VariantToUInt64(const VARIANT* v, std::uint64_t* out) noexcept { return ReadAs<VT_UI8>(v, out); }

HRESULT VariantToStringAlloc(const VARIANT* v, char** out) {
    Temporary temp;
    HRESULT hr = ChangeToString(v, out, temp);
    if (FAILED(hr)) return hr;
    const char* text = TextOf(temp.v);
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

namespace {

// What VariantToIntegerOrString takes from a variant of a base type, directly
// or by reference.
enum class Slot : std::uint8_t { None, Signed16, Signed32, Unsigned16, Unsigned32, String };

constexpr std::array<Slot, 24> kSlots = [] {
    std::array<Slot, 24> t{};
    t[VT_I2] = Slot::Signed16;
    t[VT_I4] = t[VT_INT] = Slot::Signed32;
    t[VT_UI2] = Slot::Unsigned16;
    t[VT_UI4] = t[VT_UINT] = Slot::Unsigned32;
    t[VT_BSTR] = Slot::String;
    return t;
}();

template <class T>
std::uint64_t Widen(const void* value) noexcept {
    T x;
    std::memcpy(&x, value, sizeof x);
    return static_cast<std::uint64_t>(x);  // sign-extends a signed T
}

}  // namespace

HRESULT VariantToIntegerOrString(const VARIANT* v, std::uint64_t* integer, BSTR* string) noexcept {
    if (integer == nullptr || string == nullptr || *integer != 0 || *string == nullptr || v == nullptr)
        return E_INVALIDARG;
    const VARTYPE base = v->vt & ~VT_BYREF;
    const Slot slot = base < kSlots.size() ? kSlots[base] : Slot::None;
    if (slot == Slot::None) return S_OK;
    const bool byReference = (v->vt & VT_BYREF) != 0;
    if (byReference && v->byref == nullptr) return E_INVALIDARG;
    const void* value = byReference ? v->byref : &v->llVal;
    switch (slot) {
        case Slot::Signed16:
            *integer = Widen<std::int16_t>(value);
            break;
        case Slot::Signed32:
            *integer = Widen<std::int32_t>(value);
            break;
        case Slot::Unsigned16:
            *integer = Widen<std::uint16_t>(value);
            break;
        case Slot::Unsigned32:
            *integer = Widen<std::uint32_t>(value);
            break;
        case Slot::String:
            std::memcpy(string, value, sizeof(BSTR));
            break;
        case Slot::None:
            break;
    }
    return S_OK;
}
