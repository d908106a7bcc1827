// The one set of VARIANT builders for tests, and the name generator of
// parameterised cases. The builders write the member and leave every other
// byte zero, as a fresh record would.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "automation/strings/bstr.h"
#include "automation/variant/lifecycle.h"
#include "interop/vocabulary.h"

namespace zentrel::test {

// A variant of type `vt` with a zero value (null for pointer types).
inline VARIANT Typed(VARTYPE vt) {
    VARIANT v{};
    v.vt = vt;
    return v;
}

inline VARIANT Integer(VARTYPE vt, std::uint64_t bits) {
    VARIANT v{};
    v.vt = vt;
    v.ullVal = bits;
    return v;
}

inline VARIANT Real(double d) {
    VARIANT v{};
    v.vt = VT_R8;
    v.dblVal = d;
    return v;
}

inline VARIANT Single(float f) {
    VARIANT v{};
    v.vt = VT_R4;
    v.fltVal = f;
    return v;
}

// A VT_BSTR that owns a BSTR copy of `length` bytes (null for length 0).
inline VARIANT String(const char* text, UINT length) {
    VARIANT v{};
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(text, length);
    return v;
}

inline VARIANT String(const char* text) { return String(text, static_cast<UINT>(std::strlen(text))); }

// A VT_UNKNOWN or VT_DISPATCH that holds `object` without taking a reference.
inline VARIANT Interface(VARTYPE vt, IUnknown* object) {
    VARIANT v{};
    v.vt = vt;
    v.punkVal = object;
    return v;
}

// A variant that clears itself.
struct Variant : VARIANT {
    Variant() { VariantInit(this); }
    ~Variant() { VariantClear(this); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
};

// Names parameterised cases after their `name` member.
struct NameOf {
    template <class Param>
    std::string operator()(const ::testing::TestParamInfo<Param>& p) const {
        return p.param.name;
    }
};

}  // namespace zentrel::test
