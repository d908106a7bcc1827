// Variant comparison: integers of any width and sign, floating values, strings
// (with or without case), strings against booleans and against numbers.
#pragma once

#include "interop/vocabulary.h"

inline constexpr HRESULT VARCMP_LT = 0;
inline constexpr HRESULT VARCMP_EQ = 1;
inline constexpr HRESULT VARCMP_GT = 2;  // also any comparison that meets NaN
inline constexpr HRESULT VARCMP_NULL = 3;
inline constexpr ULONG NORM_IGNORECASE = 0x00000001;

// Orders `left` against `right`. Returns VARCMP_* or E_INVALIDARG for a pair it
// cannot compare. When a string must be read as a number and is none,
// std::invalid_argument propagates; a number out of range, std::out_of_range.
// Nothing else is thrown, nothing is allocated and errno is kept.
HRESULT VarCmp(const VARIANT* left, const VARIANT* right, LCID lcid, ULONG flags);
