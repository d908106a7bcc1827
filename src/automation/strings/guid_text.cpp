#include "automation/strings/guid_text.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "automation/safearray/safearray.h"

#if ZENTREL_HAVE_UUID_TO_STRING
#include <cctype>
#include <cstdlib>
#include <uuid.h>
#endif

namespace {

// The text form, counted from the first digit (after a brace, if any).
constexpr std::size_t kTextLength = 36;
constexpr std::size_t kBracedLength = kTextLength + 2;
constexpr int kWritten = static_cast<int>(kBracedLength) + 1;  // the terminator included
constexpr std::array<std::size_t, 4> kDashes = {8, 13, 18, 23};

// Value of each byte as a hexadecimal digit; 0xFF for anything else, so that
// OR-ing the values of a run of characters exposes a bad one in the high bits.
constexpr std::array<std::uint8_t, 256> kHexValue = [] {
    std::array<std::uint8_t, 256> table{};
    table.fill(0xFF);
    for (int c = 0; c < 10; ++c) table['0' + c] = static_cast<std::uint8_t>(c);
    for (int c = 0; c < 6; ++c) {
        table['A' + c] = static_cast<std::uint8_t>(10 + c);
        table['a' + c] = static_cast<std::uint8_t>(10 + c);
    }
    return table;
}();

// Reads `N` hexadecimal digits at `p`, most significant first; an invalid digit
// leaves bits above 0x0F in `bad`.
template <int N>
std::uint32_t ReadHex(const unsigned char* p, unsigned& bad) noexcept {
    std::uint32_t value = 0;
    for (int i = 0; i < N; ++i) {
        const unsigned digit = kHexValue[p[i]];
        bad |= digit;
        value = (value << 4) | (digit & 0x0F);
    }
    return value;
}

#if !ZENTREL_HAVE_UUID_TO_STRING
constexpr char kUpperDigits[] = "0123456789ABCDEF";

// Writes `N` upper-case hexadecimal digits of `value`, most significant first.
template <int N>
char* WriteHex(char* out, std::uint32_t value) noexcept {
    for (int i = N - 1; i >= 0; --i) {
        out[i] = kUpperDigits[value & 0x0F];
        value >>= 4;
    }
    return out + N;
}

// The 36 characters of the text form, upper case.
void FormatText(const GUID& guid, char* out) noexcept {
    out = WriteHex<8>(out, guid.Data1);
    *out++ = '-';
    out = WriteHex<4>(out, guid.Data2);
    *out++ = '-';
    out = WriteHex<4>(out, guid.Data3);
    *out++ = '-';
    out = WriteHex<2>(out, guid.Data4[0]);
    out = WriteHex<2>(out, guid.Data4[1]);
    *out++ = '-';
    for (int i = 2; i < 8; ++i) out = WriteHex<2>(out, guid.Data4[i]);
}
#endif

}  // namespace

int StringFromGUID2(REFGUID guid, OLECHAR* buffer, int capacity) noexcept {
    if (capacity < kWritten || buffer == nullptr) return 0;
#if ZENTREL_HAVE_UUID_TO_STRING
    // The platform's uuid_t has the GUID's layout and byte order.
    static_assert(sizeof(uuid_t) == sizeof(GUID));
    uuid_t platform;
    std::memcpy(&platform, &guid, sizeof platform);
    char* text = nullptr;
    std::uint32_t status = 0;
    uuid_to_string(&platform, &text, &status);
    if (status != 0 || text == nullptr || std::strlen(text) != kTextLength) {
        std::free(text);
        return 0;
    }
    buffer[0] = '{';
    for (std::size_t i = 0; i < kTextLength; ++i)
        buffer[1 + i] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    std::free(text);
#else
    buffer[0] = '{';
    FormatText(guid, buffer + 1);
#endif
    buffer[kBracedLength - 1] = '}';
    buffer[kBracedLength] = '\0';
    return kWritten;
}

bool GUIDFromString(LPCOLESTR text, GUID* guid) noexcept {
    if (guid == nullptr) return false;
    if (text == nullptr || text[0] == '\0') {
        *guid = GUID{};
        return true;
    }
    // Bounded measure: anything longer than the braced form fails anyway, and
    // nothing past the terminator is ever read.
    const bool braced = text[0] == '{';
    const std::size_t length = ::strnlen(text, kBracedLength + 1);
    if (length != (braced ? kBracedLength : kTextLength)) return false;
    if (braced && text[kBracedLength - 1] != '}') return false;

    const auto* p = reinterpret_cast<const unsigned char*>(text) + (braced ? 1 : 0);
    bool dashes = true;
    for (std::size_t at : kDashes) dashes &= p[at] == '-';
    unsigned bad = 0;
    GUID parsed;
    parsed.Data1 = ReadHex<8>(p, bad);
    parsed.Data2 = static_cast<std::uint16_t>(ReadHex<4>(p + 9, bad));
    parsed.Data3 = static_cast<std::uint16_t>(ReadHex<4>(p + 14, bad));
    parsed.Data4[0] = static_cast<std::uint8_t>(ReadHex<2>(p + 19, bad));
    parsed.Data4[1] = static_cast<std::uint8_t>(ReadHex<2>(p + 21, bad));
    for (int i = 0; i < 6; ++i) parsed.Data4[2 + i] = static_cast<std::uint8_t>(ReadHex<2>(p + 24 + 2 * i, bad));
    if (!dashes || bad > 0x0F) return false;
    *guid = parsed;
    return true;
}

HRESULT VariantToGUID(const VARIANT* variant, GUID* guid) noexcept {
    if (variant == nullptr) return E_INVALIDARG;
    switch (variant->vt) {
        case VT_BSTR:
            return GUIDFromString(variant->bstrVal, guid) ? S_OK : E_FAIL;
        case VT_LPWSTR:
            return E_NOTIMPL;
        case VT_CLSID: {
            const auto* source = static_cast<const GUID*>(variant->byref);
            if (source == nullptr || guid == nullptr) return E_INVALIDARG;
            std::memcpy(guid, source, sizeof(GUID));
            return S_OK;
        }
        case VT_ARRAY | VT_UI1: {
            const SAFEARRAY* array = variant->parray;
            if (array == nullptr || array->cDims != 1 || array->rgsabound[0].cElements != sizeof(GUID)) return E_INVALIDARG;
            if (array->pvData == nullptr || guid == nullptr) return E_INVALIDARG;
            std::memcpy(guid, array->pvData, sizeof(GUID));
            return S_OK;
        }
        default:
            return E_INVALIDARG;
    }
}
