// Releases whatever the slots of a sweep world still hold, with the library's
// own release functions; the teardown of the variant and array tables.
#pragma once

#include <cstdlib>

#include "automation/automation.h"
#include "automation/safearray/data.h"
#include "automation/strings/bstr.h"
#include "automation/variant/lifecycle.h"
#include "reliability/oom_sweep.h"

namespace zentrel::test::oom {

inline void ReleaseAll(World& w) {
    for (VARIANT* v : {&w.in, &w.in2, &w.out}) {
        EXPECT_EQ(S_OK, VariantClear(v));
    }
    EXPECT_EQ(S_OK, SafeArrayDestroy(w.array));
    EXPECT_EQ(S_OK, SafeArrayDestroy(w.outArray));
    SysFreeString(w.str);
    SysFreeString(w.outStr);
    std::free(w.outPtr);  // text handed out by the string accessors
}

}  // namespace zentrel::test::oom
