// Curve evaluation for each interpolation, intensity look-ups of an IES distribution, and parsing an
// IES file of 10,000 candela values. Figures only: items per second.
#include "tolvan/io/stream.h"
#include "tolvan/io/textstream.h"
#include "tolvan/utility/curves.h"
#include "tolvan/utility/ies.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <string>

using namespace Kalvex;

namespace {

void CurveEvaluation(benchmark::State& state) {
    const auto kind = CurveInterpolation(state.range(0));
    Stack<Vector2> points;
    for (int i = 0; i <= 16; ++i)
        points.push(Vector2(float(i) / 16, std::sqrt(float(i) / 16)));
    const Curve curve(points, kind);
    float x = 0, sum = 0;
    for (auto _ : state) {
        sum += curve(x);
        x += 0.000123f;
        if (x > 1.2f) x = -0.2f;
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(CurveEvaluation)->ArgName("interpolation")->DenseRange(0, 3);

// 100 vertical × 100 horizontal angles: 10,000 candela values.
std::string iesText() {
    std::string v, h, table;
    for (int i = 0; i < 100; ++i) {
        v += std::to_string(i * 180.0 / 99) + " ";
        h += std::to_string(i * 360.0 / 99) + " ";
    }
    for (int j = 0; j < 100; ++j) {
        for (int i = 0; i < 100; ++i)
            table += std::to_string(1000.0 * std::cos(i * M_PI / 198) * (1 + 0.1 * std::sin(j * 0.3))) + " ";
        table += "\n";
    }
    return "IESNA:LM-63-1995\n[TEST] bench\nTILT=NONE\n1 1000 1 100 100 1 2 0 0 0\n1 1 100\n" + v + "\n" + h +
           "\n" + table;
}

IesLight parseText(const std::string& text) {
    Io::TextInputStream in(makeAutoPtr<Io::MemoryInputStream>(text.data(), int64(text.size())),
                           Io::TextEncoding::Utf8);
    return IesParser::parseIesLight(in);
}

void IesParse10000Values(benchmark::State& state) {
    const std::string text = iesText();
    for (auto _ : state)
        benchmark::DoNotOptimize(parseText(text));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(IesParse10000Values)->Unit(benchmark::kMillisecond);

void IesIntensityLookup(benchmark::State& state) {
    const IesLight light = parseText(iesText());
    const auto& distribution = *light.getDistribution();
    float angle = 0, sum = 0;
    for (auto _ : state) {
        sum += distribution.getIntensity(
            Dir::normalized(std::cos(angle), std::sin(angle), std::cos(angle * 0.37f)));
        angle += 0.001f;
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(IesIntensityLookup);

} // namespace

BENCHMARK_MAIN();
