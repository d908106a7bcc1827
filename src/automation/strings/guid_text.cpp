#include "automation/strings/guid_text.h"

#include <array>
#include <bit>
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

static_assert(std::endian::native == std::endian::little, "the digit groups are read as little-endian words");

constexpr std::uint64_t Bytes(std::uint8_t b) noexcept { return 0x0101010101010101u * b; }

// Eight hexadecimal digits read as one little-endian word (the first character
// in the low byte): returns their value, most significant digit first, and
// leaves a bit set in `invalid` when any byte is not '0'-'9', 'A'-'F' or 'a'-'f'.
// All bytes are tested at once: with the top bit of every byte clear, adding
// 0x80 - lo to a byte sets its top bit exactly when the byte is at least lo,
// and no carry crosses into the next byte. (A byte with its top bit set makes
// the word invalid anyway, so the carries it causes do not matter.)
inline std::uint32_t HexWord(std::uint64_t x, std::uint64_t& invalid) noexcept {
    constexpr std::uint64_t kTop = Bytes(0x80);
    const auto atLeast = [](std::uint64_t v, std::uint8_t lo) { return v + Bytes(0x80 - lo); };
    const std::uint64_t digit = atLeast(x, '0') & ~atLeast(x, '9' + 1);
    const std::uint64_t folded = x | Bytes(0x20);  // 'A'-'F' -> 'a'-'f'
    const std::uint64_t letter = atLeast(folded, 'a') & ~atLeast(folded, 'f' + 1);
    invalid |= (x & kTop) | (~(digit | letter) & kTop);

    // Digit values: the low nibble, plus 9 for letters (bit 6 set).
    std::uint64_t v = (x & Bytes(0x0F)) + ((x >> 6) & Bytes(0x01)) * 9;
    // Fold neighbours together: pairs of nibbles, then bytes, then halves.
    v = ((v << 4) | (v >> 8)) & 0x00FF00FF00FF00FFu;
    v = ((v << 8) | (v >> 16)) & 0x0000FFFF0000FFFFu;
    v = ((v << 16) | (v >> 32)) & 0x00000000FFFFFFFFu;
    return static_cast<std::uint32_t>(v);
}

std::uint64_t Load8(const char* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// Two runs of four characters joined as one word, `first` in the low half.
std::uint64_t Load4And4(const char* first, const char* second) noexcept {
    std::uint32_t a;
    std::uint32_t b;
    std::memcpy(&a, first, sizeof a);
    std::memcpy(&b, second, sizeof b);
    return a | (std::uint64_t{b} << 32);
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
    std::uint64_t invalid = 0;
    for (std::size_t at : kDashes) invalid |= static_cast<std::uint64_t>(p[at] != '-');
    // Groups of 4 digits are read in pairs, so that every read is 8 digits.
    const std::uint32_t data1 = HexWord(Load8(p), invalid);
    const std::uint32_t data2And3 = HexWord(Load4And4(p + 9, p + 14), invalid);
    const std::uint32_t data4Ends = HexWord(Load4And4(p + 19, p + 32), invalid);  // Data4[0..1], [6..7]
    const std::uint32_t data4Middle = HexWord(Load8(p + 24), invalid);            // Data4[2..5]
    if (invalid != 0) return false;

    GUID parsed;
    parsed.Data1 = data1;
    parsed.Data2 = static_cast<std::uint16_t>(data2And3 >> 16);
    parsed.Data3 = static_cast<std::uint16_t>(data2And3);
    const std::uint8_t data4[8] = {
        static_cast<std::uint8_t>(data4Ends >> 24),   static_cast<std::uint8_t>(data4Ends >> 16),
        static_cast<std::uint8_t>(data4Middle >> 24), static_cast<std::uint8_t>(data4Middle >> 16),
        static_cast<std::uint8_t>(data4Middle >> 8),  static_cast<std::uint8_t>(data4Middle),
        static_cast<std::uint8_t>(data4Ends >> 8),    static_cast<std::uint8_t>(data4Ends)};
    std::memcpy(parsed.Data4, data4, sizeof data4);
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
