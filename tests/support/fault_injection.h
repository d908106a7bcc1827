// Allocation-failure injection for tests, the way SQLite tests out-of-memory:
// run an operation with its 1st, 2nd, ... allocation failing until a run makes
// no failed allocation, and check after each run what it returned and left.
//
// The countdown covers the library's malloc/calloc seam and every global
// operator new of the calling thread (the test programs replace operator new);
// other threads are not affected.
#pragma once

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

namespace zentrel::test {

// While alive, allocation number `nth` (counted from construction) fails, and
// with `persistent` every later one too.
class AllocationFailure {
public:
    AllocationFailure(std::uint64_t nth, bool persistent);
    ~AllocationFailure();
    AllocationFailure(const AllocationFailure&) = delete;
    AllocationFailure& operator=(const AllocationFailure&) = delete;

    // True when an allocation was made to fail.
    bool Fired() const;
};

enum class FailureMode { Transient, Persistent };

// Calls `body(nth, mode)` for nth = 1, 2, ... . The body sets up its inputs,
// runs the operation inside an AllocationFailure(nth, mode == Persistent),
// checks the result and cleans up, and returns whether the failure fired. The
// sweep ends with the first run in which nothing failed; it returns the number
// of runs, which a test may compare with the allocations it expects.
template <class Body>
int SweepAllocationFailures(FailureMode mode, Body&& body, int limit = 10000) {
    for (int nth = 1; nth <= limit; ++nth) {
        if (!body(static_cast<std::uint64_t>(nth), mode)) return nth;
        if (::testing::Test::HasFatalFailure()) return nth;
    }
    ADD_FAILURE() << "allocation sweep did not finish in " << limit << " runs";
    return limit;
}

// Both modes, one after the other.
template <class Body>
void SweepAllocationFailures(Body&& body) {
    SweepAllocationFailures(FailureMode::Transient, body);
    SweepAllocationFailures(FailureMode::Persistent, body);
}

// Counts the allocations (seam and operator new) that the calling thread makes
// after construction; nothing fails.
class AllocationCounter {
public:
    AllocationCounter();
    std::uint64_t Count() const;

private:
    std::uint64_t start_;
};

// The sizes in bytes of the requests the library makes through its malloc/calloc
// seam on the calling thread after construction, in order (a calloc as count x
// size), failed ones included. Requests of operator new are not seen.
class SeamRequests {
public:
    SeamRequests();
    std::vector<std::uint64_t> Sizes() const;  // fails the test beyond 64 requests

private:
    std::uint64_t start_;
};

}  // namespace zentrel::test
