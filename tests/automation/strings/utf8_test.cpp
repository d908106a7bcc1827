#include "automation/strings/utf8.h"

#include <new>
#include <string>

#include <gtest/gtest.h>

#include "automation/strings/utf8_kernels.h"
#include "support/fault_injection.h"

namespace {

using namespace std::string_literals;

// Runs `body` once through each decoding path this processor has (the scalar
// decoder, SSE2, AVX-512), each forced in turn.
template <class Body>
void ForEachPath(Body body) {
    struct Restore {
        ~Restore() { KoAtlCom::detail::fault::ForceUtf8Path(nullptr); }
    } restore;
    const auto paths = KoAtlCom::detail::SupportedUtf8Paths();
    for (const KoAtlCom::detail::Utf8Path* path = paths.begin; path != paths.end; ++path) {
        SCOPED_TRACE(path->name);
        KoAtlCom::detail::fault::ForceUtf8Path(path);
        body();
    }
}

std::wstring Decode(const std::string& bytes) {
    std::wstring out = L"previous content that must go";
    Utf8ToWideString(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out);
    return out;
}

constexpr wchar_t R = 0xFFFD;

struct Case {
    const char* name;
    std::string bytes;
    std::wstring expected;
};

class Utf8Decode : public ::testing::TestWithParam<Case> {};

TEST_P(Utf8Decode, GivesExactCodePoints) {
    ForEachPath([] {
        const std::wstring got = Decode(GetParam().bytes);
        ASSERT_EQ(got.size(), GetParam().expected.size());
        for (std::size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(static_cast<std::uint32_t>(got[i]), static_cast<std::uint32_t>(GetParam().expected[i]))
                << "element " << i;
    });
}

// The same case inside longer text, at every offset of a 64-byte window and
// across its end, after ASCII and after two-byte sequences, with text after it:
// the vector paths see it in the middle of a step, not only in the tail.
TEST_P(Utf8Decode, GivesExactCodePointsInsideText) {
    const std::string after = "z\xC3\xA9" + std::string(70, 'y');
    const std::wstring afterWide = L"z\u00E9" + std::wstring(70, L'y');
    ForEachPath([&] {
        for (const bool wide : {false, true}) {
            for (std::size_t offset = 0; offset <= 70; ++offset) {
                std::string bytes;
                std::wstring expected;
                while (bytes.size() < offset) {
                    if (wide && bytes.size() + 2 <= offset) {
                        bytes += "\xCE\xB1";
                        expected += L'\u03B1';
                    } else {
                        bytes += 'x';
                        expected += L'x';
                    }
                }
                ASSERT_EQ(Decode(bytes + GetParam().bytes + after), expected + GetParam().expected + afterWide)
                    << "offset " << offset << (wide ? " after two-byte text" : " after ASCII");
            }
        }
    });
}

// One case a line.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, Utf8Decode,
    ::testing::Values(
        Case{"Ascii", "A", L"A"}, Case{"TwoBytes", "\xC3\xA9", L"\u00E9"}, Case{"ThreeBytes", "\xE2\x82\xAC", L"\u20AC"},
        Case{"FourBytes", "\xF0\x9F\x98\x80", std::wstring(1, 0x1F600)},
        Case{"EmbeddedNul", "A\0B"s, L"A\0B"s},
        Case{"LoneLeadAtEnd", "\xC3", {R}},
        Case{"TruncatedThreeAtEnd", "\xE2\x82", {R, R}},
        Case{"TruncatedFourAtEnd", "\xF0\x9F\x98", {R, R, R}},
        Case{"LeadThenAscii", "\xC3" "A", {R, L'A'}},
        Case{"ThreeWithBadSecond", "\xE2" "A\x82", {R, L'A', R}},
        Case{"FourWithBadFourth", "\xF0\x9F\x98" "A", {R, R, R, L'A'}},
        Case{"LoneContinuation", "\x80", {R}},
        Case{"StrayContinuations", "\xBF\x80\xBF", {R, R, R}},
        Case{"SurrogateDropped", "\xED\xA0\x80" "A", L"A"},
        Case{"LastSurrogateDropped", "\xED\xBF\xBF", L""},
        Case{"AroundSurrogates", "\xED\x9F\xBF\xEE\x80\x80", {0xD7FF, 0xE000}},
        Case{"OverLongSurrogateDropped", "\xF0\x8D\xA0\x80", L""},
        Case{"AboveMaximumDropped", "\xF4\x90\x80\x80", L""},
        Case{"F5Dropped", "\xF5\x80\x80\x80" "B", L"B"},
        Case{"LargestFourByteDropped", "\xF7\xBF\xBF\xBF", L""},
        Case{"Maximum", "\xF4\x8F\xBF\xBF", std::wstring(1, 0x10FFFF)},
        Case{"NonCharactersKept", "\xEF\xBF\xBE\xEF\xBF\xBF", {0xFFFE, 0xFFFF}},
        Case{"FiveByteLead", "\xF8\x88\x80\x80\x80", {R, R, R, R, R}},
        Case{"HighBytes", "\xFE\xFF", {R, R}},
        Case{"F8WithThreeContinuations", "\xF8\x88\x80\x80", {R, R, R, R}},
        Case{"FFWithThreeContinuations", "\xFF\xBF\xBF\xBF", {R, R, R, R}},
        Case{"OverLongNul", "\xC0\x80", L"\0"s},
        Case{"OverLongA", "\xC1\x81", L"A"},
        Case{"OverLongThree", "\xE0\x80\x80", L"\0"s},
        Case{"OverLongFour", "\xF0\x80\x80\x80", L"\0"s},
        Case{"TwoByteLeadBeforeThreeLead", "\xC3\xE2\x82\xAC", {R, 0x20AC}},
        Case{"LongAsciiThenTwo", "abcdefghijklmnop\xC3\xA9xyz", L"abcdefghijklmnop\u00E9xyz"},
        Case{"MultiByteAcrossGroups", "abcdefg\xE2\x82\xAC" "abcdefgh\xF0\x9F\x98\x80",
             L"abcdefg\u20AC" L"abcdefgh" + std::wstring(1, 0x1F600)},
        Case{"NulRun", std::string(19, '\0'), std::wstring(19, L'\0')}),
    [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });
// clang-format on

// A bad byte at every position of a long ASCII run, so that it lands at every
// offset of the eight-byte groups, before, inside and after them.
TEST(Utf8ToWideString, BadByteAtEveryPositionOfAsciiRun) {
    ForEachPath([] {
        for (std::size_t length = 1; length <= 40; ++length) {
            for (std::size_t at = 0; at < length; ++at) {
                std::string bytes;
                for (std::size_t i = 0; i < length; ++i) bytes += static_cast<char>('a' + i % 26);
                std::wstring expected(bytes.begin(), bytes.end());
                bytes[at] = '\x80';
                expected[at] = R;
                ASSERT_EQ(Decode(bytes), expected) << "length " << length << " at " << at;
            }
        }
    });
}

// Valid text of every sequence length in changing proportions, of lengths
// around the 16- and 64-byte steps, decodes to the code points it encodes.
TEST(Utf8ToWideString, ValidTextOfMixedLengths) {
    const std::uint32_t samples[] = {0x24,   0x7F,   0x80,   0xE9,    0x7FF,   0x800,   0x20AC,
                                     0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
    std::uint32_t state = 1;
    const auto next = [&state] { return (state = state * 1103515245u + 12345u) >> 16; };
    ForEachPath([&] {
        for (int text = 0; text < 200; ++text) {
            std::string bytes;
            std::wstring expected;
            const std::uint32_t asciiShare = next() % 100;  // per cent of ASCII
            for (std::uint32_t n = next() % 300; n != 0; --n) {
                const std::uint32_t code = next() % 100 < asciiShare ? 'a' + next() % 26 : samples[next() % 13];
                expected += static_cast<wchar_t>(code);
                if (code < 0x80) {
                    bytes += static_cast<char>(code);
                } else if (code < 0x800) {
                    bytes += {static_cast<char>(0xC0 | code >> 6), static_cast<char>(0x80 | (code & 0x3F))};
                } else if (code < 0x10000) {
                    bytes += {static_cast<char>(0xE0 | code >> 12), static_cast<char>(0x80 | (code >> 6 & 0x3F)),
                              static_cast<char>(0x80 | (code & 0x3F))};
                } else {
                    bytes += {static_cast<char>(0xF0 | code >> 18), static_cast<char>(0x80 | (code >> 12 & 0x3F)),
                              static_cast<char>(0x80 | (code >> 6 & 0x3F)), static_cast<char>(0x80 | (code & 0x3F))};
                }
            }
            ASSERT_EQ(Decode(bytes), expected) << "text " << text;
        }
    });
}

// Every byte from 0x00 to 0x7F is its own code point: alone (the byte-by-byte
// path) and in one run of all 128 (the grouped path).
TEST(Utf8ToWideString, EveryAsciiByteIsItself) {
    ForEachPath([] {
        std::string run;
        for (int b = 0x00; b <= 0x7F; ++b) {
            const std::string alone(1, static_cast<char>(b));
            ASSERT_EQ(Decode(alone), std::wstring(1, static_cast<wchar_t>(b))) << "byte " << b;
            run += alone;
        }
        EXPECT_EQ(Decode(run), std::wstring(run.begin(), run.end()));
    });
}

TEST(Utf8ToWideString, NullOrZeroCountEmptiesOutput) {
    const unsigned char bytes[] = {'A', 'B'};
    std::wstring out = L"previous";
    Utf8ToWideString(nullptr, 5, out);
    EXPECT_TRUE(out.empty());
    out = L"previous";
    Utf8ToWideString(bytes, 0, out);
    EXPECT_TRUE(out.empty());
}

TEST(Utf8ToWideString, ReadsOnlyCountBytes) {
    ForEachPath([] {
        const unsigned char bytes[] = {'A', 0xC3, 0xA9, 'B'};
        std::wstring out;
        Utf8ToWideString(bytes, 2, out);  // the sequence is cut by the count
        EXPECT_EQ(out, (std::wstring{L'A', R}));
    });
}

// A string that already holds more text than the input decodes to keeps none of it.
TEST(Utf8ToWideString, ReusedStringHoldsOnlyTheNewText) {
    ForEachPath([] {
        std::wstring out;
        const std::string longer(300, 'q');
        Utf8ToWideString(reinterpret_cast<const unsigned char*>(longer.data()), longer.size(), out);
        const std::string shorter = "\xCE\xB1\xCE\xB2";
        Utf8ToWideString(reinterpret_cast<const unsigned char*>(shorter.data()), shorter.size(), out);
        EXPECT_EQ(out, L"\u03B1\u03B2");
    });
}

// Output that shrinks far below the input does not keep the room sized for it.
TEST(Utf8ToWideString, DroppedInputLeavesNoLargeSpareRoom) {
    std::string bytes;
    for (int i = 0; i < 4096; ++i) bytes += "\xED\xA0\x80";
    bytes += "end";
    const std::wstring out = Decode(bytes);
    EXPECT_EQ(out, L"end");
    EXPECT_LT(out.capacity(), 64u);
}

TEST(Utf8ToWideString, AllocationFailureThrowsAndLeavesOutputEmpty) {
    const std::string bytes(100, 'x');
    std::wstring out = L"previous content longer than the small-string buffer";
    {
        zentrel::test::AllocationFailure failure(1, true);
        EXPECT_THROW(Utf8ToWideString(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out),
                     std::bad_alloc);
        EXPECT_TRUE(failure.Fired());
    }
    EXPECT_TRUE(out.empty());
}

}  // namespace
