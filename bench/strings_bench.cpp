// Strings beside their floors: a BSTR against malloc + memcpy + free of the same
// block, GUID text against libuuid, UTF-8 decoding against iconv to WCHAR_T
// and against the decoder it replaced (utf8_previous.h).
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <iconv.h>

#include "automation/strings/bstr.h"
#include "automation/strings/guid_text.h"
#include "automation/strings/utf8.h"
#include "utf8_previous.h"

#if ZENTREL_HAVE_LIBUUID
#include <uuid/uuid.h>
#endif

namespace {

// --- BSTR --------------------------------------------------------------------

const std::string& Source() {
    static const std::string text(1024, 'x');
    return text;
}

void BM_SysAllocStringLen(benchmark::State& state) {
    const auto n = static_cast<UINT>(state.range(0));
    const char* src = Source().data();
    for (auto _ : state) {
        BSTR s = SysAllocStringLen(src, n);
        benchmark::DoNotOptimize(s);
        SysFreeString(s);
    }
}
BENCHMARK(BM_SysAllocStringLen)->Arg(16)->Arg(64)->Arg(1024);

void BM_Floor_MallocCopyFree(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const char* src = Source().data();
    for (auto _ : state) {
        auto* block = static_cast<char*>(std::malloc(n + 5));
        std::memcpy(block + 4, src, n);
        benchmark::DoNotOptimize(block);
        std::free(block);
    }
}
BENCHMARK(BM_Floor_MallocCopyFree)->Arg(16)->Arg(64)->Arg(1024);

// --- GUID text ---------------------------------------------------------------

constexpr std::size_t kGuids = 256;  // cycled, so no single input is learnt

const std::vector<GUID>& Guids() {
    static const std::vector<GUID> guids = [] {
        std::mt19937_64 random(7);
        std::vector<GUID> out(kGuids);
        for (GUID& g : out) {
            const std::uint64_t words[2] = {random(), random()};
            std::memcpy(&g, words, sizeof g);
        }
        return out;
    }();
    return guids;
}

// Braced texts as StringFromGUID2 writes them, with mixed-case digits.
const std::vector<std::string>& BracedTexts() {
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> out;
        for (const GUID& g : Guids()) {
            char buffer[39];
            StringFromGUID2(g, buffer, sizeof buffer);
            std::string text(buffer);
            for (std::size_t i = 0; i < text.size(); i += 3) text[i] = static_cast<char>(std::tolower(text[i]));
            out.push_back(text);
        }
        return out;
    }();
    return texts;
}

const std::vector<std::string>& BareTexts() {
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> out;
        for (const std::string& braced : BracedTexts()) out.push_back(braced.substr(1, 36));
        return out;
    }();
    return texts;
}

// Runs `parse` on each text in turn.
template <class Parse>
void ParseEach(benchmark::State& state, const std::vector<std::string>& texts, Parse parse) {
    std::size_t i = 0;
    for (auto _ : state) parse(texts[i++ % kGuids].c_str());
}

void BM_GUIDFromString(benchmark::State& state, bool braced) {
    GUID guid;
    ParseEach(state, braced ? BracedTexts() : BareTexts(), [&](const char* text) {
        benchmark::DoNotOptimize(GUIDFromString(text, &guid));
        benchmark::DoNotOptimize(guid);
    });
}
BENCHMARK_CAPTURE(BM_GUIDFromString, Bare, false);
BENCHMARK_CAPTURE(BM_GUIDFromString, Braced, true);

void BM_StringFromGUID2(benchmark::State& state) {
    const auto& guids = Guids();
    std::size_t i = 0;
    char buffer[39];
    for (auto _ : state) {
        benchmark::DoNotOptimize(StringFromGUID2(guids[i++ % kGuids], buffer, sizeof buffer));
        benchmark::DoNotOptimize(buffer);
    }
}
BENCHMARK(BM_StringFromGUID2);

#if ZENTREL_HAVE_LIBUUID
void BM_Floor_uuid_parse(benchmark::State& state) {
    uuid_t uuid;
    ParseEach(state, BareTexts(), [&](const char* text) {
        benchmark::DoNotOptimize(uuid_parse(text, uuid));
        benchmark::DoNotOptimize(uuid);
    });
}
BENCHMARK(BM_Floor_uuid_parse);

void BM_Floor_uuid_unparse_upper(benchmark::State& state) {
    const auto& guids = Guids();
    std::size_t i = 0;
    char buffer[37];
    for (auto _ : state) {
        uuid_unparse_upper(reinterpret_cast<const unsigned char*>(&guids[i++ % kGuids]), buffer);
        benchmark::DoNotOptimize(buffer);
    }
}
BENCHMARK(BM_Floor_uuid_unparse_upper);
#endif

// --- UTF-8 -------------------------------------------------------------------
//
// Four texts of 1 MiB, each decoded by the library, by the decoder it replaced
// and by iconv, into a string that is reused (no allocation per call); then the
// library's first call into a new string, which pays for the allocation.

constexpr std::size_t kTextBytes = std::size_t{1} << 20;

void AppendUtf8(std::string& text, std::uint32_t code) {
    if (code < 0x80) {
        text += static_cast<char>(code);
    } else if (code < 0x800) {
        text += static_cast<char>(0xC0 | (code >> 6));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        text += static_cast<char>(0xE0 | (code >> 12));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (code >> 18));
        text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Appends pieces until the text is 1 MiB, then cuts it at a sequence boundary
// and pads it with spaces.
template <class Piece>
std::string Fill(Piece next) {
    std::string text;
    while (text.size() < kTextBytes) next(text);
    std::size_t cut = kTextBytes;
    while ((static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    text.append(kTextBytes - cut, ' ');
    return text;
}

const std::string& AsciiText() {
    static const std::string text =
        Fill([](std::string& t) { t += "The quick brown fox jumps over the lazy dog, 0123456789.\n"; });
    return text;
}

// The ASCII text with one byte that cannot start a sequence in every 4 KiB.
const std::string& AsciiMalformedText() {
    static const std::string text = [] {
        std::string t = AsciiText();
        for (std::size_t i = 1000; i < t.size(); i += 4096) t[i] = '\xFF';
        return t;
    }();
    return text;
}

// Code points drawn at random: half of them one byte long in UTF-8, 30% two,
// 15% three (surrogates excluded) and 5% four, so that the length of the next
// sequence cannot be predicted.
const std::string& RandomCodePointText() {
    static const std::string text = [] {
        std::mt19937 random(11);
        return Fill([&](std::string& t) {
            const unsigned pick = random() % 100;
            std::uint32_t code;
            if (pick < 50) {
                code = random() % 0x80;
            } else if (pick < 80) {
                code = 0x80 + random() % (0x800 - 0x80);
            } else if (pick < 95) {
                do code = 0x800 + random() % (0x10000 - 0x800);
                while (code >= 0xD800 && code <= 0xDFFF);
            } else {
                code = 0x10000 + random() % (0x110000 - 0x10000);
            }
            AppendUtf8(t, code);
        });
    }();
    return text;
}

// Prose that does not repeat: words drawn at random from 300 Greek and CJK
// words (2 to 9 Greek letters, 1 to 4 ideographs), with spaces and punctuation.
const std::string& GreekCjkProseText() {
    static const std::string text = [] {
        std::mt19937 random(13);
        std::vector<std::string> words;
        for (int i = 0; i < 150; ++i) {
            std::string greek, cjk;
            for (unsigned n = 2 + random() % 8; n != 0; --n) AppendUtf8(greek, 0x3B1 + random() % 25);
            for (unsigned n = 1 + random() % 4; n != 0; --n) AppendUtf8(cjk, 0x4E00 + random() % 0x5200);
            words.push_back(greek);
            words.push_back(cjk);
        }
        return Fill([&](std::string& t) {
            t += words[random() % words.size()];
            const unsigned pick = random() % 16;
            t += pick == 0 ? ", " : pick == 1 ? ". " : pick == 2 ? "\xE3\x80\x82" : " ";
        });
    }();
    return text;
}

// The prose the decoder was first measured on: one sentence of several scripts,
// repeated (so a branch predictor learns it).
const std::string& RepeatedMixedText() {
    static const std::string text = Fill([](std::string& t) {
        t += "Caf\xC3\xA9 cr\xC3\xA8me br\xC3\xBBl\xC3\xA9\x65 co\xC3\xBBte 5 \xE2\x82\xAC; "
             "\xCE\xB1\xCE\xB2\xCE\xB3 and \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E text \xF0\x9F\x98\x80 ok.\n";
    });
    return text;
}

const unsigned char* Bytes(const std::string& text) { return reinterpret_cast<const unsigned char*>(text.data()); }

using Decoder = void (*)(const unsigned char*, std::size_t, std::wstring&);

void DecodeReused(benchmark::State& state, Decoder decode, const std::string& t) {
    std::wstring out;
    for (auto _ : state) {
        decode(Bytes(t), t.size(), out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * t.size()));
}

void DecodeWithLibrary(benchmark::State& state, const std::string& (*text)()) {
    DecodeReused(state, Utf8ToWideString, text());
}

void DecodeWithPrevious(benchmark::State& state, const std::string& (*text)()) {
    DecodeReused(state, PreviousUtf8ToWideString, text());
}

void DecodeIntoNewString(benchmark::State& state, const std::string& (*text)()) {
    const std::string& t = text();
    for (auto _ : state) {
        std::wstring out;
        Utf8ToWideString(Bytes(t), t.size(), out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * t.size()));
}

void DecodeWithIconv(benchmark::State& state, const std::string& (*text)()) {
    const std::string& t = text();
    iconv_t cd = iconv_open("WCHAR_T", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        state.SkipWithError("iconv_open failed");
        return;
    }
    std::wstring out(t.size(), L'\0');
    for (auto _ : state) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        char* in = const_cast<char*>(t.data());
        std::size_t inLeft = t.size();
        char* to = reinterpret_cast<char*>(out.data());
        std::size_t toLeft = out.size() * sizeof(wchar_t);
        benchmark::DoNotOptimize(iconv(cd, &in, &inLeft, &to, &toLeft));
        benchmark::DoNotOptimize(out.data());
    }
    iconv_close(cd);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * t.size()));
}

#define ZENTREL_UTF8_ROW(name, text)                              \
    BENCHMARK_CAPTURE(DecodeWithLibrary, name##_Library, text);   \
    BENCHMARK_CAPTURE(DecodeWithPrevious, name##_Previous, text); \
    BENCHMARK_CAPTURE(DecodeIntoNewString, name##_LibraryNewString, text)

// iconv stops at the first malformed byte, so it has no figure for that row.
ZENTREL_UTF8_ROW(Utf8_RandomCodePoints, RandomCodePointText);
BENCHMARK_CAPTURE(DecodeWithIconv, Utf8_RandomCodePoints_Iconv, RandomCodePointText);
ZENTREL_UTF8_ROW(Utf8_GreekCjkProse, GreekCjkProseText);
BENCHMARK_CAPTURE(DecodeWithIconv, Utf8_GreekCjkProse_Iconv, GreekCjkProseText);
ZENTREL_UTF8_ROW(Utf8_Ascii, AsciiText);
BENCHMARK_CAPTURE(DecodeWithIconv, Utf8_Ascii_Iconv, AsciiText);
ZENTREL_UTF8_ROW(Utf8_AsciiMalformedEvery4KiB, AsciiMalformedText);
ZENTREL_UTF8_ROW(Utf8_RepeatedMixed, RepeatedMixedText);
BENCHMARK_CAPTURE(DecodeWithIconv, Utf8_RepeatedMixed_Iconv, RepeatedMixedText);

}  // namespace
