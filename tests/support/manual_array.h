// A descriptor built by hand the way callers outside the library may build one
// (any features, any element size, storage of the test's choosing).
#pragma once

#include <cstddef>
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

}  // namespace zentrel::test
