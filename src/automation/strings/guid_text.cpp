#include "automation/strings/guid_text.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "automation/safearray/safearray.h"

#if ZENTREL_HAVE_UUID_TO_STRING
#include <uuid.h>
#include <cctype>
#include <cstdlib>
#endif

namespace {

// The text form, counted from the first digit (after a brace, if any).
constexpr std::size_t kTextLength = 36;
constexpr std::size_t kBracedLength = kTextLength + 2;
constexpr int kWritten = static_cast<int>(kBracedLength) + 1;  // the terminator included
constexpr std::array<std::size_t, 4> kDashes = {8, 13, 18, 23};

// The value of each character as a hexadecimal digit ('0'-'9', 'A'-'F',
// 'a'-'f'); -1 for every other character.
constexpr std::array<std::int8_t, 256> kDigitValues = [] {
    std::array<std::int8_t, 256> t{};
    t.fill(-1);
    for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<std::int8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<std::int8_t>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<std::int8_t>(c - 'a' + 10);
    return t;
}();

int DigitValue(char c) noexcept { return kDigitValues[static_cast<unsigned char>(c)]; }

// Reads the `count` hexadecimal digits at `p` as one number, most significant
// first, into *value; false at the first character that is no digit.
bool ReadHex(const char* p, int count, std::uint32_t* value) noexcept {
    std::uint32_t v = 0;
    for (int i = 0; i < count; ++i) {
        const int digit = DigitValue(p[i]);
        if (digit < 0) return false;
        v = v << 4 | static_cast<std::uint32_t>(digit);
    }
    *value = v;
    return true;
}

template <class T>
bool ReadHex(const char* p, int count, T* value) noexcept {
    std::uint32_t v;
    if (!ReadHex(p, count, &v)) return false;
    *value = static_cast<T>(v);
    return true;
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
    const char* p = text + (braced ? 1 : 0);
    for (std::size_t at : kDashes)
        if (p[at] != '-') return false;

    // The groups of 8, 4, 4 and 4 digits, then six pairs; Data4[0] and [1] are
    // the fourth group, high byte first.
    GUID parsed;
    bool digits = ReadHex(p, 8, &parsed.Data1) && ReadHex(p + 9, 4, &parsed.Data2) &&
                  ReadHex(p + 14, 4, &parsed.Data3) && ReadHex(p + 19, 2, &parsed.Data4[0]) &&
                  ReadHex(p + 21, 2, &parsed.Data4[1]);
    for (int i = 0; i < 6 && digits; ++i) digits = ReadHex(p + 24 + 2 * i, 2, &parsed.Data4[2 + i]);
    if (!digits) return false;
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
            if (array == nullptr || array->cDims != 1 || array->rgsabound[0].cElements != sizeof(GUID))
                return E_INVALIDARG;
            // The 16 bytes must lie in the data block the descriptor describes.
            if (array->pvData == nullptr || array->cbElements == 0 || guid == nullptr) return E_INVALIDARG;
            std::memcpy(guid, array->pvData, sizeof(GUID));
            return S_OK;
        }
        default:
            return E_INVALIDARG;
    }
}
