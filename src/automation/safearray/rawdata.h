// Internals of raw data access shared by the byte-vector builders.
#pragma once

#include "automation/safearray/safearray.h"

namespace KoAtlCom::detail {

// The raw data of a variant (VariantGetRawData) without changing it: the
// address and 32-bit byte size of the storage behind its value. E_INVALIDARG
// for a type without raw data, a null array or a null reference that would
// have to be followed; *size may already hold 4 for VT_INT and VT_UINT.
HRESULT RawDataOf(const VARIANT& variant, ULONG* size, void** data) noexcept;

}  // namespace KoAtlCom::detail
