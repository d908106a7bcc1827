#include "automation/strings/bstr.h"

#include <cstring>
#include <limits>

#include "automation/memory.h"
#include "automation/strings/bstr_copy.h"

namespace {

constexpr std::size_t kPrefix = sizeof(std::uint32_t);
constexpr std::size_t kMaxLength = std::numeric_limits<UINT>::max();

// One block of length + 5 bytes: the prefix, `length` characters, one NUL.
// The characters are left for the caller to fill; the terminator is written.
BSTR AllocateBlock(std::size_t length) noexcept {
    auto* block = static_cast<unsigned char*>(KoAtlCom::detail::Malloc(length + kPrefix + 1));
    if (block == nullptr) return nullptr;
    const auto prefix = static_cast<std::uint32_t>(length);
    std::memcpy(block, &prefix, kPrefix);
    block[kPrefix + length] = 0;
    return reinterpret_cast<BSTR>(block + kPrefix);
}

BSTR AllocateCopy(const char* src, std::size_t length) noexcept {
    BSTR s = AllocateBlock(length);
    if (s == nullptr) return nullptr;
    return static_cast<BSTR>(std::memcpy(s, src, length));  // a tail call; returns `s`
}

// True when the `length` bytes at `text` lie anywhere inside the block of `s`.
bool Overlaps(BSTR s, const char* text, std::size_t length) noexcept {
    if (s == nullptr) return false;
    const auto begin = reinterpret_cast<std::uintptr_t>(s) - kPrefix;
    const auto end = reinterpret_cast<std::uintptr_t>(s) + SysStringLen(s) + 1;
    const auto first = reinterpret_cast<std::uintptr_t>(text);
    return first < end && first + length > begin;
}

}  // namespace

void SysFreeString(BSTR s) noexcept {
    if (s != nullptr) KoAtlCom::detail::Free(s - kPrefix);
}

UINT SysStringLen(BSTR s) noexcept {
    if (s == nullptr) return 0;
    std::uint32_t length;
    std::memcpy(&length, s - kPrefix, kPrefix);
    return length;
}

UINT SysStringByteLen(BSTR s) noexcept { return SysStringLen(s); }

BSTR SysAllocString(LPCOLESTR text) noexcept {
    if (text == nullptr) return nullptr;
    const std::size_t length = std::strlen(text);
    if (length > kMaxLength) return nullptr;  // does not fit the length prefix
    return AllocateCopy(text, length);
}

BSTR SysAllocStringLen(LPCOLESTR src, UINT count) noexcept {
    if (count == 0) return nullptr;
    BSTR s = AllocateBlock(count);
    if (s == nullptr) return nullptr;
    // Either fill ends in a tail call; both return `s`.
    return static_cast<BSTR>(src != nullptr ? std::memcpy(s, src, count) : std::memset(s, 0, count));
}

BSTR SysAllocStringByteLen(const char* src, UINT count) noexcept { return SysAllocStringLen(src, count); }

INT SysReAllocString(BSTR* var, LPCOLESTR text) noexcept {
    if (var == nullptr || text == nullptr) return FALSE;
    const std::size_t length = std::strlen(text);
    if (length > kMaxLength) return FALSE;  // refused: nothing is released
    if (Overlaps(*var, text, length + 1)) {
        // The text lives in the string being replaced: copy it before the old
        // block goes. Failure leaves the variable null, as on the usual path.
        BSTR copy = AllocateCopy(text, length);
        SysFreeString(*var);
        *var = copy;
    } else {
        SysFreeString(*var);
        *var = AllocateCopy(text, length);
    }
    return *var != nullptr ? TRUE : FALSE;
}

INT SysReAllocStringLen(BSTR* var, LPCOLESTR src, UINT count) noexcept {
    if (var == nullptr || src == nullptr || count == 0) return FALSE;
    if (::strnlen(src, count) < count) return FALSE;
    // Allocating and copying before the old string is released keeps a source
    // that lies inside *var intact.
    BSTR copy = AllocateCopy(src, count);
    if (copy == nullptr) return FALSE;
    SysFreeString(*var);
    *var = copy;
    return TRUE;
}

namespace KoAtlCom::detail {

BSTR BstrCopy(BSTR source) noexcept { return SysAllocStringLen(source, SysStringLen(source)); }

BSTR BstrTextCopy(LPCOLESTR text) noexcept { return SysAllocString(text); }

}  // namespace KoAtlCom::detail
