// StringFromGUID2 on its platform path: the text comes from uuid_to_string (here
// the tests' stand-in, whose answers each test chooses) and must be checked,
// raised to upper case, braced, and released on every path. Built only with
// ZENTREL_TEST_UUID_STANDIN; the program is linked with --wrap=free, so that it
// sees which blocks the library gives back.
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "automation/strings/guid_text.h"
#include "uuid_standin.h"

namespace {

namespace standin = zentrel::test::uuid_standin;

// Frees of the text the stand-in handed out last. The block is overwritten
// before it goes, so a read after the release shows in the result.
int gTextFrees = 0;

}  // namespace

extern "C" void __real_free(void* p);
extern "C" void __wrap_free(void* p) {
    if (p != nullptr && p == standin::LastCall().handedOut) {
        ++gTextFrees;
        std::memset(p, '#', std::strlen(static_cast<char*>(p)));
    }
    __real_free(p);
}

namespace {

constexpr GUID kSample = {0x01234567, 0x89AB, 0xCDEF, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};
constexpr char kUntouched = 0x7E;

struct Outcome {
    int result = -1;
    char buffer[48];
    std::uint64_t calls = 0;
    standin::Call call;
    int textFrees = 0;
};

Outcome Format(int capacity = 39) {
    Outcome run;
    std::memset(run.buffer, kUntouched, sizeof run.buffer);
    const std::uint64_t before = standin::LastCall().count;
    gTextFrees = 0;
    run.result = StringFromGUID2(kSample, run.buffer, capacity);
    run.textFrees = gTextFrees;
    run.call = standin::LastCall();
    run.calls = run.call.count - before;
    return run;
}

void ExpectUntouchedFrom(const Outcome& run, std::size_t first) {
    for (std::size_t i = first; i < sizeof run.buffer; ++i) ASSERT_EQ(run.buffer[i], kUntouched) << "byte " << i;
}

class GuidPlatformText : public ::testing::Test {
protected:
    void TearDown() override { standin::AnswerNormally(); }
};

TEST_F(GuidPlatformText, AsksWithClearedStatusAndTextAndReleasesTheText) {
    const Outcome run = Format();
    EXPECT_EQ(run.result, 39);
    EXPECT_EQ(std::string(run.buffer, 39), std::string("{01234567-89AB-CDEF-FEDC-BA9876543210}") + '\0');
    ExpectUntouchedFrom(run, 39);
    EXPECT_EQ(run.calls, 1u);
    EXPECT_EQ(run.call.textOnEntry, nullptr);
    EXPECT_EQ(run.call.statusOnEntry, 0u);
    ASSERT_NE(run.call.handedOut, nullptr);
    EXPECT_EQ(run.textFrees, 1);
}

// Whatever the platform's text holds is raised character by character, not
// reformatted from the GUID.
TEST_F(GuidPlatformText, RaisesThePlatformsTextToUpperCase) {
    standin::Answer(0, "ghijklmn-opqr-stuv-wxyz-0123456789az");
    Outcome run = Format();
    EXPECT_EQ(run.result, 39);
    EXPECT_EQ(std::string(run.buffer, 39), std::string("{GHIJKLMN-OPQR-STUV-WXYZ-0123456789AZ}") + '\0');
    EXPECT_EQ(run.textFrees, 1);

    standin::Answer(0, "ABCDEF01-2345-6789-ABCD-EF0123456789");
    run = Format();
    EXPECT_EQ(run.result, 39);
    EXPECT_EQ(std::string(run.buffer, 39), std::string("{ABCDEF01-2345-6789-ABCD-EF0123456789}") + '\0');
    EXPECT_EQ(run.textFrees, 1);
}

TEST_F(GuidPlatformText, SmallCapacityAsksNothing) {
    for (int capacity : {38, 0, -1}) {
        const Outcome run = Format(capacity);
        EXPECT_EQ(run.result, 0) << capacity;
        EXPECT_EQ(run.calls, 0u) << capacity;
        ExpectUntouchedFrom(run, 0);
    }
}

struct Failure {
    const char* name;
    std::uint32_t status;
    std::optional<std::string> text;
};

class GuidPlatformFailure : public ::testing::TestWithParam<Failure> {
protected:
    void TearDown() override { standin::AnswerNormally(); }
};

// Every refusal leaves the buffer as it was and gives the platform's text back.
TEST_P(GuidPlatformFailure, ReturnsZeroLeavesBufferAndReleasesText) {
    const Failure& failure = GetParam();
    standin::Answer(failure.status, failure.text);
    const Outcome run = Format();
    EXPECT_EQ(run.result, 0);
    ExpectUntouchedFrom(run, 0);
    EXPECT_EQ(run.calls, 1u);
    EXPECT_EQ(run.textFrees, failure.text ? 1 : 0);
}

const std::string kText = "01234567-89ab-cdef-fedc-ba9876543210";

INSTANTIATE_TEST_SUITE_P(
    Answers, GuidPlatformFailure,
    ::testing::Values(Failure{"StatusWithText", 3, kText}, Failure{"StatusWithoutText", 3, std::nullopt},
                      Failure{"StatusHighBit", 0x80000000u, kText}, Failure{"StatusAboveSixteenBits", 0x10000u, kText},
                      Failure{"StatusAboveEightBits", 0x100u, kText}, Failure{"NoText", 0, std::nullopt},
                      Failure{"Text35", 0, kText.substr(0, 35)}, Failure{"Text37", 0, kText + "0"},
                      Failure{"TextWithNulInside", 0, kText.substr(0, 20) + '\0' + "0000"},
                      Failure{"EmptyText", 0, std::string()}),
    [](const ::testing::TestParamInfo<Failure>& row) { return std::string(row.param.name); });

}  // namespace
