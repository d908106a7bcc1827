// A descriptor built by hand the way callers outside the library may build one
// (any features, any element size, storage of the test's choosing).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

#include "automation/automation.h"

namespace zentrel::test {

// Prefix, header and up to four bounds laid out as in a descriptor block. The
// bounds are given in the caller's dimension order and stored reversed.
struct ManualArray {
    alignas(8) unsigned char prefix[16]{};
    SAFEARRAY array{};
    SAFEARRAYBOUND more[3]{};

    ManualArray(USHORT features, ULONG elementSize, void* data, std::initializer_list<SAFEARRAYBOUND> bounds) {
        array.cDims = static_cast<USHORT>(bounds.size());
        array.fFeatures = features;
        array.cbElements = elementSize;
        array.pvData = data;
        std::size_t stored = bounds.size();
        for (const SAFEARRAYBOUND& bound : bounds) (--stored == 0 ? array.rgsabound[0] : more[stored - 1]) = bound;
    }
    ManualArray(const ManualArray&) = delete;
    ManualArray& operator=(const ManualArray&) = delete;

    SAFEARRAY* get() { return &array; }
};
static_assert(offsetof(ManualArray, array) == 16);
static_assert(offsetof(ManualArray, more) == offsetof(ManualArray, array) + sizeof(SAFEARRAY));

// A caller-built descriptor in the library's own block layout (16-byte prefix,
// header, bounds; one malloc block, so SafeArrayDestroy may free it) whose data
// block, when `withData`, is a zeroed malloc block of exactly element count x
// elementSize bytes, so that AddressSanitizer sees any access past it.
inline SAFEARRAY* AllocateManualArray(USHORT features, ULONG elementSize, std::initializer_list<SAFEARRAYBOUND> bounds,
                                      bool withData = true) {
    const std::size_t dims = bounds.size();
    auto* block = static_cast<unsigned char*>(std::calloc(1, 40 + 8 * (dims != 0 ? dims : 1)));
    auto* psa = reinterpret_cast<SAFEARRAY*>(block + 16);
    psa->cDims = static_cast<USHORT>(dims);
    psa->fFeatures = features;
    psa->cbElements = elementSize;
    std::size_t stored = dims;
    std::uint64_t bytes = elementSize;
    for (const SAFEARRAYBOUND& bound : bounds) {
        psa->rgsabound[--stored] = bound;
        bytes *= bound.cElements;
    }
    if (withData) psa->pvData = std::calloc(bytes != 0 ? bytes : 1, 1);
    return psa;
}

}  // namespace zentrel::test
