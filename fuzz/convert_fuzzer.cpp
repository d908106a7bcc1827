// Builds variants from the input (scalars, by-reference scalars, strings with
// embedded NULs, byte arrays, arrays of variants, interfaces, arbitrary type
// codes without a value) and changes each to a few target types that the input
// picks (any of the 39 base types with any of 5 flag combinations), in place and
// into a separate destination; reads it with a few accessors that the input
// picks and compares it with the previous one. Under ASan/UBSan nothing may
// crash, leak or overflow; a failed change must leave the destination as it was,
// the source is never modified, and every interface reference is given back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <vector>

#include "automation/automation.h"
#include "fuzz_input.h"

namespace {

[[noreturn]] void Fail() { __builtin_trap(); }
void Check(bool condition) {
    if (!condition) Fail();
}

// An object whose references are counted, to prove that all are given back.
class Counted final : public IDispatch {
public:
    bool answersDispatch = false;
    long references = 0;
    HRESULT QueryInterface(REFIID iid, void** out) noexcept override {
        if (out == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || (answersDispatch && iid == IID_IDispatch)) {
            *out = static_cast<IDispatch*>(this);
            ++references;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() noexcept override { return static_cast<ULONG>(++references); }
    ULONG Release() noexcept override { return static_cast<ULONG>(--references); }
};

constexpr VARTYPE kPlain[] = {VT_EMPTY, VT_NULL, VT_I2,  VT_I4,  VT_R4,  VT_R8, VT_CY,  VT_DATE, VT_ERROR,
                              VT_BOOL,  VT_I1,   VT_UI1, VT_UI2, VT_UI4, VT_I8, VT_UI8, VT_INT,  VT_UINT};

// A variant under test together with the storage its reference points at.
// `value` owns what it holds unless it is by-reference; `referenced` always does.
struct Sample {
    VARIANT value{};
    VARIANT referenced{};
    SAFEARRAY* referencedArray = nullptr;
    Sample() = default;
    Sample(const Sample&) = delete;
    Sample& operator=(const Sample&) = delete;
    ~Sample() {
        VariantClear(&value);
        VariantClear(&referenced);
        SafeArrayDestroy(referencedArray);
    }
};

BSTR MakeString(FuzzInput& in) {
    const std::uint8_t* bytes;
    const std::size_t n = in.View(&bytes, 40);
    return SysAllocStringLen(reinterpret_cast<const char*>(bytes), static_cast<UINT>(n));
}

SAFEARRAY* MakeByteArray(FuzzInput& in) {
    const std::uint8_t* bytes;
    const std::size_t n = in.View(&bytes, 40);
    const std::uint8_t shape = in.Byte();
    if ((shape & 3) == 3) {  // two dimensions
        const SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(n / 2), 0}, {2, 1}};
        return SafeArrayCreate(VT_UI1, 2, bounds);
    }
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, static_cast<std::int8_t>(shape), static_cast<ULONG>(n));
    if (array != nullptr && n != 0) std::memcpy(array->pvData, bytes, n);
    return array;
}

// A scalar or a string, written into `v` (which must be empty).
void MakeSimple(FuzzInput& in, VARIANT& v) {
    const std::uint8_t selector = in.Byte();
    if (selector % 5 == 0) {
        v.vt = VT_BSTR;
        v.bstrVal = MakeString(in);
        return;
    }
    v.vt = kPlain[selector % std::size(kPlain)];
    v.ullVal = in.Bits();
}

// Inner samples stay alive as long as the outer ones, whose by-reference
// variants and variant elements may point into them.
using Pool = std::vector<std::unique_ptr<Sample>>;

Sample& MakeSample(FuzzInput& in, Pool& pool, Counted& object, int depth);

const VARIANT& MakeInner(FuzzInput& in, Pool& pool, Counted& object, int depth) {
    return MakeSample(in, pool, object, depth + 1).value;
}

Sample& MakeSample(FuzzInput& in, Pool& pool, Counted& object, int depth) {
    Sample& s = *pool.emplace_back(std::make_unique<Sample>());
    switch (in.Byte() % 11) {
        case 0:
            MakeSimple(in, s.value);
            break;
        case 1:  // by-reference scalar or string
            MakeSimple(in, s.referenced);
            s.value.vt = VT_BYREF | s.referenced.vt;
            s.value.byref = s.referenced.vt == VT_BSTR ? static_cast<void*>(&s.referenced.bstrVal)
                                                       : static_cast<void*>(&s.referenced.llVal);
            break;
        case 2:
            s.value.vt = VT_BSTR;
            s.value.bstrVal = MakeString(in);
            break;
        case 3:
            s.value.vt = VT_ARRAY | VT_UI1;
            s.value.parray = MakeByteArray(in);
            break;
        case 4: {  // array of variants, some of which hold arrays
            const ULONG n = in.Byte() % 5;
            s.value.vt = VT_ARRAY | VT_VARIANT;
            s.value.parray = SafeArrayCreateVector(VT_VARIANT, 0, n);
            if (s.value.parray == nullptr) break;
            auto* elements = static_cast<VARIANT*>(s.value.parray->pvData);
            for (ULONG i = 0; i < n; ++i) {
                if (depth < 2 && in.Byte() % 4 == 0) {
                    VariantCopy(&elements[i], &MakeInner(in, pool, object, depth));
                } else {
                    MakeSimple(in, elements[i]);
                }
            }
            break;
        }
        case 5:  // reference to a variant, possibly to another reference
            if (depth < 2 && in.Byte() % 3 == 0) {
                VariantCopy(&s.referenced, &MakeInner(in, pool, object, depth));
            } else {
                MakeSimple(in, s.referenced);
            }
            s.value.vt = VT_BYREF | VT_VARIANT;
            s.value.pvarVal = &s.referenced;
            break;
        case 6:  // any type code with a zero value: pointers are null
            s.value.vt = static_cast<VARTYPE>(in.Byte() | (in.Byte() << 8));
            break;
        case 7:
            object.answersDispatch = (in.Byte() & 1) != 0;
            s.value.vt = (in.Byte() & 1) != 0 ? VT_DISPATCH : VT_UNKNOWN;
            s.value.pdispVal = &object;
            object.AddRef();
            break;
        case 8: {  // array of another element type, zero-filled
            constexpr VARTYPE kElements[] = {VT_I2, VT_I4, VT_R8, VT_BSTR, VT_BOOL, VT_UI8};
            const VARTYPE element = kElements[in.Byte() % std::size(kElements)];
            s.value.vt = VT_ARRAY | element;
            s.value.parray = SafeArrayCreateVector(element, 0, in.Byte() % 4);
            break;
        }
        case 9:  // reference to a byte array
            s.referencedArray = MakeByteArray(in);
            s.value.vt = VT_BYREF | VT_ARRAY | VT_UI1;
            s.value.pparray = &s.referencedArray;
            break;
        default:
            s.value.vt = VT_RECORD;
            break;
    }
    return s;
}

VARIANT Sentinel() {
    VARIANT v{};
    v.vt = VT_I4;
    v.lVal = 0x5A5A5A5A;
    v.pRecInfo = reinterpret_cast<IRecordInfo*>(0x5A);
    return v;
}

// The input picks up to kMaxTargets targets per sample from the 5 x 39 type
// codes below, so that coverage, not a fixed sweep of all 195 (three changes
// each), decides which pairs are tried.
constexpr unsigned kMaxTargets = 2;
constexpr VARTYPE kFlags[] = {0, VT_BYREF, VT_ARRAY, VT_BYREF | VT_ARRAY, VT_VECTOR};
constexpr VARTYPE kBaseTypes = 39;  // VT_EMPTY to VT_UINT_PTR

VARTYPE PickTarget(FuzzInput& in) {
    const VARTYPE flags = kFlags[in.Below(std::size(kFlags))];
    return static_cast<VARTYPE>(flags | in.Below(kBaseTypes));
}

void ChangeToChosenTypes(FuzzInput& in, const VARIANT& source) {
    VARIANT sourceBefore;
    std::memcpy(&sourceBefore, &source, sizeof source);
    for (unsigned k = in.Below(kMaxTargets) + 1; k-- > 0;) {
        const VARTYPE target = PickTarget(in);
        VARIANT dest = Sentinel();
        const VARIANT destBefore = dest;
        const HRESULT hr = VariantChangeType(&dest, &source, 0, target);
        Check(std::memcmp(&sourceBefore, &source, sizeof source) == 0);
        if (FAILED(hr)) {
            Check(std::memcmp(&destBefore, &dest, sizeof dest) == 0);
            continue;
        }
        Check(hr == S_OK && dest.vt == target);
        Check(SUCCEEDED(VariantClear(&dest)));

        // In place, on a copy of the source: a failure keeps it.
        VARIANT copy{};
        if (FAILED(VariantCopy(&copy, &source))) {
            VariantClear(&copy);
            continue;
        }
        VARIANT copyBefore;
        std::memcpy(&copyBefore, &copy, sizeof copy);
        if (FAILED(VariantChangeType(&copy, &copy, 0, target))) {
            Check(std::memcmp(&copyBefore, &copy, sizeof copy) == 0);
        } else {
            Check(copy.vt == target);
        }
        VariantClear(&copy);
    }
}

// The accessors, one reader each; the input picks a few per sample.
template <typename T, HRESULT (*Read)(const VARIANT*, T*) noexcept>
void ReadNumber(const VARIANT& v) {
    T value;
    Read(&v, &value);
}

template <typename Char, HRESULT (*Read)(const VARIANT*, Char**)>
void ReadText(const VARIANT& v) {
    Char* text = nullptr;
    if (FAILED(Read(&v, &text))) Check(text == nullptr);
    std::free(text);
}

void ReadIntegerOrString(const VARIANT& v) {
    char slotText[] = "slot";
    std::uint64_t integer = 0;
    BSTR string = slotText;
    Check(VariantToIntegerOrString(&v, &integer, &string) == S_OK || ((v.vt & VT_BYREF) != 0 && v.byref == nullptr));
}

void ReadIntegers(const VARIANT& v) {
    VariantReadSigned(&v);
    VariantReadUnsigned(&v);
}

using Reader = void (*)(const VARIANT&);
constexpr Reader kReaders[] = {
    ReadNumber<double, VariantToDouble>,
    ReadNumber<float, VariantToFloat>,
    ReadNumber<std::int8_t, VariantToInt8>,
    ReadNumber<std::uint8_t, VariantToUInt8>,
    ReadNumber<std::int16_t, VariantToInt16>,
    ReadNumber<std::uint16_t, VariantToUInt16>,
    ReadNumber<std::int32_t, VariantToInt32>,
    ReadNumber<std::uint32_t, VariantToUInt32>,
    ReadNumber<std::int64_t, VariantToInt64>,
    ReadNumber<std::uint64_t, VariantToUInt64>,
    ReadText<char, VariantToStringAlloc>,
    ReadText<wchar_t, VariantToWideStringAlloc>,
    ReadIntegerOrString,
    ReadIntegers,
};
constexpr unsigned kMaxReaders = 2;

void ReadWithChosenAccessors(FuzzInput& in, const VARIANT& v) {
    for (unsigned k = in.Below(kMaxReaders) + 1; k-- > 0;) kReaders[in.Below(std::size(kReaders))](v);
}

void Compare(const VARIANT& left, const VARIANT& right, ULONG flags) {
    try {
        const HRESULT order = VarCmp(&left, &right, 0, flags);
        Check((order >= VARCMP_LT && order <= VARCMP_GT) || order == E_INVALIDARG);
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {}
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    Counted object;
    {
        Pool pool;
        const Sample* previous = nullptr;
        for (int i = 0; i < 4 && !in.empty(); ++i) {
            const Sample& sample = MakeSample(in, pool, object, 0);
            ChangeToChosenTypes(in, sample.value);
            ReadWithChosenAccessors(in, sample.value);
            if (previous != nullptr) {
                const ULONG flags = in.Byte() & 1;
                Compare(previous->value, sample.value, flags);
                Compare(sample.value, previous->value, flags);
            }
            previous = &sample;
        }
    }
    Check(object.references == 0);
    return 0;
}
