// Core types against their standard-library peers: allocator vs malloc/free, String vs std::u16string,
// UTF-8 conversion vs a plain loop, Stack::push vs std::vector::push_back.
#include "tolvan/common/allocator.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/string.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

using namespace Kalvex;

namespace {

// ---- allocator ----

void BM_TolvanMallocFree(benchmark::State& state) {
    for (auto _ : state) {
        void* p = tolvanMalloc(64, 1);
        benchmark::DoNotOptimize(p);
        tolvanFree(p);
    }
}
BENCHMARK(BM_TolvanMallocFree)->Threads(1)->Threads(2);

void BM_MallocFree(benchmark::State& state) {
    for (auto _ : state) {
        void* p = std::malloc(64);
        benchmark::DoNotOptimize(p);
        std::free(p);
    }
}
BENCHMARK(BM_MallocFree)->Threads(1)->Threads(2);

// ---- String append ----

void BM_StringAppend(benchmark::State& state) {
    for (auto _ : state) {
        String s;
        for (int i = 0; i < 1000; ++i)
            s << u'x';
        benchmark::DoNotOptimize(s.cStr());
    }
}
BENCHMARK(BM_StringAppend);

void BM_U16StringAppend(benchmark::State& state) {
    for (auto _ : state) {
        std::u16string s;
        for (int i = 0; i < 1000; ++i)
            s += u'x';
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(BM_U16StringAppend);

// ---- find ----

std::u16string haystack() {
    std::mt19937 rng(7);
    std::u16string text;
    for (int i = 0; i < 100000; ++i)
        text += char16_t(u'a' + rng() % 20);
    text += u"needle";
    return text;
}

void BM_StringFind(benchmark::State& state) {
    const std::u16string text = haystack();
    const String s(text.data(), int(text.size()));
    const String needle(u"needle");
    for (auto _ : state)
        benchmark::DoNotOptimize(s.find(needle));
    state.SetBytesProcessed(int64(state.iterations()) * int64(text.size() * 2));
}
BENCHMARK(BM_StringFind);

void BM_U16StringViewFind(benchmark::State& state) {
    const std::u16string text = haystack();
    const std::u16string_view view(text);
    for (auto _ : state)
        benchmark::DoNotOptimize(view.find(u"needle"));
    state.SetBytesProcessed(int64(state.iterations()) * int64(text.size() * 2));
}
BENCHMARK(BM_U16StringViewFind);

// ---- UTF-8 ----

std::string asciiHeavyText() {
    std::string text;
    for (int i = 0; i < 20000; ++i)
        text += (i % 50 == 0) ? "K\xC3\xBC"
                                "che "
                              : "render pass ";
    return text;
}

void BM_FromUtf8(benchmark::State& state) {
    const std::string text = asciiHeavyText();
    for (auto _ : state) {
        String s = String::fromUtf8(text.c_str());
        benchmark::DoNotOptimize(s.cStr());
    }
    state.SetBytesProcessed(int64(state.iterations()) * int64(text.size()));
}
BENCHMARK(BM_FromUtf8);

// A straightforward byte-at-a-time decoder, the loop most code would write.
void BM_PlainLoopFromUtf8(benchmark::State& state) {
    const std::string text = asciiHeavyText();
    for (auto _ : state) {
        std::u16string out;
        out.reserve(text.size());
        for (size_t i = 0; i < text.size();) {
            const unsigned char b = static_cast<unsigned char>(text[i]);
            if (b < 0x80) {
                out += char16_t(b);
                ++i;
            } else if ((b & 0xE0) == 0xC0 && i + 1 < text.size()) {
                out += char16_t(((b & 0x1F) << 6) | (text[i + 1] & 0x3F));
                i += 2;
            } else {
                out += u'\xFFFD';
                ++i;
            }
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64(state.iterations()) * int64(text.size()));
}
BENCHMARK(BM_PlainLoopFromUtf8);

void BM_ToUtf8(benchmark::State& state) {
    const String s = String::fromUtf8(asciiHeavyText().c_str());
    for (auto _ : state) {
        auto utf8 = s.toUtf8();
        benchmark::DoNotOptimize(utf8.cStr());
    }
    state.SetBytesProcessed(int64(state.iterations()) * int64(s.length()));
}
BENCHMARK(BM_ToUtf8);

// ---- Stack ----

void BM_StackPush(benchmark::State& state) {
    for (auto _ : state) {
        Stack<int> s;
        for (int i = 0; i < 10000; ++i)
            s.push(i);
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(BM_StackPush);

void BM_VectorPushBack(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<int> v;
        for (int i = 0; i < 10000; ++i)
            v.push_back(i);
        benchmark::DoNotOptimize(v.data());
    }
}
BENCHMARK(BM_VectorPushBack);

} // namespace

BENCHMARK_MAIN();
