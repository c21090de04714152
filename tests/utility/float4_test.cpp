// Float4 lane operations and the four-wide elementary functions: exact values at the documented
// points and accuracy against double-precision libm over dense ranges.
#include "tolvan/utility/float4.h"
#include "tolvan/utility/math4.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <numbers>

using namespace Kalvex;

namespace {

::testing::AssertionResult lanesAre(const Float4& value, float x, float y, float z, float w) {
    float expected[4] = {x, y, z, w};
    for (int i = 0; i < 4; ++i) {
        if (std::bit_cast<uint32_t>(value[i]) != std::bit_cast<uint32_t>(expected[i])) {
            return ::testing::AssertionFailure()
                   << "lane " << i << " is " << value[i] << ", expected " << expected[i];
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(Float4, LaneAccessLoadStoreAndArithmetic) {
    Float4 a(1.f, -2.f, 3.5f, -0.f);
    EXPECT_TRUE(lanesAre(a, 1.f, -2.f, 3.5f, -0.f));
    EXPECT_EQ(a.x(), 1.f);
    EXPECT_EQ(a.w(), -0.f);
    a.set(2, 7.f);
    EXPECT_TRUE(lanesAre(a, 1.f, -2.f, 7.f, -0.f));

    alignas(16) float data[5] = {9.f, 1.f, 2.f, 3.f, 4.f};
    EXPECT_TRUE(lanesAre(Float4::loadUnaligned(data + 1), 1.f, 2.f, 3.f, 4.f));
    Float4::load(data).storeUnaligned(data + 1);
    EXPECT_EQ(data[1], 9.f);
    EXPECT_EQ(data[4], 3.f);

    Float4 b(2.f, 4.f, 8.f, 16.f);
    EXPECT_TRUE(lanesAre(b + Float4(1.f), 3.f, 5.f, 9.f, 17.f));
    EXPECT_TRUE(lanesAre(b - Float4(1.f), 1.f, 3.f, 7.f, 15.f));
    EXPECT_TRUE(lanesAre(b * 0.5f, 1.f, 2.f, 4.f, 8.f));
    EXPECT_TRUE(lanesAre(b / 2.f, 1.f, 2.f, 4.f, 8.f));
    EXPECT_TRUE(lanesAre(-Float4(1.f, -1.f, 0.f, -0.f), -1.f, 1.f, -0.f, 0.f));
    Float4 c = b;
    c += b;
    c *= Float4(0.25f);
    c -= Float4(1.f);
    c /= Float4(2.f);
    EXPECT_TRUE(lanesAre(c, 0.f, 0.5f, 1.5f, 3.5f));
    EXPECT_EQ(horizontalSum(b), 30.f);
    EXPECT_EQ(dot3(b, Float4(1.f, 1.f, 1.f, 100.f)), 14.f);
}

TEST(Float4, ComparisonsMasksAndLaneFunctions) {
    float nan = std::nanf("");
    Float4 a(1.f, 2.f, nan, -3.f);
    Float4 b(2.f, 2.f, 0.f, -4.f);
    EXPECT_EQ(moveMask(a < b), 0b0001);
    EXPECT_EQ(moveMask(a <= b), 0b0011);
    EXPECT_EQ(moveMask(a > b), 0b1000);
    EXPECT_EQ(moveMask(a >= b), 0b1010);
    EXPECT_EQ(moveMask(a == b), 0b0010);
    EXPECT_EQ(moveMask(a != b), 0b1101);
    EXPECT_TRUE(allOf(b == b));
    EXPECT_FALSE(allOf(a == a));
    EXPECT_TRUE(anyOf(a < b));
    EXPECT_FALSE(anyOf(a < Float4(-10.f)));

    EXPECT_TRUE(lanesAre(select(a < b, Float4(1.f), Float4(0.f)), 1.f, 0.f, 0.f, 0.f));
    EXPECT_TRUE(lanesAre(min(a, b), 1.f, 2.f, 0.f, -4.f));
    EXPECT_TRUE(lanesAre(max(a, b), 2.f, 2.f, 0.f, -3.f));
    EXPECT_TRUE(lanesAre(clamp(Float4(-5.f, 0.5f, 5.f, 1.f), Float4(0.f), Float4(1.f)), 0.f, 0.5f, 1.f, 1.f));
    EXPECT_TRUE(lanesAre(abs(Float4(-1.f, 1.f, -0.f, -2.5f)), 1.f, 1.f, 0.f, 2.5f));
    EXPECT_TRUE(lanesAre(copySign(Float4(2.f), Float4(-1.f, 1.f, -0.f, 0.f)), -2.f, 2.f, -2.f, 2.f));
    EXPECT_TRUE(lanesAre(andNot(Float4::fromBits(-1, 0, -1, 0), Float4(1.f)), 0.f, 1.f, 0.f, 1.f));
    EXPECT_TRUE(lanesAre(sqrt(Float4(4.f, 9.f, 0.f, 2.25f)), 2.f, 3.f, 0.f, 1.5f));

    Float4 halves(2.5f, -2.5f, 3.5f, -0.7f);
    EXPECT_TRUE(lanesAre(round(halves), 2.f, -2.f, 4.f, -1.f));
    EXPECT_TRUE(lanesAre(trunc(halves), 2.f, -2.f, 3.f, -0.f));
    EXPECT_TRUE(lanesAre(floor(halves), 2.f, -3.f, 3.f, -1.f));
    EXPECT_TRUE(lanesAre(ceil(halves), 3.f, -2.f, 4.f, -0.f));

    // The approximate reciprocals stay within 1.5 * 2^-12 relative.
    Float4 values(0.001f, 1.f, 3.f, 12345.f);
    Float4 rcpError = abs(rcp(values) * values - Float4(1.f));
    Float4 rsqrtError = abs(rsqrt(values) * sqrt(values) - Float4(1.f));
    EXPECT_TRUE(allOf(rcpError <= Float4(1.5f / 4096.f)));
    EXPECT_TRUE(allOf(rsqrtError <= Float4(1.5f / 4096.f)));
}

// ---- Exact values ------------------------------------------------------------------------------

float lane0(Float4 (*function)(const Float4&), float x) {
    return function(Float4(x))[0];
}

TEST(Math4, DocumentedValues) {
    constexpr float PI = std::numbers::pi_v<float>;
    EXPECT_EQ(lane0(sin, 0.f), 0.f);
    EXPECT_EQ(lane0(sin, 1e-4f), 1e-4f); // below the small-argument threshold: x itself
    EXPECT_NEAR(lane0(sin, PI / 2.f), 1.f, 1e-7);
    EXPECT_NEAR(lane0(cos, 0.f), 1.f, 1e-7);
    EXPECT_NEAR(lane0(cos, PI), -1.f, 1e-6);

    EXPECT_EQ(lane0(exp, 0.f), 1.f);
    EXPECT_EQ(lane0(exp, 100.f), lane0(exp, 88.37626f));
    EXPECT_TRUE(std::isfinite(lane0(exp, 100.f)));
    EXPECT_GE(lane0(exp, -1000.f), 0.f);

    // n = round(2.5) = 2 (ties to even), f = 1: 4 times the polynomial at 1.
    EXPECT_FLOAT_EQ(lane0(exp2Approx, 3.f), 7.99940176f);
    EXPECT_EQ(lane0(exp2Approx, 200.f), lane0(exp2Approx, 129.f));
    EXPECT_EQ(lane0(exp2Approx, -500.f), lane0(exp2Approx, -126.99999f));

    for (float bad : {0.f, -0.f, -1.f, -1e30f}) {
        EXPECT_EQ(std::bit_cast<uint32_t>(lane0(log, bad)), 0xFFFFFFFFu) << bad;
    }
    EXPECT_EQ(lane0(log, 1.f), 0.f);
    EXPECT_NEAR(lane0(log, std::numbers::e_v<float>), 1.f, 1e-6);

    EXPECT_EQ(lane0(acos, 1.f), 0.f);
    EXPECT_NEAR(lane0(acos, -1.f), PI, 1e-6);
    EXPECT_NEAR(lane0(acos, 0.f), PI / 2.f, 6e-3);
    // The seven-term series is at its weakest at |x| = 1 (t = 1/2): about 3e-3 relative.
    EXPECT_NEAR(lane0(atan, 1.f), 0.785398f, 0.785398f * 3.5e-3);
    EXPECT_EQ(lane0(atan, 0.f), 0.f);
    EXPECT_EQ(lane0(atan, -2.f), -lane0(atan, 2.f));
    EXPECT_EQ(lane0(atan, -1e-5f), -1e-5f);

    EXPECT_NEAR(powApprox(Float4(2.f), Float4(10.f))[0], 1024.f, 1024.f * 1e-3);
    EXPECT_NEAR(powApprox(Float4(9.f), Float4(0.5f))[0], 3.f, 3.f * 1e-3);
}

TEST(Math4, LanesAreIndependent) {
    // Each lane gets its own reduction and its own special case in one call.
    Float4 s = sin(Float4(0.f, 1e-4f, 1.5707964f, -3.f));
    EXPECT_EQ(s[0], 0.f);
    EXPECT_EQ(s[1], 1e-4f);
    EXPECT_NEAR(s[2], 1.f, 1e-7);
    EXPECT_NEAR(s[3], std::sin(-3.f), 1e-6);
    Float4 l = log(Float4(1.f, -1.f, 0.f, 8.f));
    EXPECT_EQ(l[0], 0.f);
    EXPECT_TRUE(std::isnan(l[1]) && std::isnan(l[2]));
    EXPECT_NEAR(l[3], std::log(8.f), 1e-6);
}

TEST(Math4, SincosIsOddInSineAndEvenInCosine) {
    for (float x = 0.f; x < 2000.f; x = x * 1.01f + 0.001f) {
        auto [s, c] = sincos(Float4(x, 2.f * x, 0.5f * x, x + 1.f));
        auto [sn, cn] = sincos(Float4(-x, -2.f * x, -0.5f * x, -(x + 1.f)));
        ASSERT_TRUE(allOf(sn == -s)) << x;
        ASSERT_TRUE(allOf(cn == c)) << x;
    }
}

// ---- Accuracy against libm ---------------------------------------------------------------------

struct AccuracyCase {
    const char* name;
    std::function<Float4(const Float4&)> function;
    double (*reference)(double);
    double low, high;
    bool logarithmicSpacing;
    double maxAbsolute; // bound on |f - ref|
    double maxRelative; // bound on |f - ref| / |ref| where |ref| >= relativeFloor; 0 = not checked
    double relativeFloor;
};

struct Errors {
    double absolute = 0.0, relative = 0.0, worstAbsoluteAt = 0.0, worstRelativeAt = 0.0;
};

Errors measure(const AccuracyCase& c, int samples) {
    Errors errors;
    for (int i = 0; i < samples; i += 4) {
        float xs[4];
        for (int k = 0; k < 4; ++k) {
            double t = double(i + k) / (samples - 1);
            xs[k] = float(c.logarithmicSpacing ? c.low * std::pow(c.high / c.low, t)
                                               : c.low + (c.high - c.low) * t);
        }
        Float4 result = c.function(Float4::loadUnaligned(xs));
        for (int k = 0; k < 4; ++k) {
            double reference = c.reference(xs[k]);
            double absolute = std::fabs(double(result[k]) - reference);
            if (!(absolute <= errors.absolute)) {
                errors.absolute = absolute;
                errors.worstAbsoluteAt = xs[k];
            }
            if (std::fabs(reference) >= c.relativeFloor &&
                !(absolute / std::fabs(reference) <= errors.relative)) {
                errors.relative = absolute / std::fabs(reference);
                errors.worstRelativeAt = xs[k];
            }
        }
    }
    return errors;
}

TEST(Math4, AccuracyAgainstLibm) {
    constexpr double PI = std::numbers::pi;
    const AccuracyCase cases[] = {
        {"sin", [](const Float4& x) { return sin(x); }, std::sin, -10 * PI, 10 * PI, false, 3e-6, 0, 1},
        {"cos", [](const Float4& x) { return cos(x); }, std::cos, -10 * PI, 10 * PI, false, 3e-6, 0, 1},
        {"sincos.sin", [](const Float4& x) { return sincos(x).first; }, std::sin, -1000, 1000, false, 2e-7, 0,
         1},
        {"sincos.cos", [](const Float4& x) { return sincos(x).second; }, std::cos, -1000, 1000, false, 2e-7,
         0, 1},
        {"atan", [](const Float4& x) { return atan(x); }, std::atan, -100, 100, false, 3e-3, 3.5e-3, 1e-30},
        {"acos", [](const Float4& x) { return acos(x); }, std::acos, -1, 1, false, 6e-3, 0, 1},
        {"exp", [](const Float4& x) { return exp(x); }, std::exp, -87, 88, false, 0, 2e-7, 0},
        {"exp2Approx", [](const Float4& x) { return exp2Approx(x); }, std::exp2, -126, 127, false, 0, 1e-4,
         0},
        {"log", [](const Float4& x) { return log(x); }, std::log, 1e-30, 1e30, true, 1e-5, 0, 1},
        {"log2Approx", [](const Float4& x) { return log2Approx(x); }, std::log2, 1e-30, 1e30, true, 1.5e-4, 0,
         1},
    };
    for (const AccuracyCase& c : cases) {
        Errors errors = measure(c, 1 << 18);
        if (c.maxAbsolute > 0) {
            EXPECT_LE(errors.absolute, c.maxAbsolute) << c.name << " worst at " << errors.worstAbsoluteAt;
        }
        if (c.maxRelative > 0) {
            EXPECT_LE(errors.relative, c.maxRelative) << c.name << " worst at " << errors.worstRelativeAt;
        }
    }
}

TEST(Math4, PowApproxAccuracy) {
    double worst = 0.0;
    for (float x = 0.01f; x < 100.f; x *= 1.003f) {
        for (float y = -5.f; y <= 5.f; y += 0.0625f) {
            double reference = std::pow(double(x), double(y));
            worst = std::max(worst, std::fabs(powApprox(Float4(x), Float4(y))[0] - reference) / reference);
        }
    }
    EXPECT_LE(worst, 1e-3);
}

} // namespace
