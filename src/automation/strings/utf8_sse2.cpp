// SSE2 kernel of Utf8ToWideString: runs of ASCII, 16 bytes a step.
//
// Each step loads 16 bytes and widens all of them to 32-bit elements (zero
// extension in two rounds of unpacking). An ASCII byte is its own code point,
// so when the sign bits of all 16 are clear the step is done; otherwise the
// bytes before the first one with its sign bit set are, and the kernel stops
// there, at the start of a sequence it leaves to the scalar decoder. The
// elements written past that point are spare room, overwritten later or cut
// off. Every x86-64 processor has SSE2, so this file needs no target of its own.
#include "automation/strings/utf8_kernels.h"

#if defined(__x86_64__)
#include <emmintrin.h>

#include <bit>

namespace KoAtlCom::detail {

Utf8Cursor DecodeUtf8Sse2(const unsigned char* in, const unsigned char* end, wchar_t* out) noexcept {
    constexpr std::ptrdiff_t kStep = 16;
    const __m128i zero = _mm_setzero_si128();
    while (end - in >= kStep) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i low = _mm_unpacklo_epi8(bytes, zero);
        const __m128i high = _mm_unpackhi_epi8(bytes, zero);
        auto* w = reinterpret_cast<__m128i*>(out);
        _mm_storeu_si128(w, _mm_unpacklo_epi16(low, zero));
        _mm_storeu_si128(w + 1, _mm_unpackhi_epi16(low, zero));
        _mm_storeu_si128(w + 2, _mm_unpacklo_epi16(high, zero));
        _mm_storeu_si128(w + 3, _mm_unpackhi_epi16(high, zero));
        const auto nonAscii = static_cast<unsigned>(_mm_movemask_epi8(bytes));
        if (nonAscii != 0) {
            const int run = std::countr_zero(nonAscii);
            return {in + run, out + run};
        }
        in += kStep;
        out += kStep;
    }
    return {in, out};
}

}  // namespace KoAtlCom::detail
#endif
