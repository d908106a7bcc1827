// The out-of-memory sweep over the BSTR allocation family and its copy rules.
#include <string>

#include "automation/strings/bstr.h"
#include "automation/strings/bstr_copy.h"
#include "automation/strings/utf8.h"
#include "reliability/oom_sweep.h"

namespace zentrel::test::oom {
namespace {

using namespace std::string_literals;

// The creators and copy rules report failure only as a null string.
HRESULT StatusOf(BSTR made) { return made != nullptr ? S_OK : E_OUTOFMEMORY; }
HRESULT StatusOf(INT replaced) { return replaced == TRUE ? S_OK : E_OUTOFMEMORY; }

void NoInputs(World&) {}
void FiveBytesWithNul(World& w) { w.str = SysAllocStringLen("ab\0cd", 5); }
void OldText(World& w) { w.str = SysAllocString("old text"); }

void ReleaseStrings(World& w) {
    SysFreeString(w.str);
    SysFreeString(w.outStr);
}

// The output string is null after a failure and holds `expected` otherwise.
template <const std::string& expected>
void OutputIs(World& w, HRESULT, bool failed) {
    if (failed) {
        EXPECT_EQ(nullptr, w.outStr);
    } else {
        ASSERT_NE(nullptr, w.outStr);
        EXPECT_EQ(expected, Text(w.outStr));
        EXPECT_NE(w.str, w.outStr);
    }
}

const std::string kFiveBytes = "ab\0cd"s;
const std::string kHello = "hello"s;
const std::string kEmpty;
const std::string kThreeZeros = "\0\0\0"s;
const std::string kAbc = "abc"s;
const std::string kCd = "cd"s;  // the text after the embedded NUL
// Long enough that the decoded text outgrows any inline buffer.
constexpr const char* kUtf8Text = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 and a tail of plain text";
const std::wstring kWideText = L"caf\u00E9 \u20AC \U0001F600 and a tail of plain text";

const std::string kNew = "new"s;
const std::string kText = "text"s;

// SysReAllocString releases before it allocates: a failure leaves the
// variable null.
template <const std::string& expected>
void ReplacedOrNull(World& w, HRESULT, bool failed) {
    if (failed) {
        EXPECT_EQ(nullptr, w.str);
    } else {
        EXPECT_EQ(expected, Text(w.str));
    }
}

const OomCase kStringCases[] = {
    {"SysAllocString",
     [](World& w) { w.str = SysAllocString("hello"); },
     [](World& w) { return StatusOf(w.outStr = SysAllocString(w.str)); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     OutputIs<kHello>,
     ReleaseStrings},
    {"SysAllocString_EmptyText",
     NoInputs,
     [](World& w) { return StatusOf(w.outStr = SysAllocString("")); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     OutputIs<kEmpty>,
     ReleaseStrings},
    {"SysAllocStringLen_KeepsEmbeddedNul",
     FiveBytesWithNul,
     [](World& w) { return StatusOf(w.outStr = SysAllocStringLen(w.str, 5)); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     OutputIs<kFiveBytes>,
     ReleaseStrings},
    {"SysAllocStringLen_NullSourceZeroFills",
     NoInputs,
     [](World& w) { return StatusOf(w.outStr = SysAllocStringLen(nullptr, 3)); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     OutputIs<kThreeZeros>,
     ReleaseStrings},
    {"SysAllocStringByteLen",
     NoInputs,
     [](World& w) { return StatusOf(w.outStr = SysAllocStringByteLen("abc", 3)); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     OutputIs<kAbc>,
     ReleaseStrings},
    {"BstrCopy",
     FiveBytesWithNul,
     [](World& w) { return StatusOf(w.outStr = KoAtlCom::detail::BstrCopy(w.str)); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     OutputIs<kFiveBytes>,
     ReleaseStrings},
    {"BstrTextCopy",
     FiveBytesWithNul,
     [](World& w) { return StatusOf(w.outStr = KoAtlCom::detail::BstrTextCopy(w.str + 3)); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     OutputIs<kCd>,
     ReleaseStrings},
    // Releases first: a failure leaves the variable null.
    {"SysReAllocString",
     OldText,
     [](World& w) { return StatusOf(SysReAllocString(&w.str, "new")); },
     {E_OUTOFMEMORY},
     Inputs::Checked,
     ReplacedOrNull<kNew>,
     ReleaseStrings},
    {"SysReAllocString_FromInsideItself",
     OldText,
     [](World& w) { return StatusOf(SysReAllocString(&w.str, w.str + 4)); },
     {E_OUTOFMEMORY},
     Inputs::Checked,
     ReplacedOrNull<kText>,
     ReleaseStrings},
    // Allocates first: a failure leaves the variable holding its old string.
    {"SysReAllocStringLen",
     OldText,
     [](World& w) { return StatusOf(SysReAllocStringLen(&w.str, "abcdef", 3)); },
     {E_OUTOFMEMORY},
     Inputs::IntactOnFailure,
     [](World& w, HRESULT, bool failed) { EXPECT_EQ(failed ? "old text" : "abc", Text(w.str)); },
     ReleaseStrings},
    {"SysReAllocStringLen_FromInsideItself",
     OldText,
     [](World& w) { return StatusOf(SysReAllocStringLen(&w.str, w.str + 4, 2)); },
     {E_OUTOFMEMORY},
     Inputs::IntactOnFailure,
     [](World& w, HRESULT, bool failed) { EXPECT_EQ(failed ? "old text" : "te", Text(w.str)); },
     ReleaseStrings},
    // The growing wide string throws std::bad_alloc; the input stays as it was.
    {"Utf8ToWideString",
     [](World& w) { w.str = SysAllocString(kUtf8Text); },
     [](World& w) {
         Utf8ToWideString(reinterpret_cast<const unsigned char*>(w.str), SysStringLen(w.str), w.outWide);
         return S_OK;
     },
     {kThrewBadAlloc},
     Inputs::Intact,
     [](World& w, HRESULT, bool failed) {
         if (!failed) {
             EXPECT_EQ(kWideText, w.outWide);
         }
     },
     ReleaseStrings},
};

INSTANTIATE_TEST_SUITE_P(Strings, OomSweep, ::testing::ValuesIn(kStringCases), CaseName);

}  // namespace
}  // namespace zentrel::test::oom
