#include "reliability/oom_sweep.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

#include "automation/strings/bstr.h"
#include "support/fault_injection.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZENTREL_TEST_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZENTREL_TEST_LSAN 1
#endif
#endif
#ifdef ZENTREL_TEST_LSAN
#include <sanitizer/lsan_interface.h>
#endif
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define ZENTREL_TEST_VALGRIND 1
#endif

namespace zentrel::test::oom {
namespace {

template <class T>
void Append(std::string& image, const T& value) {
    image.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// Asks the leak checker that the build runs under (LeakSanitizer in the asan
// preset, valgrind in memcheck) whether memory leaked since the last probe, so
// that a leak is blamed on the function whose sweep caused it.
class LeakProbe {
public:
    LeakProbe() : before_(LeakedBytes()) {}

    void ExpectNoNewLeaks() const {
#ifdef ZENTREL_TEST_LSAN
        // LeakSanitizer reports every leak again at each check, so only the
        // first function that leaks is blamed; the report at exit lists all.
        static bool reported = false;
        if (!reported && __lsan_do_recoverable_leak_check() != 0) {
            reported = true;
            ADD_FAILURE() << "LeakSanitizer found leaks (report above)";
        }
#endif
        EXPECT_EQ(before_, LeakedBytes()) << "bytes definitely or indirectly lost under valgrind";
    }

private:
    static unsigned long LeakedBytes() {
#ifdef ZENTREL_TEST_VALGRIND
        if (RUNNING_ON_VALGRIND) {
            VALGRIND_DO_QUICK_LEAK_CHECK;
            unsigned long leaked = 0, dubious = 0, reachable = 0, suppressed = 0;
            VALGRIND_COUNT_LEAKS(leaked, dubious, reachable, suppressed);
            (void)dubious, (void)reachable, (void)suppressed;
            return leaked;
        }
#endif
        return 0;
    }

    unsigned long before_;
};

// Appends the dimensions, element size, bounds and the prefix bytes that the
// features define (the rest of the prefix may never have been written);
// returns the element count.
std::uint64_t AppendShape(std::string& image, const SAFEARRAY& array) {
    Append(image, array.cDims);
    Append(image, array.cbElements);
    std::uint64_t count = array.cDims == 0 ? 0 : 1;
    for (USHORT d = 0; d < array.cDims; ++d) {
        Append(image, array.rgsabound[d]);
        count *= array.rgsabound[d].cElements;
    }
    const char* prefix = reinterpret_cast<const char*>(&array) - 16;
    if ((array.fFeatures & FADF_HAVEIID) != 0) {
        image.append(prefix, 16);
    } else if ((array.fFeatures & FADF_HAVEVARTYPE) != 0) {
        image.append(prefix + 12, 4);
    }
    return count;
}

std::string InputSnapshot(const World& w) {
    // The fakes' reference counts are not part of it: a copy adds references
    // by contract. That every one is given back is checked after teardown.
    return Snapshot(w.in) + Snapshot(w.in2) + Snapshot(w.str) + Snapshot(w.array);
}

HRESULT Invoke(const OomCase& c, World& w) {
    try {
        return c.call(w);
    } catch (const std::bad_alloc&) {
        return kThrewBadAlloc;
    }
}

// One run with allocation `nth` failing; true when the failure fired.
bool RunOnce(const OomCase& c, std::uint64_t nth, bool persistent) {
    World w;
    c.setup(w);
    const std::string before = InputSnapshot(w);

    HRESULT status;
    bool fired;
    {
        AllocationFailure failure(nth, persistent);
        status = Invoke(c, w);
        fired = failure.Fired();
    }

    if (fired) {
        const auto& allowed = c.failureStatuses;
        EXPECT_NE(allowed.end(), std::find(allowed.begin(), allowed.end(), status))
            << "status 0x" << std::hex << static_cast<std::uint32_t>(status)
            << " is not one the function reports for a failed allocation";
    } else {
        EXPECT_EQ(c.success, status) << "status without any failed allocation";
    }
    c.check(w, status, fired);
    if (c.inputs == Inputs::Intact || (c.inputs == Inputs::IntactOnFailure && fired)) {
        EXPECT_TRUE(before == InputSnapshot(w)) << "the inputs changed";
    }
    c.teardown(w);
    EXPECT_EQ(0, w.unknown.outstanding()) << "references on the IUnknown fake not given back";
    EXPECT_EQ(0, w.dispatch.outstanding()) << "references on the IDispatch fake not given back";
    return fired;
}

}  // namespace

std::string Text(BSTR s) { return s == nullptr ? std::string() : std::string(s, SysStringLen(s)); }

std::string Snapshot(BSTR s) {
    std::string image;
    Append(image, s);
    if (s != nullptr) {
        Append(image, SysStringLen(s));
        image.append(s, SysStringLen(s) + 1);  // the characters and the terminator
    }
    return image;
}

std::string Snapshot(const VARIANT& v) {
    std::string image(reinterpret_cast<const char*>(&v), sizeof v);
    const VARTYPE base = v.vt & VT_TYPEMASK;
    if ((v.vt & VT_BYREF) != 0) {
        if (v.byref == nullptr) return image;
        if ((v.vt & VT_ARRAY) != 0) return image + Snapshot(*v.pparray);
        if (base == VT_BSTR) return image + Snapshot(*v.pbstrVal);
        if (base == VT_VARIANT) return image + Snapshot(*v.pvarVal);
        return image;  // a referenced plain value: the entry checks it if it matters
    }
    if ((v.vt & VT_ARRAY) != 0) return image + Snapshot(v.parray);
    if (v.vt == VT_BSTR) return image + Snapshot(v.bstrVal);
    return image;
}

std::string Snapshot(const SAFEARRAY* psa) {
    std::string image;
    Append(image, psa);
    if (psa == nullptr) return image;
    Append(image, psa->fFeatures);
    Append(image, psa->cLocks);
    Append(image, psa->pvData);
    const std::uint64_t count = AppendShape(image, *psa);
    if (psa->pvData == nullptr || (psa->fFeatures & FADF_DATA_RELEASED) != 0) return image;
    image.append(static_cast<const char*>(psa->pvData), count * psa->cbElements);
    for (std::uint64_t i = 0; i < count; ++i) {
        if ((psa->fFeatures & FADF_BSTR) != 0) image += Snapshot(static_cast<BSTR const*>(psa->pvData)[i]);
        if ((psa->fFeatures & FADF_VARIANT) != 0) image += Snapshot(static_cast<const VARIANT*>(psa->pvData)[i]);
    }
    return image;
}

std::string Value(const SAFEARRAY* psa) {
    if (psa == nullptr) return "null array";
    std::string image = "array";
    const std::uint64_t count = AppendShape(image, *psa);
    if (psa->pvData == nullptr) return image + "no data";
    for (std::uint64_t i = 0; i < count; ++i) {
        if ((psa->fFeatures & FADF_BSTR) != 0) {
            BSTR s = static_cast<BSTR const*>(psa->pvData)[i];
            image += s == nullptr ? "null string" : "string " + Text(s);
        } else if ((psa->fFeatures & FADF_VARIANT) != 0) {
            image += Value(static_cast<const VARIANT*>(psa->pvData)[i]);
        } else {
            image.append(static_cast<const char*>(psa->pvData) + i * psa->cbElements, psa->cbElements);
        }
        image += ';';
    }
    return image;
}

std::string Value(const VARIANT& v) {
    std::string image = "variant";
    Append(image, v.vt);
    if ((v.vt & VT_BYREF) != 0) {
        if (v.byref == nullptr) return image + "null reference";
        if ((v.vt & VT_ARRAY) != 0) return image + Value(*v.pparray);
        if ((v.vt & VT_TYPEMASK) == VT_BSTR) return image + "string " + Text(*v.pbstrVal);
        if ((v.vt & VT_TYPEMASK) == VT_VARIANT) return image + Value(*v.pvarVal);
        return image;
    }
    if ((v.vt & VT_ARRAY) != 0) return image + Value(v.parray);
    if (v.vt == VT_BSTR) return image + (v.bstrVal == nullptr ? "null string" : "string " + Text(v.bstrVal));
    Append(image, v.llVal);  // the value field: a number, or an interface pointer
    return image;
}

std::string CaseName(const ::testing::TestParamInfo<OomCase>& info) { return info.param.name; }

TEST_P(OomSweep, EveryFailedAllocationIsReportedAndLeavesNoTrace) {
    const OomCase& c = GetParam();
    const LeakProbe probe;
    for (FailureMode mode : {FailureMode::Transient, FailureMode::Persistent}) {
        SCOPED_TRACE(mode == FailureMode::Transient ? "transient failure" : "persistent failure");
        const int runs = SweepAllocationFailures(mode, [&](std::uint64_t nth, FailureMode m) {
            SCOPED_TRACE("allocation " + std::to_string(nth) + " fails");
            return RunOnce(c, nth, m == FailureMode::Persistent);
        });
        EXPECT_GT(runs, 1) << "the operation made no allocation, so the entry sweeps nothing";
    }
    probe.ExpectNoNewLeaks();
}

}  // namespace zentrel::test::oom
