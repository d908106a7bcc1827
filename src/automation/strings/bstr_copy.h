// The two copy rules that every holder of strings inside the library uses, and
// how it reads a string as text. Internal: not installed; callers copy strings
// with the functions of bstr.h.
#pragma once

#include "automation/strings/bstr.h"

namespace KoAtlCom::detail {

// BSTR copy: the length comes from the prefix, NUL bytes included; a null string
// or one of length 0 gives null. Null also when memory runs out.
BSTR BstrCopy(BSTR source) noexcept;

// The text of a string up to its first NUL; a null string reads as empty text.
inline const char* TextOf(BSTR s) noexcept { return s != nullptr ? s : ""; }

// BSTR text copy: SysAllocString of NUL-terminated text; null gives null, empty
// text gives a non-null empty string. Null for non-null text means no memory.
BSTR BstrTextCopy(LPCOLESTR text) noexcept;

}  // namespace KoAtlCom::detail
