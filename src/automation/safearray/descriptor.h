// What the descriptor of an array of a given VARTYPE carries, shared by the
// descriptor allocators, the creators and the vector builders of this folder.
#pragma once

#include "automation/safearray/safearray.h"

namespace KoAtlCom::detail {

// The kind bit an array of `vt` gets from the creators: FADF_BSTR, FADF_UNKNOWN,
// FADF_DISPATCH or FADF_VARIANT; 0 for every other type.
USHORT KindFeatureOf(VARTYPE vt) noexcept;

// The IID an interface array of `vt` carries in its prefix (IID_IUnknown for
// VT_UNKNOWN, IID_IDispatch for VT_DISPATCH); null for every other type, whose
// prefix holds the VARTYPE instead.
const IID* PrefixIidOf(VARTYPE vt) noexcept;

// Frees the descriptor block (the SAFEARRAY pointer minus 16) and nothing else.
void FreeDescriptorBlock(SAFEARRAY* psa) noexcept;

}  // namespace KoAtlCom::detail
