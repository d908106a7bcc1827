// Utf8ToWideString through every decoding path this processor has (the scalar
// decoder, SSE2, AVX-512) against the scalar decoder, and the scalar decoder
// against a reference that decodes one byte at a time by the plain rules,
// written here without any of the library's shortcuts.
//
// The first byte picks the text: the remaining bytes as they are, or valid
// UTF-8 built from them (code points of every length) with up to seven bytes
// then overwritten (each chosen by three bytes before the text's), so that the vector paths see long well-formed
// stretches with a few faults in them.
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "automation/strings/utf8.h"
#include "automation/strings/utf8_kernels.h"
#include "fuzz_input.h"

namespace {

bool IsContinuation(std::uint8_t b) { return b >= 0x80 && b <= 0xBF; }

std::wstring Reference(const std::uint8_t* data, std::size_t size) {
    std::wstring out;
    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t b0 = data[i];
        const std::size_t left = size - i;
        std::uint32_t code = 0;
        std::size_t length = 0;
        if (b0 < 0x80) {
            code = b0;
            length = 1;
        } else if (left < 2) {
            length = 0;
        } else if (b0 >= 0xC0 && b0 <= 0xDF && IsContinuation(data[i + 1])) {
            code = ((b0 & 0x1Fu) << 6) | (data[i + 1] & 0x3Fu);
            length = 2;
        } else if (left == 2) {
            length = 0;
        } else if (b0 >= 0xE0 && b0 <= 0xEF && IsContinuation(data[i + 1]) && IsContinuation(data[i + 2])) {
            code = ((b0 & 0x0Fu) << 12) | ((data[i + 1] & 0x3Fu) << 6) | (data[i + 2] & 0x3Fu);
            length = 3;
        } else if (left < 4) {
            length = 0;
        } else if (b0 >= 0xF0 && b0 <= 0xF7 && IsContinuation(data[i + 1]) && IsContinuation(data[i + 2]) &&
                   IsContinuation(data[i + 3])) {
            code = ((b0 & 0x07u) << 18) | ((data[i + 1] & 0x3Fu) << 12) | ((data[i + 2] & 0x3Fu) << 6) |
                   (data[i + 3] & 0x3Fu);
            length = 4;
        }
        if (length == 0) {
            out.push_back(static_cast<wchar_t>(0xFFFD));
            i += 1;
            continue;
        }
        i += length;
        if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) continue;
        out.push_back(static_cast<wchar_t>(code));
    }
    return out;
}

// Valid UTF-8 from the input. A byte picks what comes next by its top two
// bits: one ASCII character, a run of ASCII, or a code point of two bytes, or of
// three or four, whose value the next one or two input bytes complete.
std::vector<std::uint8_t> ValidText(FuzzInput& in) {
    std::vector<std::uint8_t> text;
    const auto put = [&text](std::initializer_list<std::uint32_t> bytes) {
        for (const std::uint32_t b : bytes) text.push_back(static_cast<std::uint8_t>(b));
    };
    while (!in.empty()) {
        const std::uint32_t kind = in.Byte();
        switch (kind >> 6) {
            case 0:
                put({kind});
                break;
            case 1:
                text.insert(text.end(), (kind & 0x3F) * 4, static_cast<std::uint8_t>('a' + kind % 26));
                break;
            case 2: {
                const std::uint32_t c = 0x80 + ((kind & 0x3F) << 8 | in.Byte()) % 0x780;
                put({0xC0 | c >> 6, 0x80 | (c & 0x3F)});
                break;
            }
            default: {
                const std::uint32_t middle = in.Byte();
                const std::uint32_t value = (kind & 0x1F) << 16 | middle << 8 | in.Byte();
                std::uint32_t c = kind & 0x20 ? 0x10000 + value % 0x100000 : 0x800 + value % 0xF800;
                if (c >= 0xD800 && c <= 0xDFFF) c += 0x800;  // no surrogates
                if (c < 0x10000)
                    put({0xE0 | c >> 12, 0x80 | (c >> 6 & 0x3F), 0x80 | (c & 0x3F)});
                else
                    put({0xF0 | c >> 18, 0x80 | (c >> 12 & 0x3F), 0x80 | (c >> 6 & 0x3F), 0x80 | (c & 0x3F)});
            }
        }
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t mode = in.Byte();
    std::vector<std::uint8_t> text;
    if ((mode & 1) == 0) {
        text.assign(data + (size != 0), data + size);
    } else {
        struct Fault {
            std::uint32_t at;
            std::uint8_t value;
        } faults[7];
        const int count = mode >> 1 & 7;
        for (int i = 0; i < count; ++i) {
            const std::uint32_t high = in.Byte();
            faults[i].at = high << 8 | in.Byte();
            faults[i].value = in.Byte();
        }
        text = ValidText(in);
        for (int i = 0; i < count && !text.empty(); ++i) text[faults[i].at % text.size()] = faults[i].value;
    }

    // A block of exactly the text's size, so that reading past it is caught.
    const std::size_t n = text.size();
    const std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[n == 0 ? 1 : n]);
    std::copy(text.begin(), text.end(), bytes.get());

    const auto paths = KoAtlCom::detail::SupportedUtf8Paths();
    std::wstring scalar = L"stale content";
    KoAtlCom::detail::Utf8ToWideStringVia(*paths.begin, bytes.get(), n, scalar);
    if (scalar != Reference(bytes.get(), n)) std::abort();
    // One string reused from path to path, as callers reuse theirs.
    std::wstring out(mode % 97, L'x');
    for (const auto* path = paths.begin; path != paths.end; ++path) {
        KoAtlCom::detail::Utf8ToWideStringVia(*path, bytes.get(), n, out);
        if (out != scalar) std::abort();
    }
    Utf8ToWideString(bytes.get(), n, out);
    if (out != scalar) std::abort();
    return 0;
}
