// Utf8ToWideString against a reference that decodes one byte at a time by the
// plain rules, written here without any of the library's shortcuts.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "automation/strings/utf8.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::wstring out = L"stale content";
    Utf8ToWideString(data, size, out);
    if (out != Reference(data, size)) std::abort();
    return 0;
}
