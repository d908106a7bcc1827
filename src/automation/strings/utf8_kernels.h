// Internal: the vector kernels of Utf8ToWideString and the choice among them.
//
// The rules of decoding live in utf8.cpp, in one sequence-at-a-time decoder that
// is also the reference the kernels are checked against. A kernel only speeds
// up text it can prove well formed: it decodes whole steps of valid sequences
// from the front of the input and stops before the first step that holds
// anything else (a malformed or cut-short sequence, a surrogate, a value above
// U+10FFFF), which the scalar decoder then takes. The SSE2 kernel is smaller: it
// widens runs of ASCII for the scalar decoder.
#pragma once

#include <cstddef>
#include <string>

namespace KoAtlCom::detail {

// Where a kernel stopped: the first byte it did not decode and the element
// after the last one it wrote. `in` is always the start of a sequence.
struct Utf8Cursor {
    const unsigned char* in;
    wchar_t* out;
};

// Decodes from `in` towards `end` into `out`, which has room for at least as
// many elements as bytes remain (every byte yields at most one element). A
// kernel may write spare elements past the returned `out` but within that room.
using Utf8Kernel = Utf8Cursor (*)(const unsigned char* in, const unsigned char* end, wchar_t* out) noexcept;

// Widens the run of ASCII at `in` (the caller has seen in[0] is ASCII and that
// at least kAsciiRun bytes remain before `end`) into `out`, and returns its
// length. Elements may be written past it, like a kernel's spare ones.
using AsciiRun = std::size_t (*)(const unsigned char* in, const unsigned char* end, wchar_t* out) noexcept;
inline constexpr std::size_t kAsciiRun = 16;

// A way through the input: the sequence-at-a-time decoder, with runs of ASCII
// widened by `asciiRun` if there is one, and ahead of it a kernel if there is
// one. After the kernel stopped, the decoder takes at least `step` bytes (the
// bytes the kernel looks at in one step) before the kernel runs again.
struct Utf8Path {
    const char* name;
    Utf8Kernel kernel;
    std::size_t step;
    AsciiRun asciiRun;
};

// 16 bytes of ASCII a step (SSE2, every x86-64 processor).
std::size_t WidenAsciiSse2(const unsigned char* in, const unsigned char* end, wchar_t* out) noexcept;
// 64 bytes of any valid text a step (AVX-512 F, BW, VBMI and VBMI2).
Utf8Cursor DecodeUtf8Avx512(const unsigned char* in, const unsigned char* end, wchar_t* out) noexcept;
bool Avx512KernelSupported() noexcept;

// The paths this processor can run, the scalar decoder first and the fastest
// last; Utf8ToWideString takes the last, chosen once.
struct Utf8Paths {
    const Utf8Path* begin;
    const Utf8Path* end;
};
Utf8Paths SupportedUtf8Paths() noexcept;

// Decodes as Utf8ToWideString does, through `path`.
void Utf8ToWideStringVia(const Utf8Path& path, const unsigned char* bytes, std::size_t count, std::wstring& out);

#if ZENTREL_FAULT_INJECTION
namespace fault {
// Tests: makes Utf8ToWideString take `path` (one of SupportedUtf8Paths) instead
// of the fastest; null restores the fastest.
void ForceUtf8Path(const Utf8Path* path) noexcept;
}  // namespace fault
#endif

}  // namespace KoAtlCom::detail
