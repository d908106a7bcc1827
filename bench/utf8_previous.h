// The decoder Utf8ToWideString had before its vector kernels, unchanged, as the
// baseline its benchmarks are judged against: the rules one sequence at a
// time, with runs of ASCII widened 16 bytes at a time (SSE2).
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace previous_utf8 {

static_assert(sizeof(wchar_t) == 4, "wide strings hold one 32-bit code point per element");

constexpr wchar_t kReplacement = 0xFFFD;

constexpr bool IsContinuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// Length of the sequence each first byte announces: 1 for ASCII, 2 to 4 for a
// lead byte, 0 for a byte that cannot start one (a continuation byte, 0xF8-0xFF).
constexpr std::array<std::uint8_t, 256> kSequenceLength = [] {
    std::array<std::uint8_t, 256> table{};
    for (int b = 0x00; b <= 0x7F; ++b) table[b] = 1;
    for (int b = 0xC0; b <= 0xDF; ++b) table[b] = 2;
    for (int b = 0xE0; b <= 0xEF; ++b) table[b] = 3;
    for (int b = 0xF0; b <= 0xF7; ++b) table[b] = 4;
    return table;
}();

constexpr bool IsSurrogate(std::uint32_t code) noexcept { return code >= 0xD800 && code <= 0xDFFF; }

// Widens the kBlock bytes at `p` into `w` and returns how many of them, from
// the first, are ASCII (at least one: the caller has seen p[0] is). The
// elements written past those are spare: they are overwritten later or cut off.
// The output never holds more elements than the input has bytes, so a whole
// block always fits wherever a whole block of input remains.
#if defined(__SSE2__)
constexpr std::size_t kBlock = 16;

inline std::size_t WidenAsciiBlock(const unsigned char* p, wchar_t* w) noexcept {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_unpacklo_epi8(bytes, zero);
    const __m128i high = _mm_unpackhi_epi8(bytes, zero);
    auto* out = reinterpret_cast<__m128i*>(w);
    _mm_storeu_si128(out, _mm_unpacklo_epi16(low, zero));
    _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(low, zero));
    _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(high, zero));
    _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(high, zero));
    const auto nonAscii = static_cast<unsigned>(_mm_movemask_epi8(bytes));
    return nonAscii == 0 ? kBlock : static_cast<std::size_t>(std::countr_zero(nonAscii));
}
#else
constexpr std::size_t kBlock = 8;

inline std::size_t WidenAsciiBlock(const unsigned char* p, wchar_t* w) noexcept {
    std::uint64_t group;
    std::memcpy(&group, p, sizeof group);
    for (std::size_t i = 0; i < kBlock; ++i) w[i] = static_cast<wchar_t>(p[i]);
    const std::uint64_t nonAscii = group & 0x8080808080808080u;
    return nonAscii == 0 ? kBlock : static_cast<std::size_t>(std::countr_zero(nonAscii)) / 8;
}
#endif

}  // namespace previous_utf8

// Every input byte yields at most one element, so the output is sized once to
// the input and cut to what was written; the loop never looks back and keeps no
// buffer of its own.
inline void PreviousUtf8ToWideString(const unsigned char* bytes, std::size_t count, std::wstring& out) {
    using namespace previous_utf8;
    out.clear();
    if (bytes == nullptr || count == 0) return;
    out.resize(count);
    wchar_t* const first = out.data();
    wchar_t* w = first;
    const unsigned char* p = bytes;
    const unsigned char* const end = bytes + count;

    while (p != end) {
        const auto remaining = static_cast<std::size_t>(end - p);
        const unsigned char b0 = *p;
        switch (kSequenceLength[b0]) {
            case 1:
                if (remaining >= kBlock) {
                    const std::size_t run = WidenAsciiBlock(p, w);
                    p += run;
                    w += run;
                } else {
                    *w++ = b0;
                    ++p;
                }
                continue;
            case 2:
                if (remaining >= 2 && IsContinuation(p[1])) {
                    *w++ = static_cast<wchar_t>(((b0 & 0x1Fu) << 6) | (p[1] & 0x3Fu));
                    p += 2;
                    continue;
                }
                break;
            case 3:
                if (remaining >= 3 && IsContinuation(p[1]) && IsContinuation(p[2])) {
                    const std::uint32_t code = ((b0 & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
                    p += 3;
                    if (!IsSurrogate(code)) *w++ = static_cast<wchar_t>(code);
                    continue;
                }
                break;
            case 4:
                if (remaining >= 4 && IsContinuation(p[1]) && IsContinuation(p[2]) && IsContinuation(p[3])) {
                    const std::uint32_t code =
                        ((b0 & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
                    p += 4;
                    if (!IsSurrogate(code) && code <= 0x10FFFF) *w++ = static_cast<wchar_t>(code);
                    continue;
                }
                break;
            default:
                break;
        }
        // Malformed: one replacement, and the next byte is looked at afresh.
        *w++ = kReplacement;
        ++p;
    }

    out.resize(static_cast<std::size_t>(w - first));
    // Text of multi-byte sequences fills at least a quarter of the room, so
    // only input that was largely dropped pays a copy to give the room back.
    if (out.size() < out.capacity() / 4) out.shrink_to_fit();
}
