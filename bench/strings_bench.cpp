// Strings beside their floors: a BSTR against malloc + memcpy + free of the same
// block, GUID text against libuuid, UTF-8 decoding against iconv to WCHAR_T.
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

constexpr std::size_t kTextBytes = std::size_t{1} << 20;

std::string Repeat(const std::string& piece) {
    std::string text;
    while (text.size() + piece.size() <= kTextBytes) text += piece;
    text.append(kTextBytes - text.size(), ' ');
    return text;
}

const std::string& AsciiText() {
    static const std::string text = Repeat("The quick brown fox jumps over the lazy dog, 0123456789.\n");
    return text;
}

// Prose in several scripts: ASCII with accented Latin, Greek, the euro sign, CJK
// and an emoji, about one byte in three outside ASCII.
const std::string& MixedText() {
    static const std::string text = Repeat(
        "Caf\xC3\xA9 cr\xC3\xA8me br\xC3\xBBl\xC3\xA9\x65 co\xC3\xBBte 5 \xE2\x82\xAC; "
        "\xCE\xB1\xCE\xB2\xCE\xB3 and \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E text \xF0\x9F\x98\x80 ok.\n");
    return text;
}

void DecodeWithLibrary(benchmark::State& state, const std::string& text) {
    std::wstring out;
    for (auto _ : state) {
        Utf8ToWideString(reinterpret_cast<const unsigned char*>(text.data()), text.size(), out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// The decoder without its SSE2 run of ASCII: the same rules, one byte at a
// time, into the same presized output. It shows what the vector run earns.
void PlainUtf8ToWideString(const unsigned char* p, std::size_t count, std::wstring& out) {
    out.clear();
    out.resize(count);
    wchar_t* w = out.data();
    const unsigned char* const end = p + count;
    const auto continuation = [](unsigned char b) { return (b & 0xC0) == 0x80; };
    while (p != end) {
        const auto left = static_cast<std::size_t>(end - p);
        const unsigned char b0 = *p;
        std::uint32_t code = 0;
        std::size_t length = 0;
        if (b0 < 0x80) {
            code = b0;
            length = 1;
        } else if (b0 >= 0xC0 && b0 <= 0xDF && left >= 2 && continuation(p[1])) {
            code = ((b0 & 0x1Fu) << 6) | (p[1] & 0x3Fu);
            length = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF && left >= 3 && continuation(p[1]) && continuation(p[2])) {
            code = ((b0 & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
            length = 3;
        } else if (b0 >= 0xF0 && b0 <= 0xF7 && left >= 4 && continuation(p[1]) && continuation(p[2]) &&
                   continuation(p[3])) {
            code = ((b0 & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
            length = 4;
        }
        if (length == 0) {
            *w++ = 0xFFFD;
            ++p;
            continue;
        }
        p += length;
        if (code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF)) *w++ = static_cast<wchar_t>(code);
    }
    out.resize(static_cast<std::size_t>(w - out.data()));
}

void DecodePlain(benchmark::State& state, const std::string& text) {
    std::wstring out;
    for (auto _ : state) {
        PlainUtf8ToWideString(reinterpret_cast<const unsigned char*>(text.data()), text.size(), out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void DecodeWithIconv(benchmark::State& state, const std::string& text) {
    iconv_t cd = iconv_open("WCHAR_T", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        state.SkipWithError("iconv_open failed");
        return;
    }
    std::wstring out(text.size(), L'\0');
    for (auto _ : state) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        char* in = const_cast<char*>(text.data());
        std::size_t inLeft = text.size();
        char* to = reinterpret_cast<char*>(out.data());
        std::size_t toLeft = out.size() * sizeof(wchar_t);
        benchmark::DoNotOptimize(iconv(cd, &in, &inLeft, &to, &toLeft));
        benchmark::DoNotOptimize(out.data());
    }
    iconv_close(cd);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_Utf8ToWideString_Ascii(benchmark::State& state) { DecodeWithLibrary(state, AsciiText()); }
void BM_Utf8ToWideString_Mixed(benchmark::State& state) { DecodeWithLibrary(state, MixedText()); }
void BM_Floor_iconv_Ascii(benchmark::State& state) { DecodeWithIconv(state, AsciiText()); }
void BM_Floor_iconv_Mixed(benchmark::State& state) { DecodeWithIconv(state, MixedText()); }
void BM_Reference_PlainDecoder_Ascii(benchmark::State& state) { DecodePlain(state, AsciiText()); }
void BM_Reference_PlainDecoder_Mixed(benchmark::State& state) { DecodePlain(state, MixedText()); }
BENCHMARK(BM_Utf8ToWideString_Ascii);
BENCHMARK(BM_Reference_PlainDecoder_Ascii);
BENCHMARK(BM_Floor_iconv_Ascii);
BENCHMARK(BM_Utf8ToWideString_Mixed);
BENCHMARK(BM_Reference_PlainDecoder_Mixed);
BENCHMARK(BM_Floor_iconv_Mixed);

}  // namespace
