// AVX-512 kernel of Utf8ToWideString (F, BW, VBMI, VBMI2): any valid text, a
// window of 64 bytes a step. Only this file's functions use these instructions,
// through their target attribute; the rest of the library stays plain x86-64,
// and the kernel is chosen only when the processor reports all four sets.
//
// One step, on the (up to) 64 bytes at the start of a sequence:
// - All 64 ASCII: each byte widens to its own code point, 16 per store.
// - Otherwise the bytes that are not continuation bytes (not 10xxxxxx) are the
//   first bytes. The step takes the sequences whose first byte lies before
//   `stop`: the last first byte of a full window (its sequence may run past the
//   window; the next step starts there), or the end of the input in a window
//   that reaches it. The stretch before `stop` is well formed exactly when
//   no first byte is 0xF8-0xFF and its continuation bytes are exactly those that
//   its lead bytes announce: one after each byte of 0xC0 and up, a second after
//   each of 0xE0 and up, a third after each of 0xF0 and up. A sequence that
//   runs into `stop`, one cut short, a stray or missing continuation byte all
//   break that equality. Such a step, and one whose stop is its first byte, is
//   left to the scalar decoder.
// - The first bytes' positions are packed in order (VBMI2 compress); for 16
//   sequences at a time each 32-bit lane gathers its sequence's four bytes from
//   there (VBMI byte permutation; bytes past a short sequence are ignored). The
//   lane is decoded as if it held four bytes, (b0 & m) << 18 | (b1 & 0x3F) << 12
//   | (b2 & 0x3F) << 6 | (b3 & 0x3F), then shifted right by 6 for each byte the
//   sequence lacks, which drops exactly the bits of the bytes that are not its
//   own; m (0x7F, 0x1F, 0x0F, 0x07) and the shift follow from b0's high four
//   bits. That is the scalar decoder's value for every length, over-long forms
//   included. A step in which a value is a surrogate or above U+10FFFF, which
//   the scalar decoder drops, is left to it too.
// Partial windows are loaded with a mask, so no byte past the input is read;
// masked stores write only the elements decoded.
#include "automation/strings/utf8_kernels.h"

#if defined(__x86_64__)
// GCC 12's AVX-512 header starts some intrinsics from a self-initialised
// vector, which its -Wuninitialized then reports (GCC bug 105593).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

#include <bit>
#include <cstdint>

#define ZENTREL_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2")))

namespace KoAtlCom::detail {
namespace {

// Decodes the sequences whose first bytes are at the positions `at` (bytes, in
// order; the low 16 used) of the window `bytes`, into out[0..lanes). Returns the
// lanes whose value the rules drop.
ZENTREL_AVX512 __mmask16 DecodeSixteen(__m512i bytes, __m128i at, __mmask16 lanes, wchar_t* out) noexcept {
    // Lane i gathers bytes at[i] .. at[i] + 3, the first lowest.
    const __m512i first = _mm512_cvtepu8_epi32(at);
    const __m512i index =
        _mm512_add_epi32(_mm512_mullo_epi32(first, _mm512_set1_epi32(0x01010101)), _mm512_set1_epi32(0x03020100));
    const __m512i x = _mm512_permutexvar_epi8(index, bytes);

    // By the high four bits of the first byte: the mask of its value bits, and
    // how far a four-byte decoding is shifted back (ASCII, a continuation byte
    // that cannot be first here, two, three and four bytes).
    const __m512i kLeadMask = _mm512_set_epi32(0x07, 0x0F, 0x1F, 0x1F, 0x7F, 0x7F, 0x7F, 0x7F,  //
                                               0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F);
    const __m512i kShift = _mm512_set_epi32(0, 6, 12, 12, 18, 18, 18, 18, 18, 18, 18, 18, 18, 18, 18, 18);
    const __m512i nibble = _mm512_and_si512(_mm512_srli_epi32(x, 4), _mm512_set1_epi32(0x0F));
    const __m512i low6 = _mm512_set1_epi32(0x3F);
    const __m512i lead = _mm512_and_si512(x, _mm512_permutexvar_epi32(nibble, kLeadMask));
    const __m512i second = _mm512_and_si512(_mm512_srli_epi32(x, 8), low6);
    const __m512i third = _mm512_and_si512(_mm512_srli_epi32(x, 16), low6);
    const __m512i fourth = _mm512_and_si512(_mm512_srli_epi32(x, 24), low6);
    const __m512i asFour = _mm512_or_si512(_mm512_or_si512(_mm512_slli_epi32(lead, 18), _mm512_slli_epi32(second, 12)),
                                           _mm512_or_si512(_mm512_slli_epi32(third, 6), fourth));
    const __m512i code = _mm512_srlv_epi32(asFour, _mm512_permutexvar_epi32(nibble, kShift));

    _mm512_mask_storeu_epi32(out, lanes, code);
    const __mmask16 surrogate = _mm512_mask_cmplt_epu32_mask(lanes, _mm512_sub_epi32(code, _mm512_set1_epi32(0xD800)),
                                                             _mm512_set1_epi32(0x800));
    const __mmask16 above = _mm512_mask_cmpgt_epu32_mask(lanes, code, _mm512_set1_epi32(0x10FFFF));
    return static_cast<__mmask16>(surrogate | above);
}

// The bytes among `among` that are `floor` or above.
ZENTREL_AVX512 __mmask64 AtLeast(__mmask64 among, __m512i bytes, unsigned char floor) noexcept {
    return _mm512_mask_cmpge_epu8_mask(among, bytes, _mm512_set1_epi8(static_cast<char>(floor)));
}

constexpr __mmask16 FirstLanes(int n) noexcept { return n >= 16 ? 0xFFFF : static_cast<__mmask16>((1u << n) - 1); }

}  // namespace

ZENTREL_AVX512 Utf8Cursor DecodeUtf8Avx512(const unsigned char* in, const unsigned char* end, wchar_t* out) noexcept {
    constexpr std::size_t kWindow = 64;
    const __m512i positions = _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48,  //
                                              47, 46, 45, 44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32,  //
                                              31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16,  //
                                              15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    while (in != end) {
        const auto left = static_cast<std::size_t>(end - in);
        const bool full = left >= kWindow;
        const __mmask64 present = full ? ~__mmask64{0} : (__mmask64{1} << left) - 1;
        const __m512i bytes = _mm512_maskz_loadu_epi8(present, in);

        if (full && _mm512_movepi8_mask(bytes) == 0) {
            auto* w = reinterpret_cast<__m512i*>(out);
            _mm512_storeu_si512(w, _mm512_cvtepu8_epi32(_mm512_castsi512_si128(bytes)));
            _mm512_storeu_si512(w + 1, _mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(bytes, 1)));
            _mm512_storeu_si512(w + 2, _mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(bytes, 2)));
            _mm512_storeu_si512(w + 3, _mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(bytes, 3)));
            in += kWindow;
            out += kWindow;
            continue;
        }

        const __mmask64 continuation =
            _mm512_cmpeq_epi8_mask(_mm512_and_si512(bytes, _mm512_set1_epi8(static_cast<char>(0xC0))),
                                   _mm512_set1_epi8(static_cast<char>(0x80)));
        const __mmask64 firsts = present & ~continuation;
        if (firsts == 0) break;
        const auto stop = static_cast<unsigned>(full ? 63 - std::countl_zero(firsts) : left);
        const __mmask64 before = (__mmask64{1} << stop) - 1;
        const __mmask64 leads = firsts & before;
        const __mmask64 announced = (AtLeast(leads, bytes, 0xC0) << 1) | (AtLeast(leads, bytes, 0xE0) << 2) |
                                    (AtLeast(leads, bytes, 0xF0) << 3);
        if (leads == 0 || AtLeast(leads, bytes, 0xF8) != 0 || announced != (continuation & before)) break;

        const int count = std::popcount(leads);
        const __m512i at = _mm512_maskz_compress_epi8(leads, positions);
        __mmask16 dropped = DecodeSixteen(bytes, _mm512_castsi512_si128(at), FirstLanes(count), out);
        if (count > 16)
            dropped |= DecodeSixteen(bytes, _mm512_extracti32x4_epi32(at, 1), FirstLanes(count - 16), out + 16);
        if (count > 32)
            dropped |= DecodeSixteen(bytes, _mm512_extracti32x4_epi32(at, 2), FirstLanes(count - 32), out + 32);
        if (count > 48)
            dropped |= DecodeSixteen(bytes, _mm512_extracti32x4_epi32(at, 3), FirstLanes(count - 48), out + 48);
        if (dropped != 0) break;
        in += stop;
        out += count;
    }
    return {in, out};
}

bool Avx512KernelSupported() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2");
}

}  // namespace KoAtlCom::detail
#endif
