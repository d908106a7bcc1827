// SSE2 kernel of Utf8ToWideString: runs of ASCII, 16 bytes a step, for the
// sequence-at-a-time decoder, which calls it on an ASCII byte with at least 16
// bytes left.
//
// Each step loads 16 bytes and widens all of them to 32-bit elements (zero
// extension in two rounds of unpacking). An ASCII byte is its own code point, so
// when no byte has its sign bit set the step is decoded and the next one
// follows while 16 bytes remain; otherwise the bytes before the first with its
// sign bit set are, and the decoder goes on from that byte. The elements
// written past the run are spare room, overwritten later or cut off. Every
// x86-64 processor has SSE2, so this file needs no target of its own.
#include "automation/strings/utf8_kernels.h"

#if defined(__x86_64__)
#include <emmintrin.h>

#include <bit>

namespace KoAtlCom::detail {

std::size_t WidenAsciiSse2(const unsigned char* in, const unsigned char* end, wchar_t* out) noexcept {
    static_assert(kAsciiRun == 16);
    const unsigned char* const first = in;
    const __m128i zero = _mm_setzero_si128();
    while (static_cast<std::size_t>(end - in) >= kAsciiRun) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i low = _mm_unpacklo_epi8(bytes, zero);
        const __m128i high = _mm_unpackhi_epi8(bytes, zero);
        auto* w = reinterpret_cast<__m128i*>(out);
        _mm_storeu_si128(w, _mm_unpacklo_epi16(low, zero));
        _mm_storeu_si128(w + 1, _mm_unpackhi_epi16(low, zero));
        _mm_storeu_si128(w + 2, _mm_unpacklo_epi16(high, zero));
        _mm_storeu_si128(w + 3, _mm_unpackhi_epi16(high, zero));
        const auto nonAscii = static_cast<unsigned>(_mm_movemask_epi8(bytes));
        if (nonAscii != 0) return static_cast<std::size_t>(in - first) + std::countr_zero(nonAscii);
        in += kAsciiRun;
        out += kAsciiRun;
    }
    return static_cast<std::size_t>(in - first);
}

}  // namespace KoAtlCom::detail
#endif
