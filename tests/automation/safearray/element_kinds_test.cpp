// Reading and writing elements of each kind: plain bytes, owned strings,
// interface references, variants (holding arrays too) and records.
#include <cstring>

#include <gtest/gtest.h>

#include "automation/automation.h"
#include "automation/safearray/layout.h"
#include "support/array_testing.h"
#include "support/fake_unknown.h"
#include "support/fault_injection.h"
#include "support/manual_array.h"
#include "support/variant_values.h"

namespace {

using zentrel::test::AllocationFailure;
using zentrel::test::ArrayPtr;
using zentrel::test::FailureMode;
using zentrel::test::FakeUnknown;
using zentrel::test::ManualArray;
using zentrel::test::SweepAllocationFailures;

const LONG kFirst[] = {0};
const LONG kSecond[] = {1};

BSTR& StringAt(SAFEARRAY* array, LONG index) { return static_cast<BSTR*>(array->pvData)[index]; }
VARIANT& VariantAt(SAFEARRAY* array, LONG index) { return static_cast<VARIANT*>(array->pvData)[index]; }
IUnknown*& InterfaceAt(SAFEARRAY* array, LONG index) { return static_cast<IUnknown**>(array->pvData)[index]; }

BSTR MakeString(const char* bytes, UINT length) { return SysAllocStringLen(bytes, length); }

// ---------------------------------------------------------------------------
// Plain and record elements

TEST(PlainElement_GetPut, CopiesExactlyTheElementSize) {
    for (VARTYPE vt : {VT_I1, VT_I2, VT_BOOL, VT_I4, VT_R4, VT_R8, VT_CY, VT_I8}) {
        ArrayPtr array(SafeArrayCreateVector(vt, 0, 3));
        const ULONG size = array->cbElements;
        const unsigned char value[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
        ASSERT_EQ(S_OK, SafeArrayPutElement(array.get(), kSecond, const_cast<unsigned char*>(value))) << vt;
        const auto* data = static_cast<unsigned char*>(array->pvData);
        EXPECT_EQ(0, std::memcmp(data + size, value, size));
        for (ULONG i = 0; i < size; ++i) EXPECT_EQ(0, data[i] | data[2 * size + i]) << vt;

        unsigned char out[9];
        std::memset(out, 0xEE, sizeof out);
        ASSERT_EQ(S_OK, SafeArrayGetElement(array.get(), kSecond, out));
        EXPECT_EQ(0, std::memcmp(out, value, size));
        EXPECT_EQ(0xEE, out[size]) << vt;
    }
}

TEST(RecordElement_GetPut, NotImplemented) {
    unsigned char storage[64] = {};
    ManualArray records(FADF_RECORD, 32, storage, {{2, 0}});
    unsigned char value[32] = {1};
    EXPECT_EQ(E_NOTIMPL, SafeArrayGetElement(records.get(), kFirst, value));
    EXPECT_EQ(E_NOTIMPL, SafeArrayPutElement(records.get(), kFirst, value));
    EXPECT_EQ(E_NOTIMPL, SafeArrayPutElement(records.get(), kFirst, nullptr));
    EXPECT_EQ(0, storage[0]);
}

// ---------------------------------------------------------------------------
// Strings: the array owns its strings; Get hands out an independent copy made
// from the length prefix, Put stores a copy of the text up to its first NUL.

TEST(StringElement_Get, CopiesByLengthPrefix) {
    ArrayPtr array(SafeArrayCreateVector(VT_BSTR, 0, 3));
    StringAt(array.get(), 1) = MakeString("a\0bc", 4);
    StringAt(array.get(), 2) = SysAllocString("");

    BSTR out = reinterpret_cast<BSTR>(&out);
    EXPECT_EQ(S_OK, SafeArrayGetElement(array.get(), kFirst, &out));
    EXPECT_EQ(nullptr, out);

    ASSERT_EQ(S_OK, SafeArrayGetElement(array.get(), kSecond, &out));
    ASSERT_NE(StringAt(array.get(), 1), out);
    ASSERT_EQ(4u, SysStringLen(out));
    EXPECT_EQ(0, std::memcmp("a\0bc", out, 5));
    SysFreeString(out);

    const LONG third[] = {2};
    out = reinterpret_cast<BSTR>(&out);
    EXPECT_EQ(E_OUTOFMEMORY, SafeArrayGetElement(array.get(), third, &out));  // length 0 copies to null
    EXPECT_EQ(nullptr, out);
}

TEST(StringElement_Put, ReplacesWithATextCopy) {
    ArrayPtr array(SafeArrayCreateVector(VT_BSTR, 0, 2));
    StringAt(array.get(), 0) = SysAllocString("old");

    BSTR source = MakeString("xy\0z", 4);
    ASSERT_EQ(S_OK, SafeArrayPutElement(array.get(), kFirst, &source));
    BSTR stored = StringAt(array.get(), 0);
    ASSERT_NE(source, stored);
    EXPECT_STREQ("xy", stored);
    EXPECT_EQ(2u, SysStringLen(stored));
    EXPECT_EQ(4u, SysStringLen(source));  // the source is neither freed nor changed
    SysFreeString(source);

    BSTR empty = SysAllocString("");
    ASSERT_EQ(S_OK, SafeArrayPutElement(array.get(), kFirst, &empty));
    ASSERT_NE(nullptr, StringAt(array.get(), 0));
    EXPECT_EQ(0u, SysStringLen(StringAt(array.get(), 0)));
    SysFreeString(empty);

    BSTR null = nullptr;
    EXPECT_EQ(E_OUTOFMEMORY, SafeArrayPutElement(array.get(), kFirst, &null));
    EXPECT_EQ(nullptr, StringAt(array.get(), 0));
}

// The source may be the element's own string, or text inside it: the copy is
// made before the old string is freed (ASan reports a read of freed memory).
TEST(StringElement_Put, SourceInsideTheElementItself) {
    ArrayPtr array(SafeArrayCreateVector(VT_BSTR, 0, 1));
    StringAt(array.get(), 0) = SysAllocString("abcdef");
    ASSERT_EQ(S_OK, SafeArrayPutElement(array.get(), kFirst, &StringAt(array.get(), 0)));
    EXPECT_STREQ("abcdef", StringAt(array.get(), 0));

    BSTR inner = StringAt(array.get(), 0) + 2;
    ASSERT_EQ(S_OK, SafeArrayPutElement(array.get(), kFirst, &inner));
    EXPECT_STREQ("cdef", StringAt(array.get(), 0));
    EXPECT_EQ(4u, SysStringLen(StringAt(array.get(), 0)));
}

// Read into its own slot, a string element keeps its string (a copy over it
// would leak it). An interface element hands out a reference like any read:
// the caller's Release must give back its own reference, not the array's.
TEST(OwnedElement_Get, IntoTheElementItself) {
    ArrayPtr strings(SafeArrayCreateVector(VT_BSTR, 0, 1));
    BSTR text = SysAllocString("self");
    StringAt(strings.get(), 0) = text;
    EXPECT_EQ(S_OK, SafeArrayGetElement(strings.get(), kFirst, &StringAt(strings.get(), 0)));
    EXPECT_EQ(text, StringAt(strings.get(), 0));

    FakeUnknown object;
    ArrayPtr objects(SafeArrayCreateVector(VT_UNKNOWN, 0, 1));
    InterfaceAt(objects.get(), 0) = object.unknown();
    object.AddRef();
    EXPECT_EQ(S_OK, SafeArrayGetElement(objects.get(), kFirst, &InterfaceAt(objects.get(), 0)));
    EXPECT_EQ(object.unknown(), InterfaceAt(objects.get(), 0));
    EXPECT_EQ(2, object.outstanding());
    InterfaceAt(objects.get(), 0)->Release();  // the caller's
    objects.reset();
    EXPECT_EQ(0, object.outstanding());
}

TEST(StringElement_GetPut, AllocationFailuresLeaveNoLeakAndAnExactState) {
    SweepAllocationFailures([](std::uint64_t nth, FailureMode mode) {
        ArrayPtr array(SafeArrayCreateVector(VT_BSTR, 0, 1));
        StringAt(array.get(), 0) = SysAllocString("before");
        BSTR source = SysAllocString("after");
        BSTR out = nullptr;
        HRESULT put, get;
        bool fired;
        {
            AllocationFailure failure(nth, mode == FailureMode::Persistent);
            put = SafeArrayPutElement(array.get(), kFirst, &source);
            get = SafeArrayGetElement(array.get(), kFirst, &out);
            fired = failure.Fired();
        }
        EXPECT_STREQ("after", source);
        if (put == S_OK) {
            EXPECT_STREQ("after", StringAt(array.get(), 0));
        } else {
            EXPECT_EQ(E_OUTOFMEMORY, put);
            EXPECT_EQ(nullptr, StringAt(array.get(), 0));
        }
        if (put == S_OK && get == S_OK) {
            EXPECT_STREQ("after", out);
        }
        if (get != S_OK) {
            EXPECT_EQ(nullptr, out);
        }
        EXPECT_TRUE(get == S_OK || get == E_OUTOFMEMORY);
        EXPECT_EQ(fired, put != S_OK || get != S_OK);
        SysFreeString(out);
        SysFreeString(source);
        return fired;
    });
}

// ---------------------------------------------------------------------------
// Interfaces: each element holds one reference.

TEST(InterfaceElement_Get, AddsOneReference) {
    FakeUnknown object;
    ArrayPtr array(SafeArrayCreateVector(VT_UNKNOWN, 0, 2));
    ASSERT_EQ(S_OK, SafeArrayPutElement(array.get(), kSecond, object.unknown()));
    IUnknown* out = nullptr;
    ASSERT_EQ(S_OK, SafeArrayGetElement(array.get(), kSecond, &out));
    EXPECT_EQ(object.unknown(), out);
    EXPECT_EQ(2, object.outstanding());
    out->Release();

    out = object.unknown();
    ASSERT_EQ(S_OK, SafeArrayGetElement(array.get(), kFirst, &out));
    EXPECT_EQ(nullptr, out);
    array.reset();
    EXPECT_EQ(0, object.outstanding());
}

TEST(InterfaceElement_Put, NewReferenceBeforeOldOneGoes) {
    FakeUnknown first, second;
    ArrayPtr array(SafeArrayCreateVector(VT_DISPATCH, 0, 1));
    ASSERT_EQ(S_OK, SafeArrayPutElement(array.get(), kFirst, first.dispatch()));
    EXPECT_EQ(1, first.outstanding());

    ASSERT_EQ(S_OK, SafeArrayPutElement(array.get(), kFirst, first.dispatch()));  // the pointer it holds
    EXPECT_EQ(1, first.outstanding());
    EXPECT_EQ(2, first.addRefs());

    // While the old reference goes, the element already holds the new one.
    IUnknown* seen = nullptr;
    first.onRelease = [&](ULONG) { SafeArrayGetElement(array.get(), kFirst, &seen); };
    ASSERT_EQ(S_OK, SafeArrayPutElement(array.get(), kFirst, second.dispatch()));
    first.onRelease = nullptr;
    EXPECT_EQ(second.unknown(), seen);
    seen->Release();
    EXPECT_EQ(0, first.outstanding());
    EXPECT_EQ(1, second.outstanding());

    ASSERT_EQ(S_OK, SafeArrayPutElement(array.get(), kFirst, nullptr));
    EXPECT_EQ(nullptr, InterfaceAt(array.get(), 0));
    EXPECT_EQ(0, second.outstanding());
}

TEST(InterfaceElement_Query, AsksTheElementItself) {
    FakeUnknown plain, dispatch(true);
    ArrayPtr array(SafeArrayCreateVector(VT_UNKNOWN, 0, 3));
    SafeArrayPutElement(array.get(), kFirst, plain.unknown());
    SafeArrayPutElement(array.get(), kSecond, dispatch.unknown());

    void* out = nullptr;
    EXPECT_EQ(S_OK, SafeArrayQueryElement(array.get(), 1, IID_IDispatch, &out));
    EXPECT_EQ(dispatch.dispatch(), out);
    EXPECT_EQ(2, dispatch.outstanding());
    dispatch.Release();
    EXPECT_EQ(E_NOINTERFACE, SafeArrayQueryElement(array.get(), 0, IID_IDispatch, &out));
    EXPECT_EQ(1, plain.queries());

    out = &out;
    EXPECT_EQ(E_POINTER, SafeArrayQueryElement(array.get(), 2, IID_IUnknown, &out));  // null element
    EXPECT_EQ(DISP_E_BADINDEX, SafeArrayQueryElement(array.get(), 3, IID_IUnknown, &out));
    EXPECT_EQ(DISP_E_BADINDEX, SafeArrayQueryElement(array.get(), 0xFFFFFFFFu, IID_IUnknown, &out));
    EXPECT_EQ(static_cast<void*>(&out), out);
    EXPECT_EQ(1, plain.queries());
    // A null out-parameter is the element's to answer.
    EXPECT_EQ(E_POINTER, SafeArrayQueryElement(array.get(), 0, IID_IUnknown, nullptr));
    EXPECT_EQ(2, plain.queries());
}

TEST(InterfaceElement_Query, OnlyArraysOfInterfacesQualify) {
    FakeUnknown object;
    IUnknown* slots[1] = {object.unknown()};
    void* out = nullptr;
    EXPECT_EQ(E_INVALIDARG, SafeArrayQueryElement(nullptr, 0, IID_IUnknown, &out));

    ArrayPtr numbers(SafeArrayCreateVector(VT_I8, 0, 1));
    EXPECT_EQ(E_INVALIDARG, SafeArrayQueryElement(numbers.get(), 0, IID_IUnknown, &out));

    ManualArray record(FADF_RECORD | FADF_HAVEIID, 8, slots, {{1, 0}});
    EXPECT_EQ(E_INVALIDARG, SafeArrayQueryElement(record.get(), 0, IID_IUnknown, &out));

    const struct {
        USHORT features;
        VARTYPE stored;
        ULONG size;
        HRESULT expected;
    } cases[] = {{FADF_HAVEVARTYPE, VT_DISPATCH, 8, S_OK},
                 {FADF_HAVEVARTYPE, VT_UNKNOWN, 8, S_OK},
                 {FADF_HAVEVARTYPE, VT_I8, 8, E_INVALIDARG},
                 {FADF_HAVEVARTYPE, VT_BSTR, 8, E_INVALIDARG},
                 {FADF_HAVEIID, 0, 8, S_OK},
                 {FADF_HAVEIID, 0, 4, E_INVALIDARG},
                 {FADF_UNKNOWN, VT_UNKNOWN, 8, E_INVALIDARG}};
    for (const auto& c : cases) {
        ManualArray array(c.features, c.size, slots, {{1, 0}});
        KoAtlCom::detail::WritePrefixVartype(array.get(), c.stored);
        EXPECT_EQ(c.expected, SafeArrayQueryElement(array.get(), 0, IID_IUnknown, &out))
            << c.features << " " << c.stored;
        if (c.expected == S_OK) object.Release();
    }
    EXPECT_EQ(0, object.outstanding());
}

// ---------------------------------------------------------------------------
// Variants: copied in and out with VariantCopy.

TEST(VariantElement_Get, IndependentCopyWithoutClearingTheTarget) {
    ArrayPtr array(SafeArrayCreateVector(VT_VARIANT, 0, 1));
    VariantAt(array.get(), 0).vt = VT_BSTR;
    VariantAt(array.get(), 0).bstrVal = SysAllocString("element");

    BSTR held = SysAllocString("held by the caller");
    VARIANT target;
    target.vt = VT_BSTR;
    target.bstrVal = held;
    ASSERT_EQ(S_OK, SafeArrayGetElement(array.get(), kFirst, &target));
    EXPECT_EQ(VT_BSTR, target.vt);
    EXPECT_NE(VariantAt(array.get(), 0).bstrVal, target.bstrVal);
    EXPECT_STREQ("element", target.bstrVal);
    EXPECT_STREQ("held by the caller", held);  // not released by the Get
    SysFreeString(held);
    VariantClear(&target);
}

TEST(VariantElement_GetPut, ArraysAreCopiedDeeply) {
    const SAFEARRAYBOUND bounds[] = {{2, 0}, {3, 1}};
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_ARRAY | VT_I4;
    source.parray = SafeArrayCreate(VT_I4, 2, bounds);
    static_cast<LONG*>(source.parray->pvData)[5] = 42;

    ArrayPtr array(SafeArrayCreateVector(VT_VARIANT, 0, 2));
    ASSERT_EQ(S_OK, SafeArrayPutElement(array.get(), kSecond, &source));
    SAFEARRAY* stored = VariantAt(array.get(), 1).parray;
    ASSERT_NE(nullptr, stored);
    EXPECT_NE(source.parray, stored);
    EXPECT_EQ(42, static_cast<LONG*>(stored->pvData)[5]);
    VariantClear(&source);

    VARIANT out;
    VariantInit(&out);
    ASSERT_EQ(S_OK, SafeArrayGetElement(array.get(), kSecond, &out));
    EXPECT_EQ(VT_ARRAY | VT_I4, out.vt);
    EXPECT_NE(stored, out.parray);
    const LONG index[] = {1, 3};
    LONG value = 0;
    ASSERT_EQ(S_OK, SafeArrayGetElement(out.parray, index, &value));
    EXPECT_EQ(42, value);
    VariantClear(&out);
}

// A source that aliases what the element owns stays valid until it is copied.
TEST(VariantElement_Put, SourceOwnedByTheElementItself) {
    ArrayPtr array(SafeArrayCreateVector(VT_VARIANT, 0, 1));
    VARIANT& element = VariantAt(array.get(), 0);
    element.vt = VT_BSTR;
    element.bstrVal = SysAllocString("shared");
    VARIANT alias = element;  // same string pointer, not a copy
    ASSERT_EQ(S_OK, SafeArrayPutElement(array.get(), kFirst, &alias));
    EXPECT_STREQ("shared", element.bstrVal);
    EXPECT_NE(alias.bstrVal, element.bstrVal);

    BSTR held = element.bstrVal;
    ASSERT_EQ(S_OK, SafeArrayPutElement(array.get(), kFirst, &element));  // itself: unchanged
    ASSERT_EQ(S_OK, SafeArrayGetElement(array.get(), kFirst, &element));  // likewise
    EXPECT_EQ(held, element.bstrVal);
    EXPECT_STREQ("shared", element.bstrVal);

    // The source lives inside an array that the element owns.
    VariantClear(&element);
    element.vt = VT_ARRAY | VT_VARIANT;
    element.parray = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    VARIANT& inner = VariantAt(element.parray, 0);
    inner.vt = VT_BSTR;
    inner.bstrVal = SysAllocString("inner");
    ASSERT_EQ(S_OK, SafeArrayPutElement(array.get(), kFirst, &inner));
    EXPECT_EQ(VT_BSTR, element.vt);
    EXPECT_STREQ("inner", element.bstrVal);
}

TEST(VariantElement_Put, RefusedSourceLeavesTheElement) {
    ArrayPtr array(SafeArrayCreateVector(VT_VARIANT, 0, 1));
    VariantAt(array.get(), 0).vt = VT_I4;
    VariantAt(array.get(), 0).lVal = 5;
    VARIANT bad;
    VariantInit(&bad);
    bad.vt = VT_VECTOR | VT_I4;
    EXPECT_EQ(DISP_E_BADVARTYPE, SafeArrayPutElement(array.get(), kFirst, &bad));
    EXPECT_EQ(VT_I4, VariantAt(array.get(), 0).vt);
    EXPECT_EQ(5, VariantAt(array.get(), 0).lVal);
}

TEST(VariantElement_GetPut, AllocationFailuresLeaveNoLeak) {
    SweepAllocationFailures([](std::uint64_t nth, FailureMode mode) {
        ArrayPtr array(SafeArrayCreateVector(VT_VARIANT, 0, 1));
        VARIANT source;
        VariantInit(&source);
        source.vt = VT_ARRAY | VT_VARIANT;
        source.parray = SafeArrayCreateVector(VT_VARIANT, 0, 2);
        VariantAt(source.parray, 1).vt = VT_BSTR;
        VariantAt(source.parray, 1).bstrVal = SysAllocString("deep");
        VARIANT out;
        VariantInit(&out);
        HRESULT put, get;
        bool fired;
        {
            AllocationFailure failure(nth, mode == FailureMode::Persistent);
            put = SafeArrayPutElement(array.get(), kFirst, &source);
            get = SafeArrayGetElement(array.get(), kFirst, &out);
            fired = failure.Fired();
        }
        EXPECT_STREQ("deep", VariantAt(source.parray, 1).bstrVal);
        EXPECT_TRUE(put == S_OK || put == E_OUTOFMEMORY) << put;
        EXPECT_TRUE(get == S_OK || get == E_OUTOFMEMORY) << get;
        EXPECT_EQ(fired, put != S_OK || get != S_OK);
        if (put == S_OK && get == S_OK) {
            EXPECT_EQ(VT_ARRAY | VT_VARIANT, out.vt);
            if (out.parray != nullptr) {
                EXPECT_STREQ("deep", VariantAt(out.parray, 1).bstrVal);
            }
        }
        VariantClear(&out);
        VariantClear(&source);
        return fired;
    });
}

// ---------------------------------------------------------------------------
// Shapes the library never creates but callers may build: elements of unusual
// sizes, variant elements the library cannot clear.

// Plain elements of any size move exactly cbElements bytes, not a rounded
// width: 3 and 16 bytes here.
TEST(PlainElement_GetPut, OddAndWideElementSizesMoveExactlyTheirBytes) {
    for (ULONG size : {3u, 16u}) {
        unsigned char storage[3 * 16];
        std::memset(storage, 0xAA, sizeof storage);
        ManualArray array(FADF_HAVEVARTYPE, size, storage, {{3, 0}});

        unsigned char value[17];
        for (ULONG i = 0; i < sizeof value; ++i) value[i] = static_cast<unsigned char>(i + 1);
        ASSERT_EQ(S_OK, SafeArrayPutElement(array.get(), kSecond, value)) << size;
        EXPECT_EQ(0, std::memcmp(storage + size, value, size)) << size;
        EXPECT_EQ(0xAA, storage[size - 1]) << "the element before was written, size " << size;
        EXPECT_EQ(0xAA, storage[2 * size]) << "the element after was written, size " << size;

        unsigned char out[17];
        std::memset(out, 0xEE, sizeof out);
        ASSERT_EQ(S_OK, SafeArrayGetElement(array.get(), kSecond, out)) << size;
        EXPECT_EQ(0, std::memcmp(out, value, size)) << size;
        EXPECT_EQ(0xEE, out[size]) << "read past the element, size " << size;
    }
}

// A variant element that holds a record cannot be cleared: the put answers
// VariantClear's E_NOTIMPL, leaves the element as it was and releases the copy
// it had made of the source (the leak checkers see it otherwise).
TEST(VariantElement_Put, ElementThatCannotBeClearedIsLeftAndTheCopyReleased) {
    VARIANT storage[2]{};
    storage[1].vt = VT_RECORD;
    storage[1].pvRecord = reinterpret_cast<void*>(0x1000);
    storage[1].pRecInfo = reinterpret_cast<IRecordInfo*>(0x2000);
    const VARIANT before = storage[1];
    ManualArray array(FADF_HAVEVARTYPE | FADF_VARIANT, sizeof(VARIANT), storage, {{2, 0}});

    VARIANT source;
    VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = SysAllocString("copied, then released again");
    EXPECT_EQ(E_NOTIMPL, SafeArrayPutElement(array.get(), kSecond, &source));
    EXPECT_EQ(0, std::memcmp(&before, &storage[1], sizeof before));
    EXPECT_STREQ("copied, then released again", source.bstrVal);
    EXPECT_EQ(S_OK, VariantClear(&source));
}

// ---------------------------------------------------------------------------
// Descriptors built by a caller whose kind bits do not fit their element size,
// or whose size fits no block. Each data block is exactly element count x
// cbElements bytes, so AddressSanitizer reports any access past it.

struct Misfit {
    const char* name;
    USHORT features;
    ULONG size;
    bool releasedAsStrings;  // release tests the string bit first, and it fits
};
const Misfit kMisfits[] = {
    {"VariantOf8Bytes", FADF_VARIANT, 8, false},
    {"StringOf0Bytes", FADF_BSTR, 0, false},
    {"InterfaceOf24Bytes", FADF_UNKNOWN, 24, false},
    {"StringAndVariantOf8Bytes", FADF_BSTR | FADF_VARIANT, 8, true},  // variant first for access and copy
};

class MisfitElements : public ::testing::TestWithParam<Misfit> {};

TEST_P(MisfitElements, AreRefusedOneByOneAndNeverReleased) {
    const Misfit m = GetParam();
    SAFEARRAY* psa = zentrel::test::AllocateManualArray(m.features, m.size, {{3, 0}});
    if (!m.releasedAsStrings) std::memset(psa->pvData, 0xA5, 3 * m.size);  // garbage as any kind
    alignas(8) unsigned char value[32] = {};
    void* element = nullptr;
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetElement(psa, kSecond, value));
    EXPECT_EQ(E_INVALIDARG, SafeArrayPutElement(psa, kSecond, value));
    EXPECT_EQ(S_OK, SafeArrayPtrOfIndex(psa, kSecond, &element));  // the kind plays no part
    EXPECT_EQ(static_cast<unsigned char*>(psa->pvData) + m.size, element);

    ArrayPtr target(SafeArrayCreateVector(VT_UI1, 0, 3));
    target->cbElements = m.size;  // the same shape, so only the kind decides
    const USHORT targetFeatures = target->fFeatures;
    EXPECT_EQ(E_INVALIDARG, SafeArrayCopyData(psa, target.get()));
    EXPECT_EQ(targetFeatures, target->fFeatures);
    target->cbElements = 1;
    SAFEARRAY* copy = reinterpret_cast<SAFEARRAY*>(0x1);
    EXPECT_EQ(E_INVALIDARG, SafeArrayCopy(psa, &copy));
    EXPECT_EQ(m.size == 0 ? reinterpret_cast<SAFEARRAY*>(0x1) : nullptr, copy);

    const SAFEARRAYBOUND smaller{1, 0};
    EXPECT_EQ(S_OK, SafeArrayRedim(psa, &smaller));  // releases nothing of the dropped tail
    EXPECT_EQ(S_OK, SafeArrayDestroy(psa));          // frees both blocks, releases no element
}

INSTANTIATE_TEST_SUITE_P(Kinds, MisfitElements, ::testing::ValuesIn(kMisfits), zentrel::test::NameOf());

// Release tests the string bit first, access and copy the variant bit: on
// 24-byte elements the variants are read and written, and never freed as
// strings.
TEST(MisfitElements_StringAndVariantOf24Bytes, AreVariantsThatReleaseLeavesAlone) {
    SAFEARRAY* psa = zentrel::test::AllocateManualArray(FADF_BSTR | FADF_VARIANT, 24, {{2, 0}});
    VARIANT number{};
    number.vt = VT_I4;
    number.lVal = 42;
    ASSERT_EQ(S_OK, SafeArrayPutElement(psa, kFirst, &number));
    VARIANT out{};
    ASSERT_EQ(S_OK, SafeArrayGetElement(psa, kFirst, &out));
    EXPECT_EQ(VT_I4, out.vt);
    EXPECT_EQ(42, out.lVal);
    SafeArrayReleaseElements(psa, 0);  // as strings the slots would be freed at 0x3 - 4
    EXPECT_EQ(VT_I4, VariantAt(psa, 0).vt);
    EXPECT_EQ(S_OK, SafeArrayDestroy(psa));
}

// Three dimensions of 2^32 - 1 elements describe more than 2^64 bytes: no block
// can hold them, so no element is touched (the wrapped count would reach far
// past the 8-byte block given).
TEST(OverflowingDescriptor, ElementsAreNeverTouched) {
    constexpr ULONG kAll = 0xFFFFFFFF;
    FakeUnknown object;
    for (USHORT kind : {FADF_BSTR, FADF_UNKNOWN, USHORT{0}}) {
        SAFEARRAY* psa =
            zentrel::test::AllocateManualArray(kind | FADF_HAVEIID, 8, {{kAll, 0}, {kAll, 0}, {kAll, 0}}, false);
        psa->pvData = std::calloc(1, 8);
        const LONG origin[3] = {0, 0, 0};
        void* value = nullptr;
        EXPECT_EQ(E_INVALIDARG, SafeArrayGetElement(psa, origin, &value)) << kind;
        EXPECT_EQ(E_INVALIDARG, SafeArrayPutElement(psa, origin, object.unknown())) << kind;
        EXPECT_EQ(E_INVALIDARG, SafeArrayPtrOfIndex(psa, origin, &value)) << kind;
        EXPECT_EQ(E_INVALIDARG, SafeArrayQueryElement(psa, 0, IID_IUnknown, &value)) << kind;
        VARIANT raw{};
        raw.vt = VT_ARRAY | VT_UI1;
        raw.parray = psa;
        ULONG size = 0;
        EXPECT_EQ(E_INVALIDARG, VariantGetRawData(&raw, &size, &value)) << kind;
        SafeArrayReleaseElements(psa, 0);
        EXPECT_EQ(S_OK, SafeArrayDestroy(psa));
    }
    EXPECT_EQ(0, object.addRefs());
}

}  // namespace
