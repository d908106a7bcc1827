// The rules of UTF-8 decoding, one sequence at a time, and the loop that lets a
// vector kernel (utf8_kernels.h) take the well-formed stretches between them.
#include "automation/strings/utf8.h"

#include <array>
#include <cstdint>

#include "automation/strings/utf8_kernels.h"

#if ZENTREL_FAULT_INJECTION
#include <atomic>
#endif

namespace KoAtlCom::detail {
namespace {

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

// Decodes the sequences that start before `stop`; the last one may run on to
// `end`, the end of the input. This is the whole decoder on its own (with `stop`
// at `end` and no `asciiRun`), and what takes over wherever a kernel stops.
Utf8Cursor DecodeScalar(AsciiRun asciiRun, const unsigned char* p, const unsigned char* stop, const unsigned char* end,
                        wchar_t* w) noexcept {
    while (p < stop) {
        const auto remaining = static_cast<std::size_t>(end - p);
        const unsigned char b0 = *p;
        switch (kSequenceLength[b0]) {
            case 1:
                if (asciiRun != nullptr && remaining >= kAsciiRun) {
                    const std::size_t run = asciiRun(p, end, w);
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
    return {p, w};
}

constexpr std::size_t kWhole = static_cast<std::size_t>(-1);

struct PathList {
    std::array<Utf8Path, 3> paths{};
    std::size_t count = 0;
};

PathList FindPaths() noexcept {
    PathList list;
    list.paths[list.count++] = {"scalar", nullptr, kWhole, nullptr};
#if defined(__x86_64__)
    list.paths[list.count++] = {"sse2", nullptr, kWhole, WidenAsciiSse2};
    if (Avx512KernelSupported()) list.paths[list.count++] = {"avx512", DecodeUtf8Avx512, 64, nullptr};
#endif
    return list;
}

#if ZENTREL_FAULT_INJECTION
std::atomic<const Utf8Path*> gForcedPath{nullptr};
#endif

const Utf8Path& ChosenPath() noexcept {
#if ZENTREL_FAULT_INJECTION
    if (const Utf8Path* forced = gForcedPath.load(std::memory_order_relaxed)) return *forced;
#endif
    static const Utf8Path& fastest = *(SupportedUtf8Paths().end - 1);
    return fastest;
}

}  // namespace

Utf8Paths SupportedUtf8Paths() noexcept {
    static const PathList list = FindPaths();
    return {list.paths.data(), list.paths.data() + list.count};
}

#if ZENTREL_FAULT_INJECTION
void fault::ForceUtf8Path(const Utf8Path* path) noexcept { gForcedPath.store(path, std::memory_order_relaxed); }
#endif

// Every input byte yields at most one element, so the output is sized once to
// the input and cut to what was written.
void Utf8ToWideStringVia(const Utf8Path& path, const unsigned char* bytes, std::size_t count, std::wstring& out) {
    if (bytes == nullptr || count == 0) {
        out.clear();
        return;
    }
    // Elements the string already holds are overwritten, not zeroed first; a
    // string too small is emptied first, so that a failed allocation leaves it
    // empty.
    if (out.capacity() < count) out.clear();
    out.resize(count);
    wchar_t* const first = out.data();
    const unsigned char* const end = bytes + count;
    Utf8Cursor at{bytes, first};
    while (at.in != end) {
        if (path.kernel != nullptr) {
            at = path.kernel(at.in, end, at.out);
            if (at.in == end) break;
        }
        // What the kernel left (or everything, without one) goes through the
        // rules for one kernel step at least.
        const auto left = static_cast<std::size_t>(end - at.in);
        at = DecodeScalar(path.asciiRun, at.in, left > path.step ? at.in + path.step : end, end, at.out);
    }

    out.resize(static_cast<std::size_t>(at.out - first));
    // Text of multi-byte sequences fills at least a quarter of the room, so
    // only input that was largely dropped pays a copy to give the room back.
    if (out.size() < out.capacity() / 4) out.shrink_to_fit();
}

}  // namespace KoAtlCom::detail

void Utf8ToWideString(const unsigned char* bytes, std::size_t count, std::wstring& out) {
    KoAtlCom::detail::Utf8ToWideStringVia(KoAtlCom::detail::ChosenPath(), bytes, count, out);
}
