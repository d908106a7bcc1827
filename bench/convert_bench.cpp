// Scalar type change, numeric comparison and numeric accessors, each beside the
// floor it is judged against:
// - VariantChangeType of a number against VariantCopy of a scalar;
// - VarCmp of two numbers and VariantToInt32 against the same work written by
//   hand (a switch on each type code, then the comparison or conversion), kept
//   out of line like the library call it is compared with.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <limits>

#include "automation/automation.h"

namespace {

VARIANT Make(VARTYPE vt, std::uint64_t bits) {
    VARIANT v{};
    v.vt = vt;
    v.ullVal = bits;
    return v;
}

VARIANT Real(double d) {
    VARIANT v{};
    v.vt = VT_R8;
    v.dblVal = d;
    return v;
}

// ---------------------------------------------------------------------------
// Hand-written floors.

enum class HandKind { None, Signed, Unsigned, Floating };
struct HandNumber {
    HandKind kind;
    std::int64_t s;
    std::uint64_t u;
    double d;
};

HandNumber HandRead(const VARIANT& v) {
    switch (v.vt) {
        case VT_I1:
            return {HandKind::Signed, static_cast<std::int8_t>(v.cVal), 0, 0};
        case VT_I2:
            return {HandKind::Signed, v.iVal, 0, 0};
        case VT_I4:
        case VT_INT:
            return {HandKind::Signed, v.lVal, 0, 0};
        case VT_I8:
            return {HandKind::Signed, v.llVal, 0, 0};
        case VT_UI1:
            return {HandKind::Unsigned, 0, v.bVal, 0};
        case VT_UI2:
            return {HandKind::Unsigned, 0, v.uiVal, 0};
        case VT_UI4:
        case VT_UINT:
            return {HandKind::Unsigned, 0, v.ulVal, 0};
        case VT_UI8:
            return {HandKind::Unsigned, 0, v.ullVal, 0};
        case VT_R4:
            return {HandKind::Floating, 0, 0, v.fltVal};
        case VT_R8:
            return {HandKind::Floating, 0, 0, v.dblVal};
        default:
            return {HandKind::None, 0, 0, 0};
    }
}

double HandDouble(const HandNumber& n) {
    return n.kind == HandKind::Signed     ? static_cast<double>(n.s)
           : n.kind == HandKind::Unsigned ? static_cast<double>(n.u)
                                          : n.d;
}

std::int64_t HandSigned(const HandNumber& n) {
    return n.kind == HandKind::Signed ? n.s : static_cast<std::int64_t>(n.u);
}

template <class T>
HRESULT HandOrder(T a, T b) {
    return a == b ? VARCMP_EQ : a > b ? VARCMP_GT : VARCMP_LT;
}

[[gnu::noinline]] HRESULT HandCompare(const VARIANT& left, const VARIANT& right) {
    const HandNumber a = HandRead(left);
    const HandNumber b = HandRead(right);
    if (a.kind == HandKind::None || b.kind == HandKind::None) return E_INVALIDARG;
    if (a.kind == HandKind::Floating || b.kind == HandKind::Floating) {
        const double x = HandDouble(a);
        const double y = HandDouble(b);
        return x == y ? VARCMP_EQ : x < y ? VARCMP_LT : VARCMP_GT;
    }
    if (a.kind == HandKind::Unsigned && b.kind == HandKind::Unsigned) return HandOrder(a.u, b.u);
    return HandOrder(HandSigned(a), HandSigned(b));
}

std::int32_t HandTruncate(double d) {
    return d > -2147483649.0 && d < 2147483648.0 ? static_cast<std::int32_t>(d)
                                                 : std::numeric_limits<std::int32_t>::min();
}

[[gnu::noinline]] HRESULT HandToInt32(const VARIANT& v, std::int32_t* out) {
    switch (v.vt) {
        case VT_I1:
            *out = static_cast<std::int8_t>(v.cVal);
            return S_OK;
        case VT_I2:
            *out = v.iVal;
            return S_OK;
        case VT_I4:
        case VT_INT:
            *out = v.lVal;
            return S_OK;
        case VT_I8:
            *out = static_cast<std::int32_t>(v.llVal);
            return S_OK;
        case VT_UI1:
            *out = v.bVal;
            return S_OK;
        case VT_UI2:
            *out = v.uiVal;
            return S_OK;
        case VT_UI4:
        case VT_UINT:
            *out = static_cast<std::int32_t>(v.ulVal);
            return S_OK;
        case VT_UI8:
            *out = static_cast<std::int32_t>(v.ullVal);
            return S_OK;
        case VT_R4:
            *out = HandTruncate(v.fltVal);
            return S_OK;
        case VT_R8:
            *out = HandTruncate(v.dblVal);
            return S_OK;
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

// ---------------------------------------------------------------------------
// Type change against the copy of a scalar.

void BM_VariantCopy_I4(benchmark::State& state) {
    VARIANT src = Make(VT_I4, 42);
    VARIANT dest{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(&src);
        benchmark::DoNotOptimize(VariantCopy(&dest, &src));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_VariantCopy_I4);

void ChangeType(benchmark::State& state, VARIANT src, VARTYPE target) {
    VARIANT dest{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(&src);
        benchmark::DoNotOptimize(VariantChangeType(&dest, &src, 0, target));
        benchmark::ClobberMemory();
    }
}
BENCHMARK_CAPTURE(ChangeType, I4_to_R8, Make(VT_I4, 42), VT_R8);
BENCHMARK_CAPTURE(ChangeType, R8_to_I4, Real(-2.9), VT_I4);
BENCHMARK_CAPTURE(ChangeType, UI8_to_R4, Make(VT_UI8, 1000000007), VT_R4);
// 2^63 and above take the longer unsigned-to-single conversion.
BENCHMARK_CAPTURE(ChangeType, UI8_to_R4_top, Make(VT_UI8, ~std::uint64_t{0}), VT_R4);

// ---------------------------------------------------------------------------
// Comparison of two numbers.

void Compare(benchmark::State& state, VARIANT left, VARIANT right) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(&left);
        benchmark::DoNotOptimize(&right);
        benchmark::DoNotOptimize(VarCmp(&left, &right, 0, 0));
    }
}
void HandCompareBench(benchmark::State& state, VARIANT left, VARIANT right) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(&left);
        benchmark::DoNotOptimize(&right);
        benchmark::DoNotOptimize(HandCompare(left, right));
    }
}
BENCHMARK_CAPTURE(Compare, I4_R8, Make(VT_I4, 3), Real(3.5));
BENCHMARK_CAPTURE(HandCompareBench, I4_R8, Make(VT_I4, 3), Real(3.5));
BENCHMARK_CAPTURE(Compare, UI8_I2, Make(VT_UI8, 1000), Make(VT_I2, 0xFFFF));
BENCHMARK_CAPTURE(HandCompareBench, UI8_I2, Make(VT_UI8, 1000), Make(VT_I2, 0xFFFF));

// ---------------------------------------------------------------------------
// The Int32 accessor.

void ToInt32(benchmark::State& state, VARIANT v) {
    std::int32_t out = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(&v);
        benchmark::DoNotOptimize(VariantToInt32(&v, &out));
        benchmark::DoNotOptimize(out);
    }
}
void HandToInt32Bench(benchmark::State& state, VARIANT v) {
    std::int32_t out = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(&v);
        benchmark::DoNotOptimize(HandToInt32(v, &out));
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK_CAPTURE(ToInt32, I4, Make(VT_I4, 7));
BENCHMARK_CAPTURE(HandToInt32Bench, I4, Make(VT_I4, 7));
BENCHMARK_CAPTURE(ToInt32, R8, Real(-2.9));
BENCHMARK_CAPTURE(HandToInt32Bench, R8, Real(-2.9));

}  // namespace
