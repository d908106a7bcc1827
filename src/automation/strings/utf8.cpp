#include "automation/strings/utf8.h"

#include <cstdint>
#include <cstring>

namespace {

static_assert(sizeof(wchar_t) == 4, "wide strings hold one 32-bit code point per element");

constexpr wchar_t kReplacement = 0xFFFD;
constexpr std::uint64_t kHighBits = 0x8080808080808080u;

constexpr bool IsContinuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// Length of the sequence a first byte announces (2 to 4), or 0 for a byte that
// cannot start one: a continuation byte or 0xF8-0xFF. ASCII is handled before.
constexpr unsigned SequenceLength(unsigned char b0) noexcept {
    if (b0 >= 0xC0 && b0 <= 0xDF) return 2;
    if (b0 >= 0xE0 && b0 <= 0xEF) return 3;
    if (b0 >= 0xF0 && b0 <= 0xF7) return 4;
    return 0;
}

// Copies the ASCII run at the front of [p, end) into `w` eight bytes at a time
// and returns how many bytes it took; stops before the first group of eight
// that holds a byte of 0x80 or above.
std::size_t CopyAsciiRun(const unsigned char* p, const unsigned char* end, wchar_t* w) noexcept {
    std::size_t taken = 0;
    while (static_cast<std::size_t>(end - p) - taken >= 8) {
        std::uint64_t group;
        std::memcpy(&group, p + taken, sizeof group);
        if ((group & kHighBits) != 0) break;
        for (int i = 0; i < 8; ++i) w[taken + i] = static_cast<wchar_t>(p[taken + i]);
        taken += 8;
    }
    return taken;
}

}  // namespace

// Every input byte yields at most one element, so the output is sized once to
// the input and cut to what was written; the loop never looks back and keeps no
// buffer of its own.
void Utf8ToWideString(const unsigned char* bytes, std::size_t count, std::wstring& out) {
    out.clear();
    if (bytes == nullptr || count == 0) return;
    out.resize(count);
    wchar_t* const first = out.data();
    wchar_t* w = first;
    const unsigned char* p = bytes;
    const unsigned char* const end = bytes + count;

    while (p != end) {
        const unsigned char b0 = *p;
        if (b0 < 0x80) {
            const std::size_t run = CopyAsciiRun(p, end, w);
            if (run != 0) {
                p += run;
                w += run;
            } else {
                *w++ = b0;
                ++p;
            }
            continue;
        }
        const unsigned length = SequenceLength(b0);
        const auto remaining = static_cast<std::size_t>(end - p);
        bool wellFormed = length != 0 && remaining >= length;
        for (unsigned i = 1; wellFormed && i < length; ++i) wellFormed = IsContinuation(p[i]);
        if (!wellFormed) {
            *w++ = kReplacement;
            ++p;
            continue;
        }
        // The first byte keeps 7 - length bits; each continuation byte adds 6.
        std::uint32_t code = b0 & (0x7Fu >> length);
        for (unsigned i = 1; i < length; ++i) code = (code << 6) | (p[i] & 0x3Fu);
        p += length;
        const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
        if (!surrogate && code <= 0x10FFFF) *w++ = static_cast<wchar_t>(code);
    }

    out.resize(static_cast<std::size_t>(w - first));
    // Keep no more spare room than ordinary growth would have left.
    if (out.size() < out.capacity() / 2) out.shrink_to_fit();
}
