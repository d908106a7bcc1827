// UTF-8 to wide-string decoding. Never fails on malformed input: a byte that
// cannot start a sequence becomes U+FFFD; a decoded surrogate or a value above
// U+10FFFF is dropped; over-long forms are accepted.
#pragma once

#include <cstddef>
#include <string>

// Replaces `out` by the code points of the `count` bytes at `bytes` (a NUL byte
// is an ordinary character). Null bytes or a zero count give an empty string.
// Only running out of memory throws (std::bad_alloc).
void Utf8ToWideString(const unsigned char* bytes, std::size_t count, std::wstring& out);
