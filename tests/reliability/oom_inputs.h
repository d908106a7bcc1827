// Inputs of the variant and array sweeps, built with the library itself
// outside any armed failure.
#pragma once

#include <cstring>
#include <initializer_list>

#include "automation/automation.h"
#include "automation/safearray/create.h"
#include "automation/safearray/data.h"
#include "automation/safearray/safearray.h"
#include "automation/strings/bstr.h"
#include "reliability/oom_sweep.h"

namespace zentrel::test::oom {

// Texts longer than any short-string buffer, so that every copy allocates.
inline constexpr const char* kLongText = "a text long enough to need a block of its own";

inline void SetString(VARIANT& v, const char* text) {
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text);
}

inline void SetUnknown(VARIANT& v, FakeUnknown& object) {
    v.vt = VT_UNKNOWN;
    v.punkVal = object.unknown();
    object.AddRef();
}

// A vector (inline data) of strings.
inline SAFEARRAY* StringVector(std::initializer_list<const char*> texts) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(texts.size()));
    BSTR* slots = static_cast<BSTR*>(psa->pvData);
    for (const char* text : texts) *slots++ = SysAllocString(text);
    return psa;
}

// A two-dimensional array of strings with a separate data block: 2 x 2.
inline SAFEARRAY* StringMatrix() {
    const SAFEARRAYBOUND bounds[] = {{2, 1}, {2, -1}};
    SAFEARRAY* psa = SafeArrayCreate(VT_BSTR, 2, bounds);
    BSTR* slots = static_cast<BSTR*>(psa->pvData);
    for (const char* text : {"north west", "north east", kLongText, "south east"}) *slots++ = SysAllocString(text);
    return psa;
}

// A one-dimensional byte array (separate data block, lower bound 5).
inline SAFEARRAY* ByteArray(const char* bytes, ULONG count) {
    const SAFEARRAYBOUND bound{count, 5};
    SAFEARRAY* psa = SafeArrayCreate(VT_UI1, 1, &bound);
    std::memcpy(psa->pvData, bytes, count);
    return psa;
}

// Variants of every owning kind: a string, an array of strings, an interface
// reference and a plain number.
inline SAFEARRAY* MixedVariants(FakeUnknown& object) {
    const SAFEARRAYBOUND bound{4, 0};
    SAFEARRAY* psa = SafeArrayCreate(VT_VARIANT, 1, &bound);
    VARIANT* slots = static_cast<VARIANT*>(psa->pvData);
    SetString(slots[0], kLongText);
    slots[1].vt = VT_ARRAY | VT_BSTR;
    slots[1].parray = StringVector({"one", "two", kLongText});
    SetUnknown(slots[2], object);
    slots[3].vt = VT_I4;
    slots[3].lVal = 7;
    return psa;
}

}  // namespace zentrel::test::oom
