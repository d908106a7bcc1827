#include <cstring>

#include <gtest/gtest.h>

#include "support/array_testing.h"
#include "support/fake_unknown.h"
#include "support/fault_injection.h"

namespace {

using namespace zentrel::test;

TEST(VariantClear_Types, PlainValuesOnlyResetTheType) {
    for (VARTYPE vt : {VT_EMPTY, VT_NULL, VT_I4, VT_R8, VT_VARIANT, VT_DECIMAL, VT_UINT}) {
        VARIANT v;
        VariantInit(&v);
        v.vt = vt;
        v.llVal = 0x1122334455667788;
        EXPECT_EQ(S_OK, VariantClear(&v));
        EXPECT_EQ(VT_EMPTY, v.vt);
        EXPECT_EQ(0x1122334455667788, v.llVal);
    }
}

TEST(VariantClear_Invalid, IsRefusedAndUnchanged) {
    for (VARTYPE vt : {VARTYPE(0x2000), VARTYPE(0x4001), VARTYPE(0x1003), VARTYPE(15), VARTYPE(VT_INT_PTR)}) {
        VARIANT v;
        VariantInit(&v);
        v.vt = vt;
        EXPECT_EQ(E_INVALIDARG, VariantClear(&v)) << vt;
        EXPECT_EQ(vt, v.vt);
        VARIANT dest;
        VariantInit(&dest);
        EXPECT_EQ(DISP_E_BADVARTYPE, VariantCopy(&dest, &v)) << vt;
        EXPECT_EQ(VT_EMPTY, dest.vt);
    }
}

TEST(VariantClear_ByRef, ReleasesNothingAndKeepsThePointer) {
    BSTR s = MakeBstr("kept");
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BYREF | VT_BSTR;
    v.pbstrVal = &s;
    EXPECT_EQ(S_OK, VariantClear(&v));
    EXPECT_EQ(VT_EMPTY, v.vt);
    EXPECT_EQ(&s, v.pbstrVal);
    SysFreeString(s);
}

TEST(VariantClear_Array, DestroysItKeepsTheTypeAndNullsTheArray) {
    const SAFEARRAYBOUND bound{2, 0};
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_I4;
    v.parray = SafeArrayCreate(VT_I4, 1, &bound);
    EXPECT_EQ(S_OK, VariantClear(&v));
    EXPECT_EQ(0x2003, v.vt);
    EXPECT_EQ(nullptr, v.parray);
    EXPECT_EQ(S_OK, VariantClear(&v));
}

TEST(VariantClear_LockedArray, FailsAndLeavesBoth) {
    const SAFEARRAYBOUND bound{2, 0};
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_BSTR;
    v.parray = SafeArrayCreate(VT_BSTR, 1, &bound);
    v.parray->cLocks = 1;
    EXPECT_EQ(DISP_E_ARRAYISLOCKED, VariantClear(&v));
    ASSERT_NE(nullptr, v.parray);
    v.parray->cLocks = 0;
    EXPECT_EQ(S_OK, VariantClear(&v));
}

TEST(VariantClear_Interfaces, ReleaseOnceAndEmpty) {
    FakeUnknown object;
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_DISPATCH;
    v.pdispVal = object.dispatch();
    object.AddRef();
    EXPECT_EQ(S_OK, VariantClear(&v));
    EXPECT_EQ(0, object.outstanding());
    EXPECT_EQ(VT_EMPTY, v.vt);
    EXPECT_EQ(nullptr, v.punkVal);
}

TEST(VariantClear_Record, IsNotImplementedAndUnchanged) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_RECORD;
    EXPECT_EQ(E_NOTIMPL, VariantClear(&v));
    EXPECT_EQ(VT_RECORD, v.vt);
}

TEST(VariantCopy_Strings, TextCopyStopsAtTheFirstNul) {
    Variant src, dest;
    src.vt = VT_BSTR;
    src.bstrVal = MakeBstr(std::string("ab\0de", 5));
    EXPECT_EQ(S_OK, VariantCopy(&dest, &src));
    EXPECT_EQ(VT_BSTR, dest.vt);
    EXPECT_EQ(2u, SysStringLen(dest.bstrVal));
    EXPECT_NE(src.bstrVal, dest.bstrVal);
    Variant nullString;
    nullString.vt = VT_BSTR;
    EXPECT_EQ(S_OK, VariantCopy(&dest, &nullString));
    EXPECT_EQ(nullptr, dest.bstrVal);
}

TEST(VariantCopy_Self, LeavesTheVariantUntouched) {
    Variant v;
    v.vt = VT_BSTR;
    v.bstrVal = MakeBstr("self");
    BSTR before = v.bstrVal;
    EXPECT_EQ(S_OK, VariantCopy(&v, &v));
    EXPECT_EQ(before, v.bstrVal);
}

TEST(VariantCopy_RecordDestination, IsNotImplementedAndCopiesNothing) {
    FakeUnknown object;
    VARIANT dest;
    VariantInit(&dest);
    dest.vt = VT_RECORD;
    Variant src;
    src.vt = VT_UNKNOWN;
    src.punkVal = object.unknown();
    object.AddRef();
    EXPECT_EQ(E_NOTIMPL, VariantCopy(&dest, &src));
    EXPECT_EQ(VT_RECORD, dest.vt);
    EXPECT_EQ(1, object.addRefs());
}

TEST(VariantCopy_RecordSource, CopiesTheRawBytesAndTakesNoReference) {
    VARIANT src, dest;
    VariantInit(&src);
    VariantInit(&dest);
    src.vt = VT_RECORD;
    src.pvRecord = &src;
    src.pRecInfo = reinterpret_cast<IRecordInfo*>(&dest);
    EXPECT_EQ(E_NOTIMPL, VariantCopy(&dest, &src));
    EXPECT_EQ(0, std::memcmp(&src, &dest, sizeof src));
}

TEST(VariantCopy_Array, DeepCopiesAndNeverSharesOnFailure) {
    Variant src, dest;
    src.vt = VT_ARRAY | VT_BSTR;
    src.parray = SafeArrayCreateVector(VT_BSTR, 0, 1);
    DataOf<BSTR>(src.parray)[0] = MakeBstr("element");
    EXPECT_EQ(S_OK, VariantCopy(&dest, &src));
    EXPECT_EQ(VT_ARRAY | VT_BSTR, dest.vt);
    ASSERT_NE(nullptr, dest.parray);
    EXPECT_NE(src.parray, dest.parray);
    EXPECT_EQ("element", BstrText(DataOf<BSTR>(dest.parray)[0]));

    Variant sizeless;
    sizeless.vt = VT_ARRAY | VT_I4;
    sizeless.parray = SafeArrayCreateVector(VT_DECIMAL, 0, 1);  // cbElements 0: refused
    EXPECT_EQ(E_INVALIDARG, VariantCopy(&dest, &sizeless));
    EXPECT_EQ(VT_ARRAY | VT_I4, dest.vt);
    EXPECT_EQ(nullptr, dest.parray);
}

TEST(VariantCopyInd_Plain, CopiesTheReferencedBytesOnly) {
    SHORT value = 300;
    Variant src, dest;
    src.vt = VT_BYREF | VT_I2;
    src.piVal = &value;
    EXPECT_EQ(S_OK, VariantCopyInd(&dest, &src));
    EXPECT_EQ(VT_I2, dest.vt);
    EXPECT_EQ(300, dest.iVal);

    BYTE byte = 0xAB;
    dest.vt = VT_I8;
    dest.llVal = 0x1111111111111111;
    src.vt = VT_BYREF | VT_UI1;
    src.pbVal = &byte;
    EXPECT_EQ(S_OK, VariantCopyInd(&dest, &src));
    EXPECT_EQ(VT_UI1, dest.vt);
    EXPECT_EQ(0x11111111111111ABll, dest.llVal);  // exactly one byte written
}

TEST(VariantCopyInd_InPlace, ResolvesTheRecordItself) {
    LONG value = -12345;
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BYREF | VT_I4;
    v.plVal = &value;
    EXPECT_EQ(S_OK, VariantCopyInd(&v, &v));
    EXPECT_EQ(VT_I4, v.vt);
    EXPECT_EQ(-12345, v.lVal);
}

TEST(VariantCopyInd_NestedVariant, CopiesTheInnerStringAndRefusesAChain) {
    Variant inner;
    inner.vt = VT_BSTR;
    inner.bstrVal = MakeBstr("inner");
    Variant src, dest;
    src.vt = VT_BYREF | VT_VARIANT;
    src.pvarVal = &inner;
    EXPECT_EQ(S_OK, VariantCopyInd(&dest, &src));
    EXPECT_EQ(VT_BSTR, dest.vt);
    EXPECT_NE(inner.bstrVal, dest.bstrVal);
    EXPECT_EQ("inner", BstrText(dest.bstrVal));

    VARIANT chain;
    VariantInit(&chain);
    chain.vt = VT_BYREF | VT_VARIANT;
    chain.pvarVal = &inner;
    src.pvarVal = &chain;
    EXPECT_EQ(E_INVALIDARG, VariantCopyInd(&dest, &src));
    EXPECT_EQ(VT_EMPTY, dest.vt);
}

// Whatever the resolution answers, dest ends as clearing it first leaves it:
// an array keeps its type with a null array, anything else is VT_EMPTY.
TEST(VariantCopyInd_FailedResolution, LeavesWhatClearingTheDestinationLeft) {
    VARIANT badInner = Typed(15);
    VARIANT chain = Typed(VT_BYREF | VT_VARIANT);
    chain.pvarVal = &badInner;
    const struct {
        VARIANT* inner;
        HRESULT status;
    } sources[] = {{&badInner, DISP_E_BADVARTYPE}, {&chain, E_INVALIDARG}};
    for (const auto& s : sources) {
        for (const VARTYPE held : {VARTYPE(VT_ARRAY | VT_I4), VARTYPE(VT_BSTR)}) {
            SCOPED_TRACE(held);
            Variant dest;
            dest.vt = held;
            if (held == VT_BSTR)
                dest.bstrVal = MakeBstr("old");
            else
                dest.parray = SafeArrayCreateVector(VT_I4, 0, 1);
            VARIANT src = Typed(VT_BYREF | VT_VARIANT);
            src.pvarVal = s.inner;
            EXPECT_EQ(s.status, VariantCopyInd(&dest, &src));
            EXPECT_EQ(held == VT_BSTR ? VARTYPE(VT_EMPTY) : held, dest.vt);
            EXPECT_EQ(nullptr, dest.byref);
        }
    }
}

TEST(VariantCopyInd_Refusals, InvalidTypesNullReferencesAndUnsupportedBases) {
    LONG value = 5;
    Variant dest;
    dest.vt = VT_I4;
    dest.lVal = 9;
    VARIANT src;
    VariantInit(&src);
    src.vt = VT_BYREF | VT_NULL;  // invalid with VT_BYREF
    src.plVal = &value;
    EXPECT_EQ(DISP_E_BADVARTYPE, VariantCopyInd(&dest, &src));
    src.vt = VT_BYREF | VT_I4;
    src.plVal = nullptr;  // a reference to nothing is refused before dest is cleared
    EXPECT_EQ(E_INVALIDARG, VariantCopyInd(&dest, &src));
    EXPECT_EQ(VT_I4, dest.vt);
    EXPECT_EQ(9, dest.lVal);

    src.plVal = &value;
    VARIANT badDest;
    VariantInit(&badDest);
    badDest.vt = VT_VECTOR | VT_I4;
    EXPECT_EQ(E_INVALIDARG, VariantCopyInd(&badDest, &src));
    EXPECT_EQ(VT_VECTOR | VT_I4, badDest.vt);

    for (VARTYPE base : {VARTYPE(VT_DECIMAL), VARTYPE(VT_RECORD)}) {
        src.vt = VT_BYREF | base;
        dest.lVal = 9;
        EXPECT_EQ(E_NOTIMPL, VariantCopyInd(&dest, &src));
        EXPECT_EQ(base, dest.vt);
        EXPECT_EQ(9, dest.lVal);  // value not written
        dest.vt = VT_I4;
    }
    EXPECT_EQ(E_INVALIDARG, VariantCopyInd(nullptr, &src));
    EXPECT_EQ(E_INVALIDARG, VariantCopy(&dest, nullptr));
    EXPECT_EQ(E_INVALIDARG, VariantClear(nullptr));
    EXPECT_EQ(S_OK, VariantNormalizeBool(nullptr));
}

TEST(VariantCopyInd_NullArrayReference, NeverLeavesStaleBitsAsTheArray) {
    SAFEARRAY* none = nullptr;
    Variant dest;
    dest.vt = VT_R8;
    dest.dblVal = 1.5;  // left in the value field by VariantClear
    VARIANT src;
    VariantInit(&src);
    src.vt = VT_BYREF | VT_ARRAY | VT_I4;
    src.pparray = &none;
    EXPECT_EQ(S_OK, VariantCopyInd(&dest, &src));
    EXPECT_EQ(VT_ARRAY | VT_I4, dest.vt);
    EXPECT_EQ(nullptr, dest.parray);
}

TEST(VariantCopyInd_Interface, TakesOneReference) {
    FakeUnknown object;
    IUnknown* held = object.unknown();
    VARIANT src;
    VariantInit(&src);
    src.vt = VT_BYREF | VT_UNKNOWN;
    src.ppunkVal = &held;
    {
        Variant dest;
        EXPECT_EQ(S_OK, VariantCopyInd(&dest, &src));
        EXPECT_EQ(VT_UNKNOWN, dest.vt);
        EXPECT_EQ(held, dest.punkVal);
        EXPECT_EQ(1, object.outstanding());
    }
    EXPECT_EQ(0, object.outstanding());
}

TEST(VariantCopy_LockedDestination, FailsAndCopiesNothing) {
    FakeUnknown object;
    Variant dest, src;
    dest.vt = VT_ARRAY | VT_I4;
    dest.parray = SafeArrayCreateVector(VT_I4, 0, 1);
    dest.parray->cLocks = 1;
    src.vt = VT_UNKNOWN;
    src.punkVal = object.unknown();
    object.AddRef();
    EXPECT_EQ(DISP_E_ARRAYISLOCKED, VariantCopy(&dest, &src));
    EXPECT_EQ(VT_ARRAY | VT_I4, dest.vt);
    EXPECT_EQ(1, object.addRefs());
    dest.parray->cLocks = 0;
}

TEST(VariantCopy_ReferencesAndInterfaces, ShareReferencesAndAddRefInterfaces) {
    FakeUnknown object;
    LONG value = 3;
    Variant src, dest;
    src.vt = VT_BYREF | VT_I4;
    src.plVal = &value;
    EXPECT_EQ(S_OK, VariantCopy(&dest, &src));
    EXPECT_EQ(0, std::memcmp(&src, &dest, sizeof src));
    src.vt = VT_DISPATCH;
    src.pdispVal = object.dispatch();
    object.AddRef();
    EXPECT_EQ(S_OK, VariantCopy(&dest, &src));
    EXPECT_EQ(2, object.outstanding());
}

// A source may live inside what the destination owns. The copy is complete
// before the destination's old value (here the array holding the source) is
// released.
TEST(VariantCopy_SourceInsideDestination, AnElementOfItsOwnArray) {
    FakeUnknown object;
    for (LONG which = 0; which < 3; ++which) {
        Variant v;
        v.vt = VT_ARRAY | VT_VARIANT;
        v.parray = SafeArrayCreateVector(VT_VARIANT, 0, 3);
        VARIANT* elements = DataOf<VARIANT>(v.parray);
        elements[0].vt = VT_BSTR;
        elements[0].bstrVal = MakeBstr("element");
        elements[1].vt = VT_UNKNOWN;
        elements[1].punkVal = object.unknown();
        object.AddRef();
        elements[2].vt = VT_ARRAY | VT_I4;
        elements[2].parray = SafeArrayCreateVector(VT_I4, 0, 2);
        DataOf<LONG>(elements[2].parray)[1] = 7;

        ASSERT_EQ(S_OK, VariantCopy(&v, &elements[which])) << which;
        switch (which) {
            case 0:
                EXPECT_EQ(VT_BSTR, v.vt);
                EXPECT_EQ("element", BstrText(v.bstrVal));
                break;
            case 1:
                EXPECT_EQ(VT_UNKNOWN, v.vt);
                EXPECT_EQ(object.unknown(), v.punkVal);
                EXPECT_EQ(1, object.outstanding());
                break;
            default:
                EXPECT_EQ(VT_ARRAY | VT_I4, v.vt);
                ASSERT_NE(nullptr, v.parray);
                EXPECT_EQ(7, DataOf<LONG>(v.parray)[1]);
                break;
        }
    }
    EXPECT_EQ(0, object.outstanding());
}

TEST(VariantCopyInd_ReferenceIntoDestination, IsResolvedBeforeTheDestinationIsReleased) {
    {  // a string slot of the destination's string array
        Variant dest;
        dest.vt = VT_ARRAY | VT_BSTR;
        dest.parray = SafeArrayCreateVector(VT_BSTR, 0, 1);
        DataOf<BSTR>(dest.parray)[0] = MakeBstr("inside");
        VARIANT src{};
        src.vt = VT_BYREF | VT_BSTR;
        src.pbstrVal = &DataOf<BSTR>(dest.parray)[0];
        ASSERT_EQ(S_OK, VariantCopyInd(&dest, &src));
        EXPECT_EQ(VT_BSTR, dest.vt);
        EXPECT_EQ("inside", BstrText(dest.bstrVal));
    }
    {  // a variant of the destination's variant array, and an array held there
        for (bool throughArray : {false, true}) {
            Variant dest;
            dest.vt = VT_ARRAY | VT_VARIANT;
            dest.parray = SafeArrayCreateVector(VT_VARIANT, 0, 1);
            VARIANT& element = DataOf<VARIANT>(dest.parray)[0];
            element.vt = VT_ARRAY | VT_BSTR;
            element.parray = SafeArrayCreateVector(VT_BSTR, 3, 1);
            DataOf<BSTR>(element.parray)[0] = MakeBstr("nested");
            VARIANT src{};
            src.vt = throughArray ? VT_BYREF | VT_ARRAY | VT_BSTR : VT_BYREF | VT_VARIANT;
            if (throughArray) {
                src.pparray = &element.parray;
            } else {
                src.pvarVal = &element;
            }
            ASSERT_EQ(S_OK, VariantCopyInd(&dest, &src)) << throughArray;
            EXPECT_EQ(VT_ARRAY | VT_BSTR, dest.vt);
            ASSERT_NE(nullptr, dest.parray);
            EXPECT_EQ(3, dest.parray->rgsabound[0].lLbound);
            EXPECT_EQ("nested", BstrText(DataOf<BSTR>(dest.parray)[0]));
        }
    }
    {  // a plain value inside the destination's array; the reserved words stay
        Variant dest;
        dest.vt = VT_ARRAY | VT_I4;
        dest.wReserved2 = 0x2222;
        dest.parray = SafeArrayCreateVector(VT_I4, 0, 2);
        DataOf<LONG>(dest.parray)[1] = -9;
        VARIANT src{};
        src.vt = VT_BYREF | VT_I4;
        src.plVal = &DataOf<LONG>(dest.parray)[1];
        ASSERT_EQ(S_OK, VariantCopyInd(&dest, &src));
        EXPECT_EQ(VT_I4, dest.vt);
        EXPECT_EQ(-9, dest.lVal);
        EXPECT_EQ(0x2222, dest.wReserved2);
    }
}

TEST(VariantNormalizeBool, BitZeroDecides) {
    struct Case {
        VARIANT_BOOL in, out;
    };
    for (Case c : {Case{1, -1}, Case{2, 0}, Case{-1, -1}, Case{0, 0}, Case{3, -1}}) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BOOL;
        v.boolVal = c.in;
        EXPECT_EQ(S_OK, VariantNormalizeBool(&v));
        EXPECT_EQ(c.out, v.boolVal) << c.in;
        VARIANT_BOOL stored = c.in;
        v.vt = VT_BYREF | VT_BOOL;
        v.pboolVal = &stored;
        EXPECT_EQ(S_OK, VariantNormalizeBool(&v));
        EXPECT_EQ(c.out, stored);
    }
    VARIANT i2;
    VariantInit(&i2);
    i2.vt = VT_I2;
    i2.iVal = 2;
    EXPECT_EQ(S_OK, VariantNormalizeBool(&i2));
    EXPECT_EQ(2, i2.iVal);
}

}  // namespace
