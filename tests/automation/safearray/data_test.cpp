#include <array>
#include <cstring>

#include <gtest/gtest.h>

#include "support/array_testing.h"
#include "support/fake_unknown.h"
#include "support/fault_injection.h"
#include "support/manual_array.h"

namespace {

using namespace zentrel::test;

constexpr IID kOtherIid = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};

SAFEARRAY* StringVector(std::initializer_list<const char*> texts) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(texts.size()));
    ULONG i = 0;
    for (const char* t : texts) DataOf<BSTR>(psa)[i++] = t != nullptr ? MakeBstr(t) : nullptr;
    return psa;
}

// --- release and destroy -----------------------------------------------------

TEST(DestroyData_InlineStrings, FreesThemMarksReleasedAndKeepsTheStorage) {
    SAFEARRAY* psa = StringVector({"a", "bc", "def"});
    void* data = psa->pvData;
    EXPECT_EQ(S_OK, SafeArrayDestroyData(psa));
    EXPECT_EQ(0x2180 | FADF_DATA_RELEASED, psa->fFeatures);
    EXPECT_EQ(data, psa->pvData);
    SafeArrayReleaseElements(psa, 0);  // released: nothing happens (ASan: no double free)
    EXPECT_EQ(S_OK, SafeArrayDestroyDescriptor(psa));
}

TEST(DestroyDescriptor_LiveInlineInterfaces, ReleasesEachNonNullElementOnce) {
    FakeUnknown a, b;
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UNKNOWN, 0, 3);
    DataOf<IUnknown*>(psa)[0] = a.unknown();
    DataOf<IUnknown*>(psa)[2] = b.unknown();
    a.AddRef();
    b.AddRef();
    EXPECT_EQ(S_OK, SafeArrayDestroyDescriptor(psa));
    EXPECT_EQ(0, a.outstanding());
    EXPECT_EQ(0, b.outstanding());
    EXPECT_EQ(1, a.releases());
}

TEST(DestroyDescriptor_SeparateData, LeavesTheDataBlockToTheCaller) {
    const SAFEARRAYBOUND bound{2, 0};
    SAFEARRAY* psa = SafeArrayCreate(VT_BSTR, 1, &bound);
    DataOf<BSTR>(psa)[0] = MakeBstr("kept");
    void* data = psa->pvData;
    EXPECT_EQ(S_OK, SafeArrayDestroyDescriptor(psa));
    BSTR kept = static_cast<BSTR*>(data)[0];
    EXPECT_EQ("kept", BstrText(kept));
    SysFreeString(kept);
    std::free(data);
}

TEST(DestroyData_Static, ReleasesAndZeroesButKeepsTheCallersBlock) {
    std::array<BSTR, 2> storage = {MakeBstr("x"), MakeBstr("y")};
    SAFEARRAY* psa = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAllocDescriptorEx(VT_BSTR, 1, &psa));
    psa->fFeatures |= FADF_BSTR | FADF_STATIC;
    psa->rgsabound[0] = {2, 0};
    psa->pvData = storage.data();
    EXPECT_EQ(S_OK, SafeArrayDestroyData(psa));
    EXPECT_EQ(storage.data(), psa->pvData);
    EXPECT_EQ(nullptr, storage[0]);
    EXPECT_EQ(nullptr, storage[1]);
    storage[0] = MakeBstr("z");
    EXPECT_EQ(S_OK, SafeArrayDestroy(psa));  // frees z, not the block
    EXPECT_EQ(nullptr, storage[0]);
}

TEST(DestroyData_SeparateBlock, FreesItAndNullsTheDataPointer) {
    const SAFEARRAYBOUND bound{2, 0};
    SAFEARRAY* psa = SafeArrayCreate(VT_BSTR, 1, &bound);
    DataOf<BSTR>(psa)[1] = MakeBstr("gone");
    EXPECT_EQ(S_OK, SafeArrayDestroyData(psa));
    EXPECT_EQ(nullptr, psa->pvData);
    // The bounds still count two elements; a further release must not read
    // through the null data pointer.
    SafeArrayReleaseElements(psa, 0);
    EXPECT_EQ(S_OK, SafeArrayDestroyData(psa));
    EXPECT_EQ(S_OK, SafeArrayDestroy(psa));
}

TEST(Destroy_Locked, RefusedByAllThreeAndNothingFreed) {
    SAFEARRAY* psa = StringVector({"locked"});
    psa->cLocks = 1;
    EXPECT_EQ(DISP_E_ARRAYISLOCKED, SafeArrayDestroy(psa));
    EXPECT_EQ(DISP_E_ARRAYISLOCKED, SafeArrayDestroyData(psa));
    EXPECT_EQ(DISP_E_ARRAYISLOCKED, SafeArrayDestroyDescriptor(psa));
    EXPECT_EQ("locked", BstrText(DataOf<BSTR>(psa)[0]));
    EXPECT_EQ(0x2180, psa->fFeatures);
    psa->cLocks = 0;
    EXPECT_EQ(S_OK, SafeArrayDestroy(psa));
}

TEST(Destroy_Null, DescriptorAndWholeAcceptDataRefuses) {
    EXPECT_EQ(S_OK, SafeArrayDestroy(nullptr));
    EXPECT_EQ(S_OK, SafeArrayDestroyDescriptor(nullptr));
    EXPECT_EQ(E_INVALIDARG, SafeArrayDestroyData(nullptr));
    SafeArrayReleaseElements(nullptr, 0);
}

TEST(ReleaseElements_FromIndex, ReleasesTheTailOnlyAndKeepsSlots) {
    FakeUnknown objects[4];
    SAFEARRAY* psa = SafeArrayCreateVector(VT_DISPATCH, 0, 4);
    for (int i = 0; i < 4; ++i) {
        DataOf<IUnknown*>(psa)[i] = objects[i].unknown();
        objects[i].AddRef();
    }
    SafeArrayReleaseElements(psa, 2);
    EXPECT_EQ(1, objects[1].outstanding());
    EXPECT_EQ(0, objects[2].outstanding());
    EXPECT_EQ(0, objects[3].outstanding());
    EXPECT_EQ(objects[3].unknown(), DataOf<IUnknown*>(psa)[3]);
    SafeArrayReleaseElements(psa, 4);  // nothing beyond the end
    SafeArrayReleaseElements(psa, 99);
    DataOf<IUnknown*>(psa)[2] = DataOf<IUnknown*>(psa)[3] = nullptr;
    EXPECT_EQ(S_OK, SafeArrayDestroy(psa));
    EXPECT_EQ(0, objects[0].outstanding());
    EXPECT_EQ(1, objects[3].releases());
}

TEST(Destroy_NestedVariants, DestroysInnerArraysToAnyDepth) {
    FakeUnknown object;
    SAFEARRAY* inner = SafeArrayCreateVector(VT_UNKNOWN, 0, 1);
    DataOf<IUnknown*>(inner)[0] = object.unknown();
    object.AddRef();
    SAFEARRAY* middle = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    VARIANT* m = DataOf<VARIANT>(middle);
    m[0].vt = VT_ARRAY | VT_UNKNOWN;
    m[0].parray = inner;
    m[1].vt = VT_BSTR;
    m[1].bstrVal = MakeBstr("deep");
    const SAFEARRAYBOUND bound{1, 0};
    SAFEARRAY* outer = SafeArrayCreate(VT_VARIANT, 1, &bound);
    DataOf<VARIANT>(outer)[0].vt = VT_ARRAY | VT_VARIANT;
    DataOf<VARIANT>(outer)[0].parray = middle;
    EXPECT_EQ(S_OK, SafeArrayDestroy(outer));
    EXPECT_EQ(0, object.outstanding());  // and ASan: every block freed once
}

// --- SafeArrayCopyData ---------------------------------------------------------

TEST(CopyData_LowerBounds, AreNotComparedButCountsAre) {
    SAFEARRAY* source = SafeArrayCreateVector(VT_I4, 0, 3);
    SAFEARRAY* target = SafeArrayCreateVector(VT_I4, 10, 3);
    SAFEARRAY* longer = SafeArrayCreateVector(VT_I4, 0, 4);
    for (LONG i = 0; i < 3; ++i) DataOf<LONG>(source)[i] = 100 + i;
    EXPECT_EQ(S_OK, SafeArrayCopyData(source, target));
    EXPECT_EQ(102, DataOf<LONG>(target)[2]);
    EXPECT_EQ(10, target->rgsabound[0].lLbound);
    EXPECT_EQ(0x2080, target->fFeatures);
    EXPECT_EQ(E_INVALIDARG, SafeArrayCopyData(source, longer));
    EXPECT_EQ(0, DataOf<LONG>(longer)[0]);
    for (SAFEARRAY* p : {source, target, longer}) SafeArrayDestroy(p);
}

TEST(CopyData_ShapeChecks, DimensionsElementSizeAndNulls) {
    const SAFEARRAYBOUND two[2] = {{2, 0}, {3, 0}};
    const SAFEARRAYBOUND swapped[2] = {{3, 0}, {2, 0}};
    ArrayPtr a(SafeArrayCreate(VT_I4, 2, two));
    ArrayPtr b(SafeArrayCreate(VT_I4, 2, swapped));
    ArrayPtr c(SafeArrayCreate(VT_R4, 2, two));
    ArrayPtr d(SafeArrayCreate(VT_I2, 2, two));
    ArrayPtr e(SafeArrayCreateVector(VT_I4, 0, 6));
    EXPECT_EQ(E_INVALIDARG, SafeArrayCopyData(nullptr, a.get()));
    EXPECT_EQ(E_INVALIDARG, SafeArrayCopyData(a.get(), nullptr));
    EXPECT_EQ(E_INVALIDARG, SafeArrayCopyData(a.get(), b.get()));
    EXPECT_EQ(E_INVALIDARG, SafeArrayCopyData(a.get(), d.get()));
    EXPECT_EQ(E_INVALIDARG, SafeArrayCopyData(a.get(), e.get()));
    EXPECT_EQ(FADF_HAVEVARTYPE, b->fFeatures);
    DataOf<LONG>(a.get())[5] = 9;
    EXPECT_EQ(S_OK, SafeArrayCopyData(a.get(), c.get()));  // same size, other type: taken whole
    EXPECT_EQ(3u, PrefixWord(c.get()));
    EXPECT_EQ(9, DataOf<LONG>(c.get())[5]);
}

// Shapes whose element count, or whose byte size, does not fit 64 bits: no
// block can hold them, so there is nothing to copy from or into.
TEST(CopyData_ImpossibleSize, IsRefusedAndNothingIsTouched) {
    constexpr SAFEARRAYBOUND kMax{0xFFFFFFFF, 0};
    unsigned char sourceData[16] = {1, 2, 3};
    unsigned char targetData[16] = {};
    struct Shape {
        ULONG elementSize;
        std::initializer_list<SAFEARRAYBOUND> bounds;
    };
    for (const Shape& shape : {Shape{8, {kMax, kMax}}, Shape{1, {kMax, kMax, kMax}}}) {
        ManualArray source(FADF_HAVEVARTYPE | FADF_AUTO, shape.elementSize, sourceData, shape.bounds);
        ManualArray target(FADF_FIXEDSIZE, shape.elementSize, targetData, shape.bounds);
        AllocationCounter counter;
        EXPECT_EQ(E_INVALIDARG, SafeArrayCopyData(source.get(), target.get()));
        EXPECT_EQ(0u, counter.Count());
        EXPECT_EQ(FADF_FIXEDSIZE, target.get()->fFeatures);
        EXPECT_EQ(targetData, target.get()->pvData);
        for (unsigned char byte : targetData) EXPECT_EQ(0, byte);
    }
}

TEST(CopyData_DataPointers, SourceWithoutDataIsNothingTargetWithoutDataIsRefused) {
    const SAFEARRAYBOUND bound{2, 0};
    ArrayPtr a(SafeArrayCreate(VT_BSTR, 1, &bound));
    ArrayPtr b(SafeArrayCreate(VT_I4, 1, &bound));
    ArrayPtr c(SafeArrayCreate(VT_BSTR, 1, &bound));
    ASSERT_EQ(S_OK, SafeArrayDestroyData(a.get()));
    EXPECT_EQ(S_OK, SafeArrayCopyData(a.get(), c.get()));
    EXPECT_EQ(E_INVALIDARG, SafeArrayCopyData(c.get(), a.get()));
    EXPECT_EQ(0x180, a->fFeatures);
}

TEST(CopyData_Released, SourceAndTargetWithReleasedInlineDataAreRefused) {
    SAFEARRAY* released = StringVector({"a", "b"});
    SAFEARRAY* live = StringVector({"c", "d"});
    ASSERT_EQ(S_OK, SafeArrayDestroyData(released));
    EXPECT_EQ(E_INVALIDARG, SafeArrayCopyData(released, live));
    // Its slots hold freed strings: copying into it would free them again.
    EXPECT_EQ(E_INVALIDARG, SafeArrayCopyData(live, released));
    EXPECT_EQ(0x3180, released->fFeatures);
    EXPECT_EQ("c", BstrText(DataOf<BSTR>(live)[0]));
    SafeArrayDestroy(released);
    SafeArrayDestroy(live);
}

TEST(CopyData_Strings, ZeroLengthSourceStopsWithOutOfMemory) {
    SAFEARRAY* source = StringVector({"one", "", "three"});
    SAFEARRAY* target = StringVector({"old0", "old1", "old2"});
    ASSERT_NE(nullptr, DataOf<BSTR>(source)[1] = SysAllocString(""));
    EXPECT_EQ(E_OUTOFMEMORY, SafeArrayCopyData(source, target));
    EXPECT_EQ("one", BstrText(DataOf<BSTR>(target)[0]));
    EXPECT_NE(DataOf<BSTR>(source)[0], DataOf<BSTR>(target)[0]);
    EXPECT_EQ(nullptr, DataOf<BSTR>(target)[1]);
    EXPECT_EQ("old2", BstrText(DataOf<BSTR>(target)[2]));
    SafeArrayDestroy(source);
    SafeArrayDestroy(target);
}

TEST(CopyData_Strings, NullElementsAndEmbeddedNulsAreCopiedExactly) {
    SAFEARRAY* source = StringVector({nullptr, "x"});
    DataOf<BSTR>(source)[1] = (SysFreeString(DataOf<BSTR>(source)[1]), MakeBstr(std::string("a\0b", 3)));
    SAFEARRAY* target = StringVector({"t0", "t1"});
    EXPECT_EQ(S_OK, SafeArrayCopyData(source, target));
    EXPECT_EQ(nullptr, DataOf<BSTR>(target)[0]);
    EXPECT_EQ(std::string("a\0b", 3), BstrText(DataOf<BSTR>(target)[1]));
    SafeArrayDestroy(source);
    SafeArrayDestroy(target);
}

TEST(CopyData_Interfaces, ReleaseOldAddRefNewAndSamePointersBalance) {
    FakeUnknown a, b, old;
    SAFEARRAY* source = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
    SAFEARRAY* target = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
    DataOf<IUnknown*>(source)[0] = a.unknown();
    DataOf<IUnknown*>(source)[1] = b.unknown();
    DataOf<IUnknown*>(target)[0] = old.unknown();
    a.AddRef();
    b.AddRef();
    old.AddRef();
    EXPECT_EQ(S_OK, SafeArrayCopyData(source, target));
    EXPECT_EQ(0, old.outstanding());
    EXPECT_EQ(2, a.outstanding());
    EXPECT_EQ(2, b.outstanding());
    EXPECT_EQ(S_OK, SafeArrayCopyData(source, target));  // same pointers again
    EXPECT_EQ(2, a.outstanding());
    EXPECT_EQ(2, b.outstanding());
    SafeArrayDestroy(source);
    SafeArrayDestroy(target);
    EXPECT_EQ(0, a.outstanding());
    EXPECT_EQ(0, b.outstanding());
}

TEST(CopyData_SameArray, IsANoOpThatFreesNothing) {
    FakeUnknown object;
    SAFEARRAY* strings = StringVector({"same"});
    SAFEARRAY* objects = SafeArrayCreateVector(VT_UNKNOWN, 0, 1);
    DataOf<IUnknown*>(objects)[0] = object.unknown();
    object.AddRef();
    object.onRelease = [](ULONG count) { EXPECT_NE(0u, count) << "object passed through zero"; };
    EXPECT_EQ(S_OK, SafeArrayCopyData(strings, strings));
    EXPECT_EQ(S_OK, SafeArrayCopyData(objects, objects));
    EXPECT_EQ("same", BstrText(DataOf<BSTR>(strings)[0]));
    EXPECT_EQ(1, object.outstanding());
    object.onRelease = nullptr;
    SafeArrayDestroy(strings);
    SafeArrayDestroy(objects);
}

TEST(CopyData_SharedStorage, TakesFeaturesAndPrefixOnly) {
    SAFEARRAY* source = StringVector({"shared"});
    SAFEARRAY* alias = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAllocDescriptor(1, &alias));
    alias->fFeatures = FADF_STATIC;
    alias->cbElements = 8;
    alias->rgsabound[0] = source->rgsabound[0];
    alias->pvData = source->pvData;
    EXPECT_EQ(S_OK, SafeArrayCopyData(source, alias));
    EXPECT_EQ(FADF_BSTR | FADF_HAVEVARTYPE | FADF_STATIC, alias->fFeatures);
    EXPECT_EQ(VT_BSTR, PrefixWord(alias));
    EXPECT_EQ("shared", BstrText(DataOf<BSTR>(source)[0]));
    SafeArrayDestroyDescriptor(alias);
    SafeArrayDestroy(source);
}

TEST(CopyData_Features, TargetTakesSourceBitsAndKeepsItsStorageBits) {
    SAFEARRAY* source = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAllocDescriptor(1, &source));
    source->fFeatures = 0xFFFF & ~(FADF_DATA_RELEASED | FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH | FADF_VARIANT |
                                   FADF_RECORD | FADF_HAVEIID);
    source->cbElements = 4;
    source->rgsabound[0] = {1, 0};
    LONG value = 5;
    source->pvData = &value;
    ArrayPtr target(SafeArrayCreateVector(VT_I4, 0, 1));
    EXPECT_EQ(S_OK, SafeArrayCopyData(source, target.get()));
    EXPECT_EQ((source->fFeatures & 0xCFE8) | FADF_INLINE_DATA, target->fFeatures);
    EXPECT_EQ(5, DataOf<LONG>(target.get())[0]);
    std::free(const_cast<unsigned char*>(BlockOf(source)));
}

TEST(CopyData_Records, AnswerNotImplementedAfterTakingFeatures) {
    const SAFEARRAYBOUND bound{1, 0};
    ArrayPtr source(SafeArrayCreate(VT_I4, 1, &bound));
    ArrayPtr target(SafeArrayCreate(VT_I4, 1, &bound));
    source->fFeatures |= FADF_RECORD;
    DataOf<LONG>(source.get())[0] = 1;
    EXPECT_EQ(E_NOTIMPL, SafeArrayCopyData(source.get(), target.get()));
    EXPECT_EQ(FADF_RECORD | FADF_HAVEVARTYPE, target->fFeatures);
    EXPECT_EQ(0, DataOf<LONG>(target.get())[0]);
    // Onto itself as well: a record array is never copied, so it is never "already copied".
    EXPECT_EQ(E_NOTIMPL, SafeArrayCopyData(source.get(), source.get()));
    EXPECT_EQ(FADF_RECORD | FADF_HAVEVARTYPE, source->fFeatures);
}

// A target that takes record features with an interface bit would misread
// what it holds as interfaces: strings are released by their own kind, and
// every slot of another kind is zeroed, plain numbers included (destroying the
// target would otherwise Release them). Interfaces stay what they were.
TEST(CopyData_Records, TargetSlotsFitTheKindTheyTake) {
    FakeUnknown object;
    const struct {
        VARTYPE vt;
        std::uint64_t value;  // the first slot's 8 bytes before the copy
        bool kept;
    } targets[] = {{VT_BSTR, 0, false},
                   {VT_I8, 0x1111, false},
                   {VT_R8, 0x3FF0000000000000, false},
                   {VT_CY, 0x1111, false},
                   {VT_DATE, 0x40E0000000000000, false},
                   {VT_UNKNOWN, 0, true}};
    for (const auto& t : targets) {
        SCOPED_TRACE(t.vt);
        SAFEARRAY* source = AllocateManualArray(FADF_RECORD | FADF_UNKNOWN, 8, {{2, 0}});
        SAFEARRAY* target = SafeArrayCreateVector(t.vt, 0, 2);
        auto* slots = static_cast<std::uint64_t*>(target->pvData);
        if (t.vt == VT_BSTR) slots[0] = reinterpret_cast<std::uintptr_t>(MakeBstr("a"));
        if (t.vt == VT_UNKNOWN) {
            object.AddRef();
            slots[0] = reinterpret_cast<std::uintptr_t>(object.unknown());
        }
        if (t.value != 0) slots[0] = slots[1] = t.value;
        const std::uint64_t first = slots[0];
        EXPECT_EQ(E_NOTIMPL, SafeArrayCopyData(source, target));
        EXPECT_EQ(FADF_INLINE_DATA | FADF_RECORD | FADF_UNKNOWN, target->fFeatures);
        EXPECT_EQ(t.kept ? first : 0, slots[0]);
        EXPECT_EQ(0u, slots[1]);
        EXPECT_EQ(S_OK, SafeArrayDestroy(target));
        EXPECT_EQ(S_OK, SafeArrayDestroy(source));
        EXPECT_EQ(0, object.outstanding());
    }
}

TEST(CopyData_Variants, AMiddleFailureIsNotHiddenByALaterSuccess) {
    SAFEARRAY* source = SafeArrayCreateVector(VT_VARIANT, 0, 3);
    SAFEARRAY* target = SafeArrayCreateVector(VT_VARIANT, 0, 3);
    VARIANT* s = DataOf<VARIANT>(source);
    s[0].vt = VT_I4;
    s[0].lVal = 1;
    s[1].vt = VT_INT_PTR;  // invalid type: DISP_E_BADVARTYPE
    s[2].vt = VT_I2;
    s[2].iVal = 3;
    EXPECT_EQ(DISP_E_BADVARTYPE, SafeArrayCopyData(source, target));
    VARIANT* t = DataOf<VARIANT>(target);
    EXPECT_EQ(VT_I4, t[0].vt);
    EXPECT_EQ(VT_EMPTY, t[1].vt);
    EXPECT_EQ(VT_I2, t[2].vt);  // every element attempted
    EXPECT_EQ(3, t[2].iVal);
    s[1].vt = VT_EMPTY;
    SafeArrayDestroy(source);
    SafeArrayDestroy(target);
}

// The source lives in an element of the target: every copy is made before the
// target element holding the source is cleared (which destroys the source).
TEST(CopyData_SourceInsideTarget, CopiesBeforeReleasing) {
    FakeUnknown object;
    SAFEARRAY* inner = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    DataOf<VARIANT>(inner)[0].vt = VT_BSTR;
    DataOf<VARIANT>(inner)[0].bstrVal = MakeBstr("kept");
    DataOf<VARIANT>(inner)[1].vt = VT_UNKNOWN;
    DataOf<VARIANT>(inner)[1].punkVal = object.unknown();
    object.AddRef();
    ArrayPtr outer(SafeArrayCreateVector(VT_VARIANT, 0, 2));
    DataOf<VARIANT>(outer.get())[0].vt = VT_ARRAY | VT_VARIANT;
    DataOf<VARIANT>(outer.get())[0].parray = inner;  // outer owns inner now
    DataOf<VARIANT>(outer.get())[1].vt = VT_BSTR;
    DataOf<VARIANT>(outer.get())[1].bstrVal = MakeBstr("old");

    ASSERT_EQ(S_OK, SafeArrayCopyData(inner, outer.get()));
    const VARIANT* t = DataOf<VARIANT>(outer.get());
    EXPECT_EQ(VT_BSTR, t[0].vt);
    EXPECT_EQ("kept", BstrText(t[0].bstrVal));
    EXPECT_EQ(VT_UNKNOWN, t[1].vt);
    EXPECT_EQ(1, object.outstanding());  // inner's reference went with inner
    EXPECT_EQ(VT_VARIANT, PrefixWord(outer.get()));
}

// A target of another kind is released by its own kind before it takes the
// source's: its plain bytes or interface pointers are never freed as strings.
TEST(CopyData_TargetOfAnotherKind, IsReleasedByItsOwnKind) {
    FakeUnknown object;
    ArrayPtr source(StringVector({"x", "y"}));
    ArrayPtr numbers(SafeArrayCreateVector(VT_I8, 0, 2));
    DataOf<LONGLONG>(numbers.get())[0] = 0x1234;
    DataOf<LONGLONG>(numbers.get())[1] = -1;
    ASSERT_EQ(S_OK, SafeArrayCopyData(source.get(), numbers.get()));
    EXPECT_EQ("x", BstrText(DataOf<BSTR>(numbers.get())[0]));
    EXPECT_EQ("y", BstrText(DataOf<BSTR>(numbers.get())[1]));
    EXPECT_EQ(FADF_INLINE_DATA | FADF_BSTR | FADF_HAVEVARTYPE, numbers->fFeatures);

    ArrayPtr objects(SafeArrayCreateVector(VT_UNKNOWN, 0, 2));
    DataOf<IUnknown*>(objects.get())[1] = object.unknown();
    object.AddRef();
    ASSERT_EQ(S_OK, SafeArrayCopyData(source.get(), objects.get()));
    EXPECT_EQ(0, object.outstanding());
    EXPECT_EQ("y", BstrText(DataOf<BSTR>(objects.get())[1]));

    // A zero-length string stops the copy: the slots it did not reach are null,
    // not the interface pointers they held.
    ArrayPtr stopping(StringVector({nullptr, "z"}));
    DataOf<BSTR>(stopping.get())[0] = SysAllocString("");  // non-null, length 0
    ArrayPtr more(SafeArrayCreateVector(VT_UNKNOWN, 0, 2));
    DataOf<IUnknown*>(more.get())[1] = object.unknown();
    object.AddRef();
    EXPECT_EQ(E_OUTOFMEMORY, SafeArrayCopyData(stopping.get(), more.get()));
    EXPECT_EQ(nullptr, DataOf<BSTR>(more.get())[0]);
    EXPECT_EQ(nullptr, DataOf<BSTR>(more.get())[1]);
    EXPECT_EQ(0, object.outstanding());
}

// When the target holds variants, a refused source element leaves its target
// element as it was, and one that cannot be cleared keeps its value too.
TEST(CopyData_VariantsOverOwners, RefusedAndUnclearableElementsKeepTheirValues) {
    SAFEARRAY* source = SafeArrayCreateVector(VT_VARIANT, 0, 3);
    VARIANT* s = DataOf<VARIANT>(source);
    s[0].vt = VT_INT_PTR;  // invalid: DISP_E_BADVARTYPE
    s[1].vt = VT_I4;
    s[1].lVal = 5;
    s[2].vt = VT_I2;
    ArrayPtr target(SafeArrayCreateVector(VT_VARIANT, 0, 3));
    VARIANT* t = DataOf<VARIANT>(target.get());
    t[0].vt = VT_BSTR;
    t[0].bstrVal = MakeBstr("zero");
    t[1].vt = VT_ARRAY | VT_I4;
    t[1].parray = SafeArrayCreateVector(VT_I4, 0, 1);
    t[1].parray->cLocks = 1;
    t[2].vt = VT_BSTR;
    t[2].bstrVal = MakeBstr("two");
    EXPECT_EQ(DISP_E_ARRAYISLOCKED, SafeArrayCopyData(source, target.get()));  // the last failure
    EXPECT_EQ("zero", BstrText(t[0].bstrVal));
    EXPECT_EQ(VT_ARRAY | VT_I4, t[1].vt);
    EXPECT_EQ(VT_I2, t[2].vt);
    t[1].parray->cLocks = 0;
    s[0].vt = VT_EMPTY;
    SafeArrayDestroy(source);
}

// --- SafeArrayCopy -------------------------------------------------------------

TEST(Copy_TwoDimensionalInts, SameStoredBoundsFeaturesPrefixAndSeparateData) {
    const SAFEARRAYBOUND bounds[2] = {{2, 0}, {3, 1}};
    ArrayPtr source(SafeArrayCreate(VT_I4, 2, bounds));
    for (LONG i = 0; i < 6; ++i) DataOf<LONG>(source.get())[i] = i * 11;
    SAFEARRAY* raw = nullptr;
    ASSERT_EQ(S_OK, SafeArrayCopy(source.get(), &raw));
    ArrayPtr copy(raw);
    EXPECT_EQ(2, copy->cDims);
    EXPECT_EQ(FADF_HAVEVARTYPE, copy->fFeatures);
    EXPECT_EQ(3u, PrefixWord(copy.get()));
    EXPECT_EQ(0, std::memcmp(source->rgsabound, copy->rgsabound, 16));
    EXPECT_NE(source->pvData, copy->pvData);
    EXPECT_EQ(0, std::memcmp(source->pvData, copy->pvData, 24));
}

TEST(Copy_StringVector, BecomesAnOrdinaryArrayWithIndependentStrings) {
    SAFEARRAY* source = StringVector({"a", nullptr, "ccc"});
    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(S_OK, SafeArrayCopy(source, &copy));
    EXPECT_EQ(0x180, copy->fFeatures);
    EXPECT_EQ(VT_BSTR, PrefixWord(copy));
    EXPECT_NE(reinterpret_cast<unsigned char*>(copy) + 32, copy->pvData);
    EXPECT_EQ("a", BstrText(DataOf<BSTR>(copy)[0]));
    EXPECT_EQ(nullptr, DataOf<BSTR>(copy)[1]);
    EXPECT_NE(DataOf<BSTR>(source)[2], DataOf<BSTR>(copy)[2]);
    SafeArrayDestroy(source);
    EXPECT_EQ("ccc", BstrText(DataOf<BSTR>(copy)[2]));
    SafeArrayDestroy(copy);
}

TEST(Copy_InterfaceArray, KeepsACustomIid) {
    const SAFEARRAYBOUND bound{1, 0};
    IID extra = kOtherIid;
    ArrayPtr source(SafeArrayCreateEx(VT_UNKNOWN, 1, &bound, &extra));
    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(S_OK, SafeArrayCopy(source.get(), &copy));
    EXPECT_EQ(kOtherIid, PrefixIid(copy));
    EXPECT_EQ(0x240, copy->fFeatures);
    SafeArrayDestroy(copy);
}

TEST(Copy_Arguments, NullOutNullSourceAndSizelessSource) {
    SAFEARRAY* out = reinterpret_cast<SAFEARRAY*>(0x1);
    EXPECT_EQ(S_OK, SafeArrayCopy(nullptr, &out));
    EXPECT_EQ(reinterpret_cast<SAFEARRAY*>(0x1), out);
    ArrayPtr sizeless(SafeArrayCreateVector(VT_DECIMAL, 0, 2));
    EXPECT_EQ(E_INVALIDARG, SafeArrayCopy(sizeless.get(), &out));
    EXPECT_EQ(reinterpret_cast<SAFEARRAY*>(0x1), out);
    EXPECT_EQ(E_INVALIDARG, SafeArrayCopy(sizeless.get(), nullptr));
}

TEST(Copy_NoDimensions, IsRefusedWithANullResult) {
    SAFEARRAY source{};
    source.cbElements = 4;
    SAFEARRAY* out = reinterpret_cast<SAFEARRAY*>(0x1);
    EXPECT_EQ(E_INVALIDARG, SafeArrayCopy(&source, &out));
    EXPECT_EQ(nullptr, out);
}

TEST(Copy_SourceWithoutData, GivesAZeroedCopy) {
    const SAFEARRAYBOUND bound{3, 0};
    ArrayPtr source(SafeArrayCreate(VT_BSTR, 1, &bound));
    ASSERT_EQ(S_OK, SafeArrayDestroyData(source.get()));
    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(S_OK, SafeArrayCopy(source.get(), &copy));
    EXPECT_EQ(0x80, copy->fFeatures);  // CopyData did not run: the features of the type only
    for (int i = 0; i < 3; ++i) EXPECT_EQ(nullptr, DataOf<BSTR>(copy)[i]);
    SafeArrayDestroy(copy);
}

TEST(Copy_MismatchedElementSize, IsRefusedAndDiscarded) {
    const SAFEARRAYBOUND bound{2, 0};
    ArrayPtr source(SafeArrayCreate(VT_I4, 1, &bound));
    std::uint32_t word = VT_I2;  // says 2-byte elements, holds 4-byte ones
    std::memcpy(const_cast<unsigned char*>(BlockOf(source.get())) + 12, &word, 4);
    SAFEARRAY* out = reinterpret_cast<SAFEARRAY*>(0x1);
    EXPECT_EQ(E_INVALIDARG, SafeArrayCopy(source.get(), &out));
    EXPECT_EQ(nullptr, out);
}

TEST(Copy_Records, AreRefusedWithNotImplemented) {
    const SAFEARRAYBOUND bound{2, 0};
    SAFEARRAY* source = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAllocDescriptorEx(VT_RECORD, 1, &source));
    source->rgsabound[0] = bound;
    ASSERT_EQ(S_OK, SafeArrayAllocData(source));
    SAFEARRAY* out = reinterpret_cast<SAFEARRAY*>(0x1);
    EXPECT_EQ(E_NOTIMPL, SafeArrayCopy(source, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(S_OK, SafeArrayDestroy(source));
}

TEST(Copy_OverflowingShape, FailsWithoutAllocatingData) {
    SAFEARRAY* source = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAllocDescriptorEx(VT_VARIANT, 2, &source));
    source->fFeatures |= FADF_VARIANT;
    source->rgsabound[0] = {0xFFFFFFFF, 0};
    source->rgsabound[1] = {0xFFFFFFFF, 0};
    source->pvData = nullptr;
    SAFEARRAY* out = reinterpret_cast<SAFEARRAY*>(0x1);
    AllocationCounter counter;
    EXPECT_EQ(E_OUTOFMEMORY, SafeArrayCopy(source, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(1u, counter.Count());  // the copy's descriptor, freed again
    EXPECT_EQ(S_OK, SafeArrayDestroyDescriptor(source));
}

TEST(Copy_Discarded, ReleasesTheElementCopiesItMade) {
    FakeUnknown object;
    SAFEARRAY* source = SafeArrayCreateVector(VT_VARIANT, 0, 3);
    VARIANT* s = DataOf<VARIANT>(source);
    s[0].vt = VT_UNKNOWN;
    s[0].punkVal = object.unknown();
    object.AddRef();
    s[1].vt = VT_BSTR;
    s[1].bstrVal = MakeBstr("copied, then released");
    s[2].vt = VT_RECORD;  // its copy fails last
    SAFEARRAY* out = reinterpret_cast<SAFEARRAY*>(0x1);
    EXPECT_EQ(E_NOTIMPL, SafeArrayCopy(source, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(1, object.outstanding());  // the copy's reference was given back (and ASan: the string freed)
    s[2].vt = VT_EMPTY;
    SafeArrayDestroy(source);
    EXPECT_EQ(0, object.outstanding());
}

TEST(Copy_ReleasedVector, IsRefused) {
    SAFEARRAY* source = StringVector({"gone"});
    ASSERT_EQ(S_OK, SafeArrayDestroyData(source));
    SAFEARRAY* out = nullptr;
    EXPECT_EQ(E_INVALIDARG, SafeArrayCopy(source, &out));
    EXPECT_EQ(nullptr, out);
    SafeArrayDestroy(source);
}

TEST(Copy_WithoutTypeInformation, TakesSizeAndKindBitsButNotStorageBits) {
    SAFEARRAY* source = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAllocDescriptor(1, &source));
    source->fFeatures = FADF_BSTR | FADF_FIXEDSIZE | FADF_STATIC | FADF_AUTO;
    source->cbElements = 8;
    source->rgsabound[0] = {1, 4};
    BSTR storage[1] = {MakeBstr("static")};
    source->pvData = storage;
    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(S_OK, SafeArrayCopy(source, &copy));
    EXPECT_EQ(FADF_BSTR, copy->fFeatures);
    EXPECT_EQ(8u, copy->cbElements);
    EXPECT_EQ(4, copy->rgsabound[0].lLbound);
    EXPECT_EQ("static", BstrText(DataOf<BSTR>(copy)[0]));
    SafeArrayDestroy(copy);
    EXPECT_EQ(S_OK, SafeArrayDestroy(source));  // static: the string is freed, the storage stays
    EXPECT_EQ(nullptr, storage[0]);
}

}  // namespace
