// The out-of-memory sweep over the error-information object: its creation, the
// setters (whose standard strings throw std::bad_alloc and keep the old text)
// and the getters (whose failed copy is S_OK with a null string).
#include <string>

#include "automation/errorinfo/errorinfo.h"
#include "automation/strings/bstr.h"
#include "reliability/oom_sweep.h"

namespace zentrel::test::oom {
namespace {

// Longer than any short-string buffer, so that storing it allocates.
constexpr const char* kOldText = "the text the object held before the call";
constexpr const char* kNewText = "a replacement text, also too long to be stored inline";

// The sentinel shows that a failed creation left the out-pointer alone.
ICreateErrorInfo* const kUntouched = reinterpret_cast<ICreateErrorInfo*>(0x5A5A5A5A5A5A5A5A);

void NoObject(World& w) { w.error = kUntouched; }

void FilledObject(World& w) {
    ASSERT_EQ(S_OK, CreateErrorInfo(&w.error));
    ASSERT_EQ(S_OK, w.error->SetSource(kOldText));
    ASSERT_EQ(S_OK, w.error->SetDescription(kOldText));
    ASSERT_EQ(S_OK, w.error->SetHelpFile(kOldText));
}

void ReleaseObject(World& w) {
    if (w.error != nullptr && w.error != kUntouched) {
        EXPECT_EQ(0u, w.error->Release());
    }
    SysFreeString(w.outStr);
}

IErrorInfo* Reader(World& w) {
    IErrorInfo* reader = nullptr;
    EXPECT_EQ(S_OK, w.error->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&reader)));
    if (reader != nullptr) reader->Release();  // the object keeps its own reference
    return reader;
}

// Reads a text field back through IErrorInfo.
using Getter = HRESULT (IErrorInfo::*)(BSTR*);
std::string Field(World& w, Getter get) {
    BSTR text = nullptr;
    EXPECT_EQ(S_OK, (Reader(w)->*get)(&text));
    std::string result = Text(text);
    SysFreeString(text);
    return result;
}

// A setter that failed kept the old text; one that succeeded holds the new.
template <Getter get>
void FieldReplaced(World& w, HRESULT, bool failed) {
    EXPECT_EQ(failed ? kOldText : kNewText, Field(w, get));
}

// A getter whose copy failed reports S_OK with a null string.
void CopiedText(World& w, HRESULT, bool failed) {
    if (failed) {
        EXPECT_EQ(nullptr, w.outStr);
    } else {
        EXPECT_EQ(kOldText, Text(w.outStr));
    }
}

const OomCase kErrorInfoCases[] = {
    {"CreateErrorInfo",
     NoObject,
     [](World& w) { return CreateErrorInfo(&w.error); },
     {E_OUTOFMEMORY},
     Inputs::Intact,
     [](World& w, HRESULT, bool failed) {
         if (failed) {
             EXPECT_EQ(kUntouched, w.error);
         } else {
             EXPECT_EQ("", Field(w, &IErrorInfo::GetDescription));
         }
     },
     ReleaseObject},
    {"ErrorInfo_SetSource",
     FilledObject,
     [](World& w) { return w.error->SetSource(kNewText); },
     {kThrewBadAlloc},
     Inputs::Intact,
     FieldReplaced<&IErrorInfo::GetSource>,
     ReleaseObject},
    {"ErrorInfo_SetDescription",
     FilledObject,
     [](World& w) { return w.error->SetDescription(kNewText); },
     {kThrewBadAlloc},
     Inputs::Intact,
     FieldReplaced<&IErrorInfo::GetDescription>,
     ReleaseObject},
    {"ErrorInfo_SetHelpFile",
     FilledObject,
     [](World& w) { return w.error->SetHelpFile(kNewText); },
     {kThrewBadAlloc},
     Inputs::Intact,
     FieldReplaced<&IErrorInfo::GetHelpFile>,
     ReleaseObject},
    {"ErrorInfo_GetSource",
     FilledObject,
     [](World& w) { return Reader(w)->GetSource(&w.outStr); },
     {S_OK},
     Inputs::Intact,
     CopiedText,
     ReleaseObject},
    {"ErrorInfo_GetDescription",
     FilledObject,
     [](World& w) { return Reader(w)->GetDescription(&w.outStr); },
     {S_OK},
     Inputs::Intact,
     CopiedText,
     ReleaseObject},
    {"ErrorInfo_GetHelpFile",
     FilledObject,
     [](World& w) { return Reader(w)->GetHelpFile(&w.outStr); },
     {S_OK},
     Inputs::Intact,
     CopiedText,
     ReleaseObject},
};

INSTANTIATE_TEST_SUITE_P(ErrorInfo, OomSweep, ::testing::ValuesIn(kErrorInfoCases), CaseName);

}  // namespace
}  // namespace zentrel::test::oom
