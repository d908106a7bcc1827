// The two copy rules that every holder of strings inside the library uses.
// Internal: not installed; callers copy strings with the functions of bstr.h.
#pragma once

#include "automation/strings/bstr.h"

namespace KoAtlCom::detail {

// BSTR copy: the length comes from the prefix, NUL bytes included; a null string
// or one of length 0 gives null. Null also when memory runs out.
BSTR BstrCopy(BSTR source) noexcept;

// BSTR text copy: SysAllocString of NUL-terminated text; null gives null, empty
// text gives a non-null empty string. Null for non-null text means no memory.
BSTR BstrTextCopy(LPCOLESTR text) noexcept;

}  // namespace KoAtlCom::detail
