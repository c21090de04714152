// Text formatting against snprintf: Str::getFormatted(uint64) (with the locale's digit grouping) vs
// snprintf "%llu" (no grouping) and "%'llu" (grouping through the C locale machinery), and
// Str::getFormatted(double, 2) vs snprintf "%.2f".
#include "tolvan/containers/stringutils.h"

#include <benchmark/benchmark.h>

#include <clocale>
#include <cstdio>

using namespace Kalvex;

namespace {

constexpr unsigned long long VALUES[] = {7, 1234, 987654321, 18446744073709551615ull, 42000000};

void BM_GetFormattedUint64(benchmark::State& state) {
    size_t i = 0;
    for (auto _ : state) {
        String s = Str::getFormatted(uint64(VALUES[i++ % 5]));
        benchmark::DoNotOptimize(s.cStr());
    }
}
BENCHMARK(BM_GetFormattedUint64);

void BM_SnprintfUint64(benchmark::State& state) {
    size_t i = 0;
    char buffer[32];
    for (auto _ : state) {
        std::snprintf(buffer, sizeof buffer, "%llu", VALUES[i++ % 5]);
        benchmark::DoNotOptimize(buffer);
    }
}
BENCHMARK(BM_SnprintfUint64);

void BM_SnprintfUint64Grouped(benchmark::State& state) {
    std::setlocale(LC_NUMERIC, "");
    size_t i = 0;
    char buffer[48];
    for (auto _ : state) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat" // "'" is POSIX's grouping flag, not ISO C's
        std::snprintf(buffer, sizeof buffer, "%'llu", VALUES[i++ % 5]);
#pragma GCC diagnostic pop
        benchmark::DoNotOptimize(buffer);
    }
    std::setlocale(LC_NUMERIC, "C");
}
BENCHMARK(BM_SnprintfUint64Grouped);

void BM_GetFormattedDouble(benchmark::State& state) {
    double value = 1234.5678;
    for (auto _ : state) {
        String s = Str::getFormatted(value, 2);
        benchmark::DoNotOptimize(s.cStr());
        value += 1.25;
    }
}
BENCHMARK(BM_GetFormattedDouble);

void BM_SnprintfDouble(benchmark::State& state) {
    double value = 1234.5678;
    char buffer[64];
    for (auto _ : state) {
        std::snprintf(buffer, sizeof buffer, "%.2f", value);
        benchmark::DoNotOptimize(buffer);
        value += 1.25;
    }
}
BENCHMARK(BM_SnprintfDouble);

void BM_GetFormattedMemorySize(benchmark::State& state) {
    uint64 bytes = 1536;
    for (auto _ : state) {
        String s = Str::getFormattedMemorySize(bytes);
        benchmark::DoNotOptimize(s.cStr());
        bytes = bytes * 3 % 100000000000ull + 1;
    }
}
BENCHMARK(BM_GetFormattedMemorySize);

} // namespace

BENCHMARK_MAIN();
