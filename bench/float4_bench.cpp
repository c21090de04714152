// Float4 elementary functions against four scalar glibc calls and against glibc's vector library
// libmvec (loops vectorised by GCC under -O3 -ffast-math, 4-lane SSE and 8-lane AVX2). Prints a
// table of times per element, the speed ratios and each function's largest error against
// double-precision libm over the benchmarked input range.
#include "float4_peer.h"
#include "tolvan/utility/math4.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <numbers>
#include <string>
#include <vector>

using namespace Kalvex;

namespace {

constexpr int COUNT = 4096;

struct FunctionInfo {
    const char* name;
    double low, high; // range of x
    bool logarithmicSpacing;
    double (*reference)(double, double);
    bool relativeError; // report the relative error (else the absolute one)
};

constexpr double PI = std::numbers::pi;
const FunctionInfo FUNCTIONS[MATH_FUNCTION_COUNT] = {
    {"sin", -10 * PI, 10 * PI, false, [](double x, double) { return std::sin(x); }, false},
    {"cos", -10 * PI, 10 * PI, false, [](double x, double) { return std::cos(x); }, false},
    {"sincos", -10 * PI, 10 * PI, false, [](double x, double) { return std::sin(x); }, false},
    {"acos", -1, 1, false, [](double x, double) { return std::acos(x); }, false},
    {"atan", -100, 100, false, [](double x, double) { return std::atan(x); }, true},
    {"exp", -87, 88, false, [](double x, double) { return std::exp(x); }, true},
    {"exp2Approx", -126, 127, false, [](double x, double) { return std::exp2(x); }, true},
    {"log", 1e-30, 1e30, true, [](double x, double) { return std::log(x); }, false},
    {"log2Approx", 1e-30, 1e30, true, [](double x, double) { return std::log2(x); }, false},
    {"powApprox", 0.01, 100, true, [](double x, double y) { return std::pow(x, y); }, true},
};

// ---- Kernels of the library ---------------------------------------------------------------------

template <Float4 (*F)(const Float4&)>
void float4Unary(const float* x, const float*, float* out, float*, int count) {
    for (int i = 0; i < count; i += 4) {
        F(Float4::load(x + i)).store(out + i);
    }
}

void float4Sincos(const float* x, const float*, float* out, float* out2, int count) {
    for (int i = 0; i < count; i += 4) {
        auto [s, c] = sincos(Float4::load(x + i));
        s.store(out + i);
        c.store(out2 + i);
    }
}

void float4Pow(const float* x, const float* y, float* out, float*, int count) {
    for (int i = 0; i < count; i += 4) {
        powApprox(Float4::load(x + i), Float4::load(y + i)).store(out + i);
    }
}

const MathKernel FLOAT4_KERNELS[MATH_FUNCTION_COUNT] = {
    float4Unary<Kalvex::sin>,
    float4Unary<Kalvex::cos>,
    float4Sincos,
    float4Unary<Kalvex::acos>,
    float4Unary<Kalvex::atan>,
    float4Unary<Kalvex::exp>,
    float4Unary<exp2Approx>,
    float4Unary<Kalvex::log>,
    float4Unary<log2Approx>,
    float4Pow,
};

// ---- Scalar glibc: one call per lane (built without fast-math, so never vectorised) -----------

template <float (*F)(float)>
void scalarUnary(const float* x, const float*, float* out, float*, int count) {
    for (int i = 0; i < count; ++i) {
        out[i] = F(x[i]);
    }
}

void scalarSincos(const float* x, const float*, float* out, float* out2, int count) {
    for (int i = 0; i < count; ++i) {
        ::sincosf(x[i], &out[i], &out2[i]);
    }
}

void scalarPow(const float* x, const float* y, float* out, float*, int count) {
    for (int i = 0; i < count; ++i) {
        out[i] = ::powf(x[i], y[i]);
    }
}

const MathKernel SCALAR_KERNELS[MATH_FUNCTION_COUNT] = {
    scalarUnary<::sinf>,  scalarUnary<::cosf>, scalarSincos,         scalarUnary<::acosf>,
    scalarUnary<::atanf>, scalarUnary<::expf>, scalarUnary<::exp2f>, scalarUnary<::logf>,
    scalarUnary<::log2f>, scalarPow,
};

// ---- Inputs, timing and errors ------------------------------------------------------------------

struct Buffers {
    alignas(64) float x[COUNT];
    alignas(64) float y[COUNT];
    alignas(64) float out[COUNT];
    alignas(64) float out2[COUNT];
};

void fillInputs(const FunctionInfo& f, Buffers& b, int count) {
    for (int i = 0; i < count; ++i) {
        double t = double(i) / (count - 1);
        // A fixed stride through the range, so that neighbouring lanes differ.
        double u = std::fmod(t * 977.0, 1.0);
        b.x[i] =
            float(f.logarithmicSpacing ? f.low * std::pow(f.high / f.low, u) : f.low + (f.high - f.low) * u);
        b.y[i] = float(-5.0 + 10.0 * t);
    }
}

void runKernel(benchmark::State& state, const FunctionInfo& f, MathKernel kernel) {
    static Buffers buffers;
    fillInputs(f, buffers, COUNT);
    for (auto _ : state) {
        kernel(buffers.x, buffers.y, buffers.out, buffers.out2, COUNT);
        benchmark::DoNotOptimize(buffers.out);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * COUNT);
}

/// Largest error of the library's function against double-precision libm over the inputs.
double largestError(const FunctionInfo& f, MathKernel kernel) {
    static Buffers buffers;
    fillInputs(f, buffers, COUNT);
    kernel(buffers.x, buffers.y, buffers.out, buffers.out2, COUNT);
    double worst = 0.0;
    for (int i = 0; i < COUNT; ++i) {
        double reference = f.reference(buffers.x[i], buffers.y[i]);
        double error = std::fabs(double(buffers.out[i]) - reference);
        if (f.relativeError) error /= std::fabs(reference);
        worst = std::max(worst, error);
    }
    return worst;
}

/// Console output as usual, keeping the time per iteration of every run for the summary.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration) mTimes[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double time(const std::string& name) const {
        auto it = mTimes.find(name);
        return it == mTimes.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> mTimes;
};

struct Peer {
    const char* label;
    const MathKernel* kernels;
    bool available;
};

} // namespace

int main(int argc, char** argv) {
    const Peer peers[] = {
        {"Float4", FLOAT4_KERNELS, true},
        {"glibc", SCALAR_KERNELS, true},
        {"libmvecSSE", LIBMVEC_SSE_KERNELS, true},
        {"libmvecAVX2", LIBMVEC_AVX2_KERNELS, bool(__builtin_cpu_supports("avx2"))},
    };
    for (int f = 0; f < MATH_FUNCTION_COUNT; ++f) {
        for (const Peer& peer : peers) {
            if (!peer.available) continue;
            std::string name = std::string(FUNCTIONS[f].name) + "/" + peer.label;
            MathKernel kernel = peer.kernels[f];
            benchmark::RegisterBenchmark(name.c_str(), [f, kernel](benchmark::State& state) {
                runKernel(state, FUNCTIONS[f], kernel);
            });
        }
    }
    benchmark::Initialize(&argc, argv);
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\n%-11s %9s %9s %9s %9s %12s %11s %11s %12s\n", "function", "Float4", "glibc", "mvecSSE",
                "mvecAVX2", "glibc/F4", "F4/mvecSSE", "F4/mvecAVX", "max error");
    std::printf("%-11s %9s %9s %9s %9s %12s %11s %11s\n", "", "ns/elem", "ns/elem", "ns/elem", "ns/elem",
                "(want >= 4)", "", "(aim <=1.5)");
    for (int f = 0; f < MATH_FUNCTION_COUNT; ++f) {
        double perElement[4];
        for (int p = 0; p < 4; ++p) {
            perElement[p] = reporter.time(std::string(FUNCTIONS[f].name) + "/" + peers[p].label) / COUNT;
        }
        if (perElement[0] <= 0.0) continue; // filtered out
        auto ratio = [](double a, double b) { return a > 0.0 && b > 0.0 ? a / b : 0.0; };
        std::printf("%-11s %9.3f %9.3f %9.3f %9.3f %12.2f %11.2f %11.2f %8.2e %s\n", FUNCTIONS[f].name,
                    perElement[0], perElement[1], perElement[2], perElement[3],
                    ratio(perElement[1], perElement[0]), ratio(perElement[0], perElement[2]),
                    ratio(perElement[0], perElement[3]), largestError(FUNCTIONS[f], FLOAT4_KERNELS[f]),
                    FUNCTIONS[f].relativeError ? "rel" : "abs");
    }
    std::printf("(ratios above 1 in glibc/F4 and below 1 in F4/mvec favour Float4)\n");
    benchmark::Shutdown();
    return 0;
}
