#include "automation/errorinfo/error_object.h"

#include <cstring>
#include <new>
#include <string>

#include <gtest/gtest.h>

#include "automation/strings/bstr.h"
#include "support/fault_injection.h"

namespace {

using zentrel::test::AllocationFailure;
using zentrel::test::FailureMode;
using zentrel::test::SweepAllocationFailures;

constexpr GUID kSomeGuid = {0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
// Longer than any small-string buffer, so storing it allocates.
const std::string kLongText(100, 'x');

// The current count, read without changing it.
ULONG CountOf(IUnknown* p) {
    p->AddRef();
    return p->Release();
}

std::string Text(BSTR s) { return std::string(s, SysStringLen(s)); }

struct TextField {
    const char* name;
    HRESULT (*set)(ICreateErrorInfo*, LPCOLESTR);
    HRESULT (*get)(IErrorInfo*, BSTR*);
};

constexpr TextField kTextFields[] = {
    {"Source", [](ICreateErrorInfo* p, LPCOLESTR t) { return p->SetSource(t); },
     [](IErrorInfo* p, BSTR* out) { return p->GetSource(out); }},
    {"Description", [](ICreateErrorInfo* p, LPCOLESTR t) { return p->SetDescription(t); },
     [](IErrorInfo* p, BSTR* out) { return p->GetDescription(out); }},
    {"HelpFile", [](ICreateErrorInfo* p, LPCOLESTR t) { return p->SetHelpFile(t); },
     [](IErrorInfo* p, BSTR* out) { return p->GetHelpFile(out); }},
};

// Owns the reference CreateErrorInfo hands out and the IErrorInfo view.
class ErrorObject : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, CreateErrorInfo(&create_));
        ASSERT_EQ(S_OK, create_->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info_)));
    }
    void TearDown() override {
        EXPECT_EQ(1u, info_->Release());
        EXPECT_EQ(0u, create_->Release());
    }

    ICreateErrorInfo* create_ = nullptr;
    IErrorInfo* info_ = nullptr;
};

TEST(CreateErrorInfo, NullOutIsEPointer) { EXPECT_EQ(E_POINTER, CreateErrorInfo(nullptr)); }

TEST(CreateErrorInfo, AllocationFailureIsOutOfMemoryAndWritesNothing) {
    auto* const sentinel = reinterpret_cast<ICreateErrorInfo*>(0x1234);
    const int runs = SweepAllocationFailures(FailureMode::Transient, [&](std::uint64_t nth, FailureMode) {
        ICreateErrorInfo* out = sentinel;
        AllocationFailure failure(nth, false);
        const HRESULT hr = CreateErrorInfo(&out);
        if (failure.Fired()) {
            EXPECT_EQ(E_OUTOFMEMORY, hr);
            EXPECT_EQ(sentinel, out);
            return true;
        }
        EXPECT_EQ(S_OK, hr);
        EXPECT_EQ(0u, out->Release());
        return false;
    });
    EXPECT_EQ(2, runs);  // the object is the only allocation
}

TEST_F(ErrorObject, NewObjectReportsEmptyFields) {
    GUID guid;
    std::memset(&guid, 0xFF, sizeof guid);
    EXPECT_EQ(S_OK, info_->GetGUID(&guid));
    EXPECT_EQ(GUID{}, guid);
    DWORD context = 99;
    EXPECT_EQ(S_OK, info_->GetHelpContext(&context));
    EXPECT_EQ(0u, context);
    for (const TextField& field : kTextFields) {
        BSTR s = reinterpret_cast<BSTR>(0x1);
        EXPECT_EQ(S_OK, field.get(info_, &s)) << field.name;
        EXPECT_EQ(nullptr, s) << field.name;
    }
}

TEST_F(ErrorObject, ViewsShareOneIdentityAndCountEveryReference) {
    EXPECT_EQ(2u, CountOf(create_));  // CreateErrorInfo + the IErrorInfo view
    EXPECT_NE(static_cast<void*>(create_), static_cast<void*>(info_));

    void* fromCreate = nullptr;
    void* fromInfo = nullptr;
    ASSERT_EQ(S_OK, create_->QueryInterface(IID_IUnknown, &fromCreate));
    EXPECT_EQ(3u, CountOf(create_));
    ASSERT_EQ(S_OK, info_->QueryInterface(IID_IUnknown, &fromInfo));
    EXPECT_EQ(4u, CountOf(info_));
    EXPECT_EQ(fromCreate, fromInfo);
    EXPECT_EQ(static_cast<void*>(create_), fromCreate);

    void* p = nullptr;
    ASSERT_EQ(S_OK, info_->QueryInterface(IID_ICreateErrorInfo, &p));
    EXPECT_EQ(static_cast<void*>(create_), p);
    EXPECT_EQ(5u, CountOf(create_));
    ASSERT_EQ(S_OK, info_->QueryInterface(IID_IErrorInfo, &p));
    EXPECT_EQ(static_cast<void*>(info_), p);
    EXPECT_EQ(6u, CountOf(create_));

    EXPECT_EQ(7u, info_->AddRef());
    EXPECT_EQ(6u, create_->Release());
    EXPECT_EQ(5u, info_->Release());
    EXPECT_EQ(4u, create_->Release());
    EXPECT_EQ(3u, static_cast<IUnknown*>(fromInfo)->Release());
    EXPECT_EQ(2u, static_cast<IUnknown*>(fromCreate)->Release());
}

TEST_F(ErrorObject, QueryInterfaceRefusalsLeaveCountAlone) {
    void* p = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, create_->QueryInterface(IID_IDispatch, &p));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(E_POINTER, create_->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(E_POINTER, info_->QueryInterface(IID_IErrorInfo, nullptr));
    EXPECT_EQ(2u, CountOf(create_));
}

// A caller outside C++ may pass address 0 where a reference is expected; the
// entries are reached through the table, as such a caller does.
TEST_F(ErrorObject, NullAddressesThroughTheTableAreRefused) {
    using QuerySlot = HRESULT (*)(void*, const IID*, void**);
    using SetGuidSlot = HRESULT (*)(void*, const GUID*);
    void* const* table = *reinterpret_cast<void* const* const*>(create_);
    void* p = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_POINTER, reinterpret_cast<QuerySlot>(table[0])(create_, nullptr, &p));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(E_POINTER, reinterpret_cast<SetGuidSlot>(table[3])(create_, nullptr));
    EXPECT_EQ(2u, CountOf(create_));
}

// The primary table runs QueryInterface .. SetHelpContext (0..7), the
// destructor (two entries in this ABI: 8, 9), then GetGUID .. GetHelpContext.
TEST_F(ErrorObject, PrimaryTableCarriesGettersAfterDestructor) {
    using SetContextSlot = HRESULT (*)(void*, DWORD);
    using GetContextSlot = HRESULT (*)(void*, DWORD*);
    using GetGuidSlot = HRESULT (*)(void*, GUID*);
    void* const* table = *reinterpret_cast<void* const* const*>(create_);
    EXPECT_EQ(S_OK, reinterpret_cast<SetContextSlot>(table[7])(create_, 42));
    ASSERT_EQ(S_OK, create_->SetGUID(kSomeGuid));
    GUID guid{};
    EXPECT_EQ(S_OK, reinterpret_cast<GetGuidSlot>(table[10])(create_, &guid));
    EXPECT_EQ(kSomeGuid, guid);
    DWORD context = 0;
    EXPECT_EQ(S_OK, reinterpret_cast<GetContextSlot>(table[14])(create_, &context));
    EXPECT_EQ(42u, context);
}

TEST_F(ErrorObject, GettersThroughErrorInfoSeeWhatSettersStored) {
    EXPECT_EQ(S_OK, create_->SetGUID(kSomeGuid));
    EXPECT_EQ(S_OK, create_->SetSource("abc"));
    EXPECT_EQ(S_OK, create_->SetDescription(kLongText.c_str()));
    EXPECT_EQ(S_OK, create_->SetHelpFile("help.txt"));
    EXPECT_EQ(S_OK, create_->SetHelpContext(0xFFFFFFFFu));

    GUID guid{};
    EXPECT_EQ(S_OK, info_->GetGUID(&guid));
    EXPECT_EQ(0, std::memcmp(&kSomeGuid, &guid, sizeof guid));
    BSTR source = nullptr;
    BSTR description = nullptr;
    BSTR helpFile = nullptr;
    EXPECT_EQ(S_OK, info_->GetSource(&source));
    EXPECT_EQ(S_OK, info_->GetDescription(&description));
    EXPECT_EQ(S_OK, info_->GetHelpFile(&helpFile));
    EXPECT_EQ(3u, SysStringLen(source));
    EXPECT_EQ("abc", Text(source));
    EXPECT_EQ(kLongText, Text(description));
    EXPECT_EQ("help.txt", Text(helpFile));
    EXPECT_EQ('\0', helpFile[8]);
    DWORD context = 0;
    EXPECT_EQ(S_OK, info_->GetHelpContext(&context));
    EXPECT_EQ(0xFFFFFFFFu, context);

    // Each call hands out a fresh copy; the object keeps its own.
    BSTR again = nullptr;
    EXPECT_EQ(S_OK, info_->GetSource(&again));
    EXPECT_NE(source, again);
    EXPECT_EQ("abc", Text(again));
    for (BSTR s : {source, description, helpFile, again}) SysFreeString(s);
}

class ErrorObjectText : public ErrorObject, public ::testing::WithParamInterface<TextField> {
protected:
    std::string Read() {
        BSTR s = nullptr;
        EXPECT_EQ(S_OK, GetParam().get(info_, &s));
        std::string text = s == nullptr ? "<null>" : Text(s);
        SysFreeString(s);
        return text;
    }
    HRESULT Write(LPCOLESTR text) { return GetParam().set(create_, text); }
};

TEST_P(ErrorObjectText, EmptyAndNullTextReadBackAsNullBstr) {
    ASSERT_EQ(S_OK, Write("old"));
    EXPECT_EQ(S_OK, Write(""));
    EXPECT_EQ("<null>", Read());
    ASSERT_EQ(S_OK, Write("old"));
    EXPECT_EQ(S_OK, Write(nullptr));
    EXPECT_EQ("<null>", Read());
}

TEST_P(ErrorObjectText, SetterCopiesUpToFirstNulAndReplaces) {
    ASSERT_EQ(S_OK, Write(kLongText.c_str()));
    const char withNul[] = {'a', 'b', '\0', 'c', 'd', '\0'};
    EXPECT_EQ(S_OK, Write(withNul));
    EXPECT_EQ("ab", Read());
}

TEST_P(ErrorObjectText, NullOutIsEPointer) { EXPECT_EQ(E_POINTER, GetParam().get(info_, nullptr)); }

TEST_P(ErrorObjectText, CopyFailureIsSuccessWithNullAndKeepsText) {
    ASSERT_EQ(S_OK, Write("kept"));
    BSTR s = reinterpret_cast<BSTR>(0x1);
    {
        AllocationFailure failure(1, false);
        EXPECT_EQ(S_OK, GetParam().get(info_, &s));
        EXPECT_TRUE(failure.Fired());
    }
    EXPECT_EQ(nullptr, s);
    EXPECT_EQ("kept", Read());
}

// Storing text is the one place where exhausted memory is not an HRESULT: the
// standard string's failure leaves the setter, and the old text stays.
TEST_P(ErrorObjectText, StoreFailureThrowsAndKeepsOldText) {
    ASSERT_EQ(S_OK, Write("kept"));
    {
        AllocationFailure failure(1, true);
        EXPECT_THROW(Write(kLongText.c_str()), std::bad_alloc);
    }
    EXPECT_EQ("kept", Read());
}

INSTANTIATE_TEST_SUITE_P(Fields, ErrorObjectText, ::testing::ValuesIn(kTextFields),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(ErrorObject, GuidAndContextGettersRefuseNullOut) {
    EXPECT_EQ(E_POINTER, info_->GetGUID(nullptr));
    EXPECT_EQ(E_POINTER, info_->GetHelpContext(nullptr));
}

}  // namespace
