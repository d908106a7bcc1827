// Arrays of variants nest: an element may hold an array whose elements are
// variants again, to any depth. Releasing and copying such elements walks the
// nesting here, in one loop per walk, so that the machine stack does not grow
// with the depth: a value nested a million levels deep is cleared, destroyed
// and copied like a shallow one. The array operations hand the walk the
// variant elements of one array; the walk enters every array nested in them,
// depth first, in element order, and calls AddRef, Release, malloc and free in
// exactly the order in which releasing and copying element by element, each
// element's nested arrays first, would call them.
//
// How the walk finds its way back. On entering a nested array, the walk stores
// the way back (the array one level up and the index of the element that held
// the nested one) in the nested array's 16-byte prefix, which neither walk
// needs while it works on that array:
// - Releasing frees the nested array when it is done with it, prefix and all,
//   so the walk needs no memory of its own and cannot fail. The element that
//   held it lets go of it on entry (its `parray` becomes null, the end state
//   of clearing it).
// - Copying enters the copy it has just made of the nested array: the copy's
//   prefix holds the way back to the copy one level up, its lock count (0 in
//   any copy) the status of that level so far, and the element that is to
//   receive the copy holds, until then, the source array of that level. Every
//   one of them gets its final value when the walk returns, before anyone else
//   can see the copy. The walk takes no memory beyond the copies themselves.
//
// Arrays that hold themselves, directly or further down, break the ownership
// rules; the walks survive them all the same. Releasing marks every array it
// is working on as locked, so an element that holds one of them again is
// refused like an element holding a locked array and left as it is. Copying
// compares each nested source with one array further up the current path, moved
// up at doubling depths: an array met again is found before the path is twice
// as long as it takes to meet it, and its element's copy fails with
// E_INVALIDARG.
#pragma once

#include <cstdint>

#include "automation/safearray/safearray.h"

namespace KoAtlCom::detail {

// Releases the variant elements [first, end) of `array` as VariantClear would,
// one after the other, their statuses unused, with every array nested in them.
void ReleaseVariants(SAFEARRAY& array, std::uint64_t first, std::uint64_t end) noexcept;

// What copying elements into slots that own nothing did.
struct CopyResult {
    HRESULT status;         // that of the last element whose copy failed; S_OK when none did
    std::uint64_t failed;   // that element's index + 1; 0 when none failed
    std::uint64_t written;  // the elements written, from the first
};

// Marks a slot of `fresh` storage whose source element was refused by its
// type: no copy ever has this type.
inline constexpr VARTYPE kRefused = 0xFFFF;

// Copies every variant element of `source` into the slots at `to`, which own
// nothing, as VariantCopy would, each with the arrays nested in it. Every
// element is attempted. When `fresh`, the slots were zeroed for the copy, and a
// slot whose copy was refused by its type is marked kRefused.
CopyResult CopyVariants(const SAFEARRAY& source, VARIANT* to, bool fresh) noexcept;

// While its elements are released an array's lock count is not zero, so that
// an element that holds the array again is refused and left alone instead of
// releasing it a second time or freeing it under the walk. The count is given
// back afterwards.
class ReleaseMark {
public:
    explicit ReleaseMark(SAFEARRAY& array) noexcept : array_(array), locks_(array.cLocks) {
        if (locks_ == 0) array.cLocks = 1;
    }
    ~ReleaseMark() { array_.cLocks = locks_; }
    ReleaseMark(const ReleaseMark&) = delete;
    ReleaseMark& operator=(const ReleaseMark&) = delete;

private:
    SAFEARRAY& array_;
    ULONG locks_;
};

}  // namespace KoAtlCom::detail
