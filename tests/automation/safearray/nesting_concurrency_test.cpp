// Values nested far deeper than a thread's stack could follow by recursion:
// chains of one-element VT_ARRAY|VT_VARIANT vectors, each holding the next,
// built by writing each level in place as a caller that moves values does.
// Every operation runs on a thread with a 256 KiB stack.
#include <pthread.h>

#include <cstdint>
#include <functional>

#include <gtest/gtest.h>

#include "support/array_testing.h"
#include "support/fake_unknown.h"
#include "support/fault_injection.h"

namespace {

using namespace zentrel::test;

constexpr std::uint64_t kClearDepth = 1'000'000;
constexpr std::uint64_t kCopyDepth = 300'000;

void OnSmallStack(const std::function<void()>& body) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    pthread_t thread;
    ASSERT_EQ(0, pthread_create(
                     &thread, &attributes,
                     [](void* b) -> void* {
                         (*static_cast<const std::function<void()>*>(b))();
                         return nullptr;
                     },
                     const_cast<std::function<void()>*>(&body)));
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

// `depth` vectors around `leaf`, which the chain takes over.
VARIANT Chain(std::uint64_t depth, const VARIANT& leaf) {
    VARIANT v = leaf;
    for (std::uint64_t level = 0; level < depth; ++level) {
        SAFEARRAY* vector = SafeArrayCreateVector(VT_VARIANT, 0, 1);
        DataOf<VARIANT>(vector)[0] = v;
        VariantInit(&v);
        v.vt = VT_ARRAY | VT_VARIANT;
        v.parray = vector;
    }
    return v;
}

// The depth of a chain and the variant at its end, read without recursion.
std::uint64_t DepthOf(const VARIANT& chain, const VARIANT** leaf) {
    std::uint64_t depth = 0;
    const VARIANT* v = &chain;
    while (v->vt == (VT_ARRAY | VT_VARIANT) && v->parray != nullptr) {
        v = &DataOf<VARIANT>(v->parray)[0];
        ++depth;
    }
    *leaf = v;
    return depth;
}

// Expects `copy` to be a chain of kCopyDepth levels around `object`, then
// clears it.
void ExpectCopiedChain(VARIANT& copy, FakeUnknown& object) {
    const VARIANT* leaf = nullptr;
    EXPECT_EQ(kCopyDepth, DepthOf(copy, &leaf));
    EXPECT_EQ(VT_UNKNOWN, leaf->vt);
    EXPECT_EQ(object.unknown(), leaf->punkVal);
    EXPECT_EQ(2, object.outstanding());  // the source's and the copy's
    EXPECT_EQ(S_OK, VariantClear(&copy));
    EXPECT_EQ(1, object.outstanding());
}

TEST(Nesting_DeepChain, IsClearedAndDestroyedOnASmallStack) {
    FakeUnknown object;
    const std::function<HRESULT(VARIANT&)> releases[] = {
        [](VARIANT& chain) { return VariantClear(&chain); },
        [](VARIANT& chain) { return SafeArrayDestroy(chain.parray); },
        [](VARIANT& chain) {
            const HRESULT hr = SafeArrayDestroyData(chain.parray);
            SafeArrayDestroyDescriptor(chain.parray);
            return hr;
        },
    };
    for (const auto& release : releases) {
        object.AddRef();
        VARIANT chain = Chain(kClearDepth, Interface(VT_UNKNOWN, object.unknown()));
        OnSmallStack([&] { EXPECT_EQ(S_OK, release(chain)); });
        EXPECT_EQ(0, object.outstanding());
    }
}

// Each operation that copies a variant copies the whole chain.
TEST(Nesting_DeepChain, IsCopiedByEveryCopyOnASmallStack) {
    FakeUnknown object;
    object.AddRef();
    VARIANT chain = Chain(kCopyDepth, Interface(VT_UNKNOWN, object.unknown()));
    const std::function<HRESULT(VARIANT&)> copies[] = {
        [&](VARIANT& out) { return VariantCopy(&out, &chain); },
        [&](VARIANT& out) {
            VARIANT reference{};
            reference.vt = VT_BYREF | VT_VARIANT;
            reference.pvarVal = &chain;
            return VariantCopyInd(&out, &reference);
        },
        [&](VARIANT& out) { return VariantChangeTypeEx(&out, &chain, 0, 0, VT_ARRAY | VT_VARIANT); },
        [&](VARIANT& out) {
            out.vt = VT_ARRAY | VT_VARIANT;
            return SafeArrayCopy(chain.parray, &out.parray);
        },
        [&](VARIANT& out) {
            out.vt = VT_ARRAY | VT_VARIANT;
            out.parray = SafeArrayCreateVector(VT_VARIANT, 0, 1);
            return SafeArrayCopyData(chain.parray, out.parray);
        },
        [&](VARIANT& out) {
            const LONG first = 0;
            out = Chain(1, VARIANT{});
            EXPECT_EQ(S_OK, SafeArrayPutElement(out.parray, &first, &chain));
            VARIANT element{};
            const HRESULT hr = SafeArrayGetElement(out.parray, &first, &element);
            VariantClear(&out);
            out = element;
            return hr;
        },
    };
    for (const auto& copy : copies) {
        VARIANT out{};
        OnSmallStack([&] { EXPECT_EQ(S_OK, copy(out)); });
        OnSmallStack([&] { ExpectCopiedChain(out, object); });
    }
    OnSmallStack([&] { VariantClear(&chain); });
    EXPECT_EQ(0, object.outstanding());
}

// A failure deep inside: the copy reports it, gives back everything it made
// and leaves the source as it was.
TEST(Nesting_DeepChain, AFailedAllocationDeepInsideLeavesNothing) {
    FakeUnknown object;
    object.AddRef();
    VARIANT chain = Chain(kCopyDepth, Interface(VT_UNKNOWN, object.unknown()));
    for (const bool persistent : {false, true}) {
        VARIANT copy{};
        OnSmallStack([&] {
            AllocationFailure failure(kCopyDepth, persistent);  // the middle: two blocks a level
            EXPECT_EQ(E_OUTOFMEMORY, VariantCopy(&copy, &chain));
            EXPECT_TRUE(failure.Fired());
        });
        EXPECT_EQ(VT_ARRAY | VT_VARIANT, copy.vt);
        EXPECT_EQ(nullptr, copy.parray);
        const VARIANT* leaf = nullptr;
        EXPECT_EQ(kCopyDepth, DepthOf(chain, &leaf));
        EXPECT_EQ(object.unknown(), leaf->punkVal);
        EXPECT_EQ(1, object.outstanding());
    }
    OnSmallStack([&] { VariantClear(&chain); });
    EXPECT_EQ(0, object.outstanding());
}

// An array that holds itself breaks the ownership rules; the library neither
// overflows its stack nor loops on one. Clearing frees it once (the element
// that holds it again is left alone); copying fails.
TEST(Nesting_ArrayHoldingItself, IsClearedOnceAndNotCopied) {
    for (const std::uint64_t loop : {1, 3}) {
        SCOPED_TRACE(loop);
        VARIANT chain = Chain(loop, VARIANT{});
        const VARIANT* leaf = nullptr;
        DepthOf(chain, &leaf);
        *const_cast<VARIANT*>(leaf) = chain;  // the innermost vector holds the outermost
        VARIANT copy{};
        EXPECT_EQ(E_INVALIDARG, VariantCopy(&copy, &chain));
        EXPECT_EQ(nullptr, copy.parray);
        EXPECT_EQ(S_OK, VariantClear(&chain));
    }
}

}  // namespace
