// The out-of-memory sweep: every allocating function of the library runs with
// its 1st, 2nd, ... allocation failing, once transiently and once persistently,
// until a run makes no failed allocation. After each run the sweep checks the
// status, that the inputs are intact (a deep snapshot taken before the call),
// that every reference taken on a fake object was given back, and after each
// function that no memory leaked.
//
// Each allocating function is one OomCase in a table; the tables live beside
// this header, one file per subsystem, and instantiate the OomSweep test.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "automation/automation.h"
#include "automation/errorinfo/errorinfo.h"
#include "automation/safearray/safearray.h"
#include "interop/vocabulary.h"
#include "support/fake_unknown.h"

namespace zentrel::test::oom {

// The inputs and outputs of one run. An entry's setup fills the input slots,
// its call writes the output slots, its teardown releases everything left.
struct World {
    FakeUnknown unknown{false};  // answers IUnknown only
    FakeUnknown dispatch{true};  // answers IDispatch too

    // Inputs: covered by the snapshot that must survive the call.
    VARIANT in{};
    VARIANT in2{};
    BSTR str = nullptr;
    SAFEARRAY* array = nullptr;
    ICreateErrorInfo* error = nullptr;  // an error object (not in the snapshot)

    // Outputs.
    VARIANT out{};
    BSTR outStr = nullptr;
    SAFEARRAY* outArray = nullptr;
    void* outPtr = nullptr;
    std::uint64_t outNumber = 0;
    std::wstring outWide;
};

// What a run may do to the inputs.
enum class Inputs {
    Intact,           // never changed, whatever the outcome
    IntactOnFailure,  // changed by contract on success (in-place operations)
    Checked,          // the entry's check states what they hold afterwards
};

// Status of a call that let std::bad_alloc escape (where that is its contract).
inline constexpr HRESULT kThrewBadAlloc = static_cast<HRESULT>(0xBADA110C);

struct OomCase {
    const char* name;
    void (*setup)(World&);
    HRESULT (*call)(World&);               // returns the call's status (creators: S_OK / E_OUTOFMEMORY)
    std::vector<HRESULT> failureStatuses;  // allowed after a failed allocation
    Inputs inputs;
    void (*check)(World&, HRESULT status, bool allocationFailed);
    void (*teardown)(World&);
    HRESULT success = S_OK;  // the status when no allocation failed
};

inline std::ostream& operator<<(std::ostream& os, const OomCase& c) { return os << c.name; }

class OomSweep : public ::testing::TestWithParam<OomCase> {};

// A deep byte image of what a variant, a string or an array holds: the records,
// the text, the descriptor with its prefix, bounds and every element, recursively.
std::string Snapshot(const VARIANT& v);
std::string Snapshot(BSTR s);
std::string Snapshot(const SAFEARRAY* psa);

// What a variant or an array holds, without the addresses of the blocks that
// hold it and without the feature bits: equal for a faithful deep copy.
std::string Value(const VARIANT& v);
std::string Value(const SAFEARRAY* psa);

// The characters of a BSTR (by its length prefix), for exact comparisons.
std::string Text(BSTR s);

// Names the parameterised tests after the table entries.
std::string CaseName(const ::testing::TestParamInfo<OomCase>& info);

}  // namespace zentrel::test::oom
