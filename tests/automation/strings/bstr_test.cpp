#include "automation/strings/bstr.h"

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(__linux__)
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "automation/strings/bstr_copy.h"
#include "support/fault_injection.h"

namespace {

using namespace std::string_literals;
using zentrel::test::AllocationCounter;
using zentrel::test::AllocationFailure;
using zentrel::test::FailureMode;
using zentrel::test::SweepAllocationFailures;

// The address sanitizer's allocator reports the size asked for, not a rounded one.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kExactUsableSize = true;
#else
constexpr bool kExactUsableSize = false;
#endif

std::string_view Chars(BSTR s) { return {s, SysStringLen(s)}; }

// The whole block: prefix, characters, one terminator, and nothing bigger than
// length + 5 bytes (exactly that where the allocator can tell).
void ExpectBstr(BSTR s, std::string_view expected) {
    ASSERT_NE(s, nullptr);
    std::uint32_t prefix;
    std::memcpy(&prefix, s - 4, 4);
    EXPECT_EQ(prefix, expected.size());
    EXPECT_EQ(SysStringLen(s), expected.size());
    EXPECT_EQ(SysStringByteLen(s), expected.size());
    EXPECT_EQ(Chars(s), expected);
    EXPECT_EQ(s[expected.size()], '\0');
#if defined(__GLIBC__)
    const std::size_t usable = malloc_usable_size(s - 4);
    if (kExactUsableSize) {
        EXPECT_EQ(usable, expected.size() + 5);
    } else {
        EXPECT_GE(usable, expected.size() + 5);
        EXPECT_LT(usable, expected.size() + 5 + 32);
    }
#endif
}

// A string made outside any failure window, to be replaced.
BSTR Old() { return SysAllocString("old text"); }

// Runs `make` with its N-th allocation failing, for N = 1, 2, ... until nothing
// fails; `setup` runs before each window opens and `check(fired)` judges each
// run. Returns the number of runs (the allocations made + 1).
template <class Setup, class Make, class Check>
int SweepOne(Setup setup, Make make, Check check) {
    return SweepAllocationFailures(FailureMode::Transient, [&](std::uint64_t nth, FailureMode mode) {
        setup();
        bool fired;
        {
            AllocationFailure failure(nth, mode == FailureMode::Persistent);
            make();
            fired = failure.Fired();
        }
        check(fired);
        return fired;
    });
}

template <class Make, class Check>
int SweepOne(Make make, Check check) {
    return SweepOne([] {}, make, check);
}

TEST(Bstr_Null, HasLengthZeroAndFreesToNothing) {
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);
}

TEST(SysAllocString, CopiesUpToFirstNul) {
    BSTR s = SysAllocString("ab\0cd");
    ExpectBstr(s, "ab");
    SysFreeString(s);
}

TEST(SysAllocString, EmptyTextGivesEmptyStringAndNullGivesNull) {
    BSTR s = SysAllocString("");
    ExpectBstr(s, "");
    SysFreeString(s);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
}

TEST(SysAllocStringLen, CountZeroGivesNull) {
    AllocationCounter counter;
    EXPECT_EQ(SysAllocStringLen("abc", 0), nullptr);
    EXPECT_EQ(SysAllocStringLen(nullptr, 0), nullptr);
    EXPECT_EQ(SysAllocStringByteLen("abc", 0), nullptr);
    EXPECT_EQ(counter.Count(), 0u);
}

TEST(SysAllocStringLen, NullSourceZeroFills) {
    BSTR s = SysAllocStringLen(nullptr, 3);
    ExpectBstr(s, "\0\0\0"s);
    SysFreeString(s);
}

TEST(SysAllocStringLen, KeepsEmbeddedNul) {
    BSTR s = SysAllocStringLen("ab\0cd", 5);
    ExpectBstr(s, "ab\0cd"s);
    EXPECT_EQ(std::strlen(s), 2u);
    SysFreeString(s);
    s = SysAllocStringLen("abcdef", 3);  // a longer source gives its first characters
    ExpectBstr(s, "abc");
    SysFreeString(s);
}

TEST(SysAllocStringByteLen, CountsBytesAsCharacters) {
    BSTR s = SysAllocStringByteLen("abc", 3);
    ExpectBstr(s, "abc");
    SysFreeString(s);
    s = SysAllocStringByteLen("x\0y", 3);
    ExpectBstr(s, "x\0y"s);
    SysFreeString(s);
}

TEST(SysReAllocString, RefusesNullVariableAndNullText) {
    EXPECT_EQ(SysReAllocString(nullptr, "abc"), FALSE);
    BSTR s = Old();
    BSTR before = s;
    EXPECT_EQ(SysReAllocString(&s, nullptr), FALSE);
    EXPECT_EQ(s, before);
    ExpectBstr(s, "old text");
    SysFreeString(s);
}

TEST(SysReAllocString, ReplacesAndStopsAtNul) {
    BSTR s = nullptr;
    EXPECT_EQ(SysReAllocString(&s, "first"), TRUE);
    ExpectBstr(s, "first");
    EXPECT_EQ(SysReAllocString(&s, "new\0tail"), TRUE);
    ExpectBstr(s, "new");
    SysFreeString(s);
}

TEST(SysReAllocString, EmptyTextLeavesNonNullEmptyString) {
    BSTR s = Old();
    EXPECT_EQ(SysReAllocString(&s, ""), TRUE);
    ExpectBstr(s, "");
    SysFreeString(s);
}

// Text taken from the string being replaced is read before that string goes
// (the sanitizer build would report a read of freed memory otherwise).
TEST(SysReAllocString, TextInsideTheReplacedString) {
    BSTR s = SysAllocString("abcdef");
    EXPECT_EQ(SysReAllocString(&s, s), TRUE);
    ExpectBstr(s, "abcdef");
    EXPECT_EQ(SysReAllocString(&s, s + 2), TRUE);
    ExpectBstr(s, "cdef");
    EXPECT_EQ(SysReAllocString(&s, s + 4), TRUE);  // the terminator alone
    ExpectBstr(s, "");
    SysFreeString(s);

    s = SysAllocStringLen("ab\0cd", 5);
    EXPECT_EQ(SysReAllocString(&s, s + 3), TRUE);  // after the embedded NUL
    ExpectBstr(s, "cd");
    SysFreeString(s);
}

TEST(SysReAllocString, AllocationFailureLeavesVariableNull) {
    BSTR s = nullptr;
    INT result = FALSE;
    const int runs = SweepOne([&] { s = Old(); }, [&] { result = SysReAllocString(&s, "replacement"); },
                              [&](bool fired) {
                                  if (fired) {
                                      EXPECT_EQ(result, FALSE);
                                      EXPECT_EQ(s, nullptr);
                                  } else {
                                      EXPECT_EQ(result, TRUE);
                                      ExpectBstr(s, "replacement");
                                  }
                                  SysFreeString(s);
                              });
    EXPECT_EQ(runs, 2);
}

TEST(SysReAllocString, AllocationFailureWithTextInsideLeavesVariableNull) {
    BSTR s = SysAllocString("abcdef");
    INT result;
    {
        AllocationFailure failure(1, false);
        result = SysReAllocString(&s, s + 1);
        EXPECT_TRUE(failure.Fired());
    }
    EXPECT_EQ(result, FALSE);
    EXPECT_EQ(s, nullptr);  // the old string was released, nothing leaks
}

TEST(SysReAllocStringLen, RefusalsLeaveVariableUntouched) {
    BSTR s = Old();
    BSTR before = s;
    AllocationCounter counter;
    EXPECT_EQ(SysReAllocStringLen(nullptr, "abc", 3), FALSE);
    EXPECT_EQ(SysReAllocStringLen(&s, nullptr, 3), FALSE);
    EXPECT_EQ(SysReAllocStringLen(&s, "abc", 0), FALSE);
    EXPECT_EQ(SysReAllocStringLen(&s, "ab", 3), FALSE);
    EXPECT_EQ(SysReAllocStringLen(&s, "ab\0cd", 5), FALSE);  // a NUL inside the count
    EXPECT_EQ(counter.Count(), 0u);
    EXPECT_EQ(s, before);
    ExpectBstr(s, "old text");
    SysFreeString(s);
}

TEST(SysReAllocStringLen, TakesFirstCountCharacters) {
    BSTR s = Old();
    EXPECT_EQ(SysReAllocStringLen(&s, "abcdef", 3), TRUE);
    ExpectBstr(s, "abc");
    EXPECT_EQ(SysReAllocStringLen(&s, "xyz", 3), TRUE);  // exactly as long as the count
    ExpectBstr(s, "xyz");
    SysFreeString(s);
}

TEST(SysReAllocStringLen, SourceInsideTheReplacedString) {
    BSTR s = SysAllocString("abcdef");
    EXPECT_EQ(SysReAllocStringLen(&s, s, 6), TRUE);
    ExpectBstr(s, "abcdef");
    EXPECT_EQ(SysReAllocStringLen(&s, s + 1, 4), TRUE);
    ExpectBstr(s, "bcde");
    SysFreeString(s);
}

TEST(SysReAllocStringLen, AllocationFailureKeepsOldString) {
    BSTR s = Old();
    BSTR before = s;
    INT result = FALSE;
    const int runs = SweepOne([&] { result = SysReAllocStringLen(&s, "replacement", 7); },
                              [&](bool fired) {
                                  if (fired) {
                                      EXPECT_EQ(result, FALSE);
                                      EXPECT_EQ(s, before);
                                      ExpectBstr(s, "old text");
                                  } else {
                                      EXPECT_EQ(result, TRUE);
                                      ExpectBstr(s, "replace");
                                  }
                              });
    EXPECT_EQ(runs, 2);
    SysFreeString(s);
}

TEST(SysAllocFamily, AllocationFailureGivesNull) {
    BSTR s = nullptr;
    const auto check = [&](std::string_view expected) {
        return [&s, expected](bool fired) {
            if (fired)
                EXPECT_EQ(s, nullptr);
            else
                ExpectBstr(s, expected);
            SysFreeString(s);
            s = nullptr;
        };
    };
    EXPECT_EQ(SweepOne([&] { s = SysAllocString("abc"); }, check("abc")), 2);
    EXPECT_EQ(SweepOne([&] { s = SysAllocString(""); }, check("")), 2);
    EXPECT_EQ(SweepOne([&] { s = SysAllocStringLen("a\0c", 3); }, check("a\0c"s)), 2);
    EXPECT_EQ(SweepOne([&] { s = SysAllocStringLen(nullptr, 2); }, check("\0\0"s)), 2);
    EXPECT_EQ(SweepOne([&] { s = SysAllocStringByteLen("xy", 2); }, check("xy")), 2);
}

TEST(BstrCopy, LengthComesFromPrefix) {
    BSTR source = SysAllocStringLen("a\0b", 3);
    BSTR copy = KoAtlCom::detail::BstrCopy(source);
    EXPECT_NE(copy, source);
    ExpectBstr(copy, "a\0b"s);
    SysFreeString(copy);
    SysFreeString(source);
}

TEST(BstrCopy, NullOrEmptySourceGivesNull) {
    EXPECT_EQ(KoAtlCom::detail::BstrCopy(nullptr), nullptr);
    BSTR empty = SysAllocString("");
    AllocationCounter counter;
    EXPECT_EQ(KoAtlCom::detail::BstrCopy(empty), nullptr);
    EXPECT_EQ(counter.Count(), 0u);
    SysFreeString(empty);
}

TEST(BstrTextCopy, StopsAtNulAndKeepsEmptyText) {
    BSTR copy = KoAtlCom::detail::BstrTextCopy("a\0b");
    ExpectBstr(copy, "a");
    SysFreeString(copy);
    copy = KoAtlCom::detail::BstrTextCopy("");
    ExpectBstr(copy, "");
    SysFreeString(copy);
    EXPECT_EQ(KoAtlCom::detail::BstrTextCopy(nullptr), nullptr);
}

TEST(BstrCopyRules, AllocationFailureGivesNull) {
    BSTR source = SysAllocString("abc");
    BSTR copy = nullptr;
    const auto check = [&](bool fired) {
        if (fired)
            EXPECT_EQ(copy, nullptr);
        else
            ExpectBstr(copy, "abc");
        SysFreeString(copy);
    };
    EXPECT_EQ(SweepOne([&] { copy = KoAtlCom::detail::BstrCopy(source); }, check), 2);
    EXPECT_EQ(SweepOne([&] { copy = KoAtlCom::detail::BstrTextCopy(source); }, check), 2);
    SysFreeString(source);
}

// The largest count asks for one block of 2^32 + 4 bytes (the sum taken in 64
// bits, not wrapped to 4). The seam records the request and refuses it, so no
// memory is committed.
TEST(SysAllocStringLen, LargestCountAsksForTwoToThe32PlusFourBytes) {
    constexpr std::uint64_t kExpected = (std::uint64_t{1} << 32) + 4;
    const char source[] = "abc";
    for (auto make : {+[](const char* src) { return SysAllocStringLen(src, 0xFFFFFFFFu); },
                      +[](const char* src) { return SysAllocStringByteLen(src, 0xFFFFFFFFu); }}) {
        for (const char* src : {static_cast<const char*>(nullptr), source}) {
            AllocationFailure failure(1, false);
            zentrel::test::SeamRequests requests;
            EXPECT_EQ(make(src), nullptr);
            EXPECT_TRUE(failure.Fired());
            EXPECT_EQ(requests.Sizes(), std::vector<std::uint64_t>{kExpected});
        }
    }
}

#if defined(__linux__)
// Text of 2^32 'a' and a NUL, read through a window so that it costs little
// memory: the 4 GiB of address space are reserved without access, and a fault
// handler maps the 16 MiB stretch being read (always the same shared block of
// 'a') and drops the stretch read before it. The NUL is a zero page behind.
class WindowedText {
public:
    static constexpr std::size_t kLength = std::size_t{1} << 32;
    static constexpr std::size_t kStretch = std::size_t{16} << 20;

    WindowedText() {
        fd_ = memfd_create("bstr-text", 0);
        if (fd_ < 0 || ftruncate(fd_, kStretch) != 0) return;
        void* filled = mmap(nullptr, kStretch, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (filled == MAP_FAILED) return;
        std::memset(filled, 'a', kStretch);
        munmap(filled, kStretch);
        void* reserved = mmap(nullptr, kLength + kStretch, PROT_NONE, kReserve, -1, 0);
        if (reserved == MAP_FAILED) return;
        base_ = static_cast<char*>(reserved);
        mmap(base_ + kLength, kStretch, PROT_READ, kReserve | MAP_FIXED, -1, 0);  // zeros: the NUL
        struct sigaction action {};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &previous_);
        sigaction(SIGBUS, &action, &previousBus_);
    }
    ~WindowedText() {
        if (base_ != nullptr) {
            sigaction(SIGSEGV, &previous_, nullptr);
            sigaction(SIGBUS, &previousBus_, nullptr);
            munmap(base_, kLength + kStretch);
        }
        if (fd_ >= 0) close(fd_);
        base_ = nullptr;
        mapped_ = nullptr;
    }
    WindowedText(const WindowedText&) = delete;
    WindowedText& operator=(const WindowedText&) = delete;

    // Null when the address space or the block could not be had.
    const char* Text() const { return base_; }

private:
    static constexpr int kReserve = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;

    static void OnFault(int signal, siginfo_t* info, void*) {
        auto* at = static_cast<char*>(info->si_addr);
        if (base_ == nullptr || at < base_ || at >= base_ + kLength) {
            // Not ours: let the fault take its usual course.
            sigaction(signal, signal == SIGSEGV ? &previous_ : &previousBus_, nullptr);
            return;
        }
        if (mapped_ != nullptr) mmap(mapped_, kStretch, PROT_NONE, kReserve | MAP_FIXED, -1, 0);
        mapped_ = base_ + static_cast<std::size_t>(at - base_) / kStretch * kStretch;
        if (mmap(mapped_, kStretch, PROT_READ, MAP_SHARED | MAP_FIXED | MAP_POPULATE, fd_, 0) == MAP_FAILED)
            std::abort();
    }

    static inline int fd_ = -1;
    static inline char* base_ = nullptr;
    static inline char* mapped_ = nullptr;
    static inline struct sigaction previous_ {};
    static inline struct sigaction previousBus_ {};
};

// Text of 2^32 characters cannot be described by the length prefix: it is
// refused, nothing is allocated and nothing released.
TEST(SysAllocString, RefusesTextOfFourGibibytes) {
    WindowedText text;
    if (text.Text() == nullptr) GTEST_SKIP() << "4 GiB of address space are not available";

    BSTR s = SysAllocString("kept");
    BSTR before = s;
    {
        AllocationCounter counter;
        EXPECT_EQ(SysAllocString(text.Text()), nullptr);
        EXPECT_EQ(KoAtlCom::detail::BstrTextCopy(text.Text()), nullptr);
        EXPECT_EQ(SysReAllocString(&s, text.Text()), FALSE);
        EXPECT_EQ(counter.Count(), 0u);
    }
    EXPECT_EQ(s, before);
    ExpectBstr(s, "kept");
    SysFreeString(s);
}
#endif

}  // namespace
