// Uses an installed libZentrel from C++: Primitive <-> VARIANT through
// libZentrel.so and one BSTR function through the static runtime.
#include <cstdio>
#include <cstring>

#include "automation/automation.h"
#include "interop/interop.h"

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::printf("FAIL: %s\n", what);
        ++failures;
    }
}

}  // namespace

int main() {
    using KoAtlCom::CComVariant;
    using KoAtlCom::Interop::FromVariant;
    using KoAtlCom::Interop::Primitive;
    using KoAtlCom::Interop::ToVariant;

    Primitive number{};
    number.kind = Primitive::Int32;
    number.value.i32 = -42;
    const CComVariant variant = ToVariant(number);
    Check(variant.vt == VT_I4 && variant.lVal == -42, "ToVariant(Int32 -42) is VT_I4 -42");
    const Primitive back = FromVariant(variant);
    Check(back.kind == Primitive::Int32 && back.value.i32 == -42, "FromVariant gives Int32 -42 back");

    Primitive real{};
    real.kind = Primitive::Double;
    real.value.f64 = 1.5;
    Check(FromVariant(ToVariant(real)).value.f64 == 1.5, "a double makes the round trip");

    BSTR text = SysAllocString("zentrel");
    Check(text != nullptr && SysStringLen(text) == 7 && std::strcmp(text, "zentrel") == 0,
          "SysAllocString copies 7 characters");
    SysFreeString(text);

    std::printf("variant_and_bstr: %s\n", failures == 0 ? "ok" : "FAILED");
    return failures == 0 ? 0 : 1;
}
