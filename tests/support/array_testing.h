// Helpers for the array tests: raw views of the descriptor block, owning
// handles and string makers. The variant builders are in variant_values.h.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "automation/automation.h"
#include "support/variant_values.h"

namespace zentrel::test {

inline const unsigned char* BlockOf(const SAFEARRAY* psa) { return reinterpret_cast<const unsigned char*>(psa) - 16; }

// The prefix's last 4 bytes: the VARTYPE word.
inline std::uint32_t PrefixWord(const SAFEARRAY* psa) {
    std::uint32_t word;
    std::memcpy(&word, BlockOf(psa) + 12, sizeof word);
    return word;
}

inline GUID PrefixIid(const SAFEARRAY* psa) {
    GUID iid;
    std::memcpy(&iid, BlockOf(psa), sizeof iid);
    return iid;
}

struct ArrayDestroyer {
    void operator()(SAFEARRAY* psa) const { EXPECT_EQ(S_OK, SafeArrayDestroy(psa)); }
};
using ArrayPtr = std::unique_ptr<SAFEARRAY, ArrayDestroyer>;

struct BstrFreer {
    void operator()(char* s) const { SysFreeString(s); }
};
using BstrPtr = std::unique_ptr<char, BstrFreer>;

// A string of exactly the bytes of `text` (NUL bytes included).
inline BSTR MakeBstr(const std::string& text) { return SysAllocStringLen(text.data(), static_cast<UINT>(text.size())); }

inline std::string BstrText(BSTR s) { return s == nullptr ? std::string("<null>") : std::string(s, SysStringLen(s)); }

template <class T>
T* DataOf(SAFEARRAY* psa) {
    return static_cast<T*>(psa->pvData);
}

}  // namespace zentrel::test
