// Resizing an array's last dimension.
#pragma once

#include "automation/safearray/safearray.h"

// Changes the count and lower bound of the caller's last dimension
// (rgsabound[0], the largest stride): shrinking releases the dropped tail and
// keeps the block; growing moves the data to a new block whose added elements
// are zero. Checked in this order: E_INVALIDARG for a null array,
// FADF_FIXEDSIZE or a null `newBound`, then for inline data;
// DISP_E_ARRAYISLOCKED when locked; E_INVALIDARG for FADF_STATIC storage (it
// is the caller's) or no dimensions. The new lower bound is stored before the
// count is looked at, and stays when growth fails with E_OUTOFMEMORY (count and
// data unchanged).
HRESULT SafeArrayRedim(SAFEARRAY* psa, const SAFEARRAYBOUND* newBound) noexcept;
