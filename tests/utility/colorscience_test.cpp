// Colour science: the spectral tables, Planck's law and the black-body colour against independent
// double-precision evaluations, white balance, and the constant colour-space transforms.
#include "tolvan/utility/colorscience.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace Kalvex;

namespace {

// Planck's law from the physical constants, in W / (m^2 sr m) with the wavelength in nanometres.
double planck(double temperature, double wavelengthNm) {
    const double h = 6.62607015e-34, c = 299792458.0, k = 1.380649e-23;
    double lambda = wavelengthNm * 1e-9;
    return 2.0 * h * c * c / std::pow(lambda, 5) / std::expm1(h * c / (lambda * k * temperature));
}

// Sum and index-weighted sum of each column of the published tables (catches typos and swaps).
TEST(ColorScience, SpectralTablesMatchThePublishedData) {
    ArrayView<const XYZ> cmf = Spectral::getColorMatchingTable();
    ArrayView<const float> d65 = Spectral::getStandardIlluminantTable();
    ASSERT_EQ(cmf.size(), 95);
    ASSERT_EQ(d65.size(), 95);
    EXPECT_EQ(cmf[0], XYZ(0.0001299f, 0.000003917f, 0.0006061f, 0.f));
    EXPECT_EQ(d65[0], 46.6383f);
    EXPECT_EQ(d65[40], 100.f); // 560 nm
    EXPECT_EQ(d65[94], 60.3125f);

    double sums[4] = {}, weighted[4] = {};
    for (int i = 0; i < 95; ++i) {
        const double values[4] = {cmf[i].x, cmf[i].y, cmf[i].z, d65[i]};
        for (int column = 0; column < 4; ++column) {
            sums[column] += values[column];
            weighted[column] += i * values[column];
        }
        EXPECT_EQ(cmf[i].w, 0.f);
    }
    const double expectedSums[4] = {21.373139988621006, 21.371407850470007, 21.378664308989997, 7880.3178};
    const double expectedWeighted[4] = {905.1692143587971, 855.6763318245901, 402.18845972945985, 345465.434};
    for (int column = 0; column < 4; ++column) {
        EXPECT_NEAR(sums[column], expectedSums[column], expectedSums[column] * 1e-6) << column;
        EXPECT_NEAR(weighted[column], expectedWeighted[column], expectedWeighted[column] * 1e-6) << column;
    }
}

TEST(ColorScience, StandardSpectralPower) {
    struct Case {
        float wavelength, expected;
    } cases[] = {
        {560.f, 100.f},
        {300.f, 46.6383f},
        {360.f, 46.6383f},
        {900.f, 60.3125f},
        {830.f, 60.3125f},
        {362.5f, 48.001f},
        {365.f, 49.3637f},
        {827.5f, (58.8765f + 60.3125f) / 2.f},
        {-1e30f, 46.6383f},
        {1e30f, 60.3125f},
        {std::nanf(""), 46.6383f},
    };
    for (const Case& c : cases) {
        EXPECT_NEAR(Spectral::getStandardSpectralPower(c.wavelength), c.expected, 2e-5f) << c.wavelength;
    }
}

TEST(ColorScience, BlackBodyPowerFollowsPlancksLaw) {
    for (float temperature : {800.f, 1500.f, 3200.f, 6504.f, 20000.f}) {
        for (float wavelength : {360.f, 455.f, 560.f, 700.f, 830.f}) {
            double expected = planck(temperature, wavelength);
            EXPECT_NEAR(Spectral::getBlackBodySpectralPower(temperature, wavelength), expected,
                        expected * 1e-5)
                << temperature << " K, " << wavelength << " nm";
        }
    }
    // The exponential overflows in single precision: no light rather than NaN.
    EXPECT_EQ(Spectral::getBlackBodySpectralPower(100.f, 360.f), 0.f);
}

TEST(ColorScience, BlackBodyColorAgainstDoublePrecision) {
    ArrayView<const XYZ> cmf = Spectral::getColorMatchingTable();
    for (float temperature : {1000.f, 1850.f, 2700.f, 4000.f, 6504.f, 10000.f, 40000.f}) {
        double sum[3] = {};
        for (int k = 0; k < 95; ++k) {
            double power = planck(temperature, 360.0 + 5.0 * k);
            sum[0] += cmf[k].x * power;
            sum[1] += cmf[k].y * power;
            sum[2] += cmf[k].z * power;
        }
        double mean = (sum[0] + sum[1] + sum[2]) / 3.0;
        XYZ color = blackbodyColor(temperature);
        EXPECT_NEAR(color.x, sum[0] / mean, 2e-5) << temperature;
        EXPECT_NEAR(color.y, sum[1] / mean, 2e-5) << temperature;
        EXPECT_NEAR(color.z, sum[2] / mean, 2e-5) << temperature;
        EXPECT_NEAR(color.x + color.y + color.z, 3.f, 1e-5f) << temperature;
        EXPECT_EQ(color.w, 0.f);
    }
    XYZ daylight = blackbodyColor(6504.f);
    for (float component : {daylight.x, daylight.y, daylight.z}) {
        EXPECT_NEAR(component, 1.f, 0.1f);
    }
}

TEST(ColorScience, BlackBodyColorOfColdBodies) {
    // Below about 455 K single-precision samples overflow; the colour is still that of the spectrum
    // (the reference scales it by its largest sample, at 830 nm, in double precision).
    ArrayView<const XYZ> cmf = Spectral::getColorMatchingTable();
    for (float temperature : {450.f, 300.f, 230.f, 200.f, 150.f, 60.f, 1.f}) {
        const double peak = 1.4387768775e7 / (830.0 * temperature); // h c / (lambda k T) at 830 nm
        double sum[3] = {};
        for (int k = 0; k < 95; ++k) {
            const double wavelength = 360.0 + 5.0 * k;
            const double x = 1.4387768775e7 / (wavelength * temperature);
            const double relative = std::pow(830.0 / wavelength, 5) * std::exp(peak - x) *
                                    (-std::expm1(-peak)) / (-std::expm1(-x));
            sum[0] += cmf[k].x * relative;
            sum[1] += cmf[k].y * relative;
            sum[2] += cmf[k].z * relative;
        }
        const double mean = (sum[0] + sum[1] + sum[2]) / 3.0;
        const XYZ color = blackbodyColor(temperature);
        EXPECT_NEAR(color.x, sum[0] / mean, 2e-5) << temperature;
        EXPECT_NEAR(color.y, sum[1] / mean, 2e-5) << temperature;
        EXPECT_NEAR(color.z, sum[2] / mean, 2e-5) << temperature;
        EXPECT_EQ(color.w, 0.f);
    }
    // At 1 K only the last sample counts: the colour of 830 nm light.
    const XYZ deepRed = blackbodyColor(1.f);
    const XYZ last = cmf[94];
    const float lastMean = (last.x + last.y + last.z) / 3.f;
    EXPECT_NEAR(deepRed.x, last.x / lastMean, 1e-6f);
    EXPECT_NEAR(deepRed.y, last.y / lastMean, 1e-6f);
    EXPECT_NEAR(deepRed.z, 0.f, 1e-6f);
}

TEST(ColorScience, ColorAdaptation) {
    for (float temperature : {1000.f, 2700.f, 6504.f, 12000.f}) {
        Rgb same = colorAdaptation(temperature, temperature);
        EXPECT_NEAR(same.r, 1.f, 1e-6f);
        EXPECT_NEAR(same.g, 1.f, 1e-6f);
        EXPECT_NEAR(same.b, 1.f, 1e-6f);
        EXPECT_EQ(same.a, 1.f);
    }
    // Tungsten to daylight: boost blue, cut red; the factors average 1.
    Rgb warmToCool = colorAdaptation(3200.f, 6500.f);
    EXPECT_GT(warmToCool.b, 1.f);
    EXPECT_LT(warmToCool.r, 1.f);
    EXPECT_NEAR((warmToCool.r + warmToCool.g + warmToCool.b) / 3.f, 1.f, 1e-6f);
    // Going there and back multiplies every channel alike.
    Rgb roundTrip = warmToCool * colorAdaptation(6500.f, 3200.f);
    EXPECT_NEAR(roundTrip.r / roundTrip.g, 1.f, 1e-5f);
    EXPECT_NEAR(roundTrip.b / roundTrip.g, 1.f, 1e-5f);
    // An alpha lane survives the multiplication.
    EXPECT_EQ((Rgb(0.5f, 0.5f, 0.5f, 0.25f) * warmToCool).a, 0.25f);
}

::testing::AssertionResult nearlyEqual(const AffineTm& a, const AffineTm& b, float tolerance) {
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 4; ++column) {
            if (!(std::fabs(a.get(row, column) - b.get(row, column)) <= tolerance)) {
                return ::testing::AssertionFailure() << a.toString() << " differs from " << b.toString();
            }
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(ColorScience, ConstantTransforms) {
    EXPECT_EQ(TM_XYZ_TO_LIN_RGB.get(1, 2), 0.04163637f);
    EXPECT_EQ(TM_XYZ_TO_LIN_RGB.get(2, 2), 1.0569085f);
    EXPECT_EQ(TM_LIN_WIDE_RGB_TO_XYZ.get(0, 2), 0.14157f);
    EXPECT_EQ(TM_LIN_WIDE_RGB_TO_XYZ.get(2, 0), 0.f);

    // The derived constants are the single-precision results a computation at run time gives.
    EXPECT_EQ(TM_LIN_RGB_TO_XYZ, TM_XYZ_TO_LIN_RGB.getInverse().value());
    EXPECT_EQ(TM_XYZ_TO_LIN_WIDE_RGB, TM_LIN_WIDE_RGB_TO_XYZ.getInverse().value());
    EXPECT_EQ(TM_LIN_WIDE_RGB_TO_LIN_RGB, TM_XYZ_TO_LIN_RGB * TM_LIN_WIDE_RGB_TO_XYZ);
    EXPECT_EQ(TM_LIN_RGB_TO_LIN_WIDE_RGB, TM_LIN_WIDE_RGB_TO_LIN_RGB.getInverse().value());

    struct Pair {
        const AffineTm& forward;
        const AffineTm& backward;
    } pairs[] = {
        {TM_XYZ_TO_LIN_RGB, TM_LIN_RGB_TO_XYZ},
        {TM_LIN_WIDE_RGB_TO_XYZ, TM_XYZ_TO_LIN_WIDE_RGB},
        {TM_LIN_WIDE_RGB_TO_LIN_RGB, TM_LIN_RGB_TO_LIN_WIDE_RGB},
    };
    for (const Pair& p : pairs) {
        EXPECT_TRUE(nearlyEqual(p.backward * p.forward, AFFINETM_IDENTITY, 1e-6f));
        EXPECT_TRUE(nearlyEqual(p.forward * p.backward, AFFINETM_IDENTITY, 1e-6f));
    }

    // Linear-RGB white is the D65 white point of the sRGB primaries.
    XYZ white = TM_LIN_RGB_TO_XYZ * XYZ(1.f, 1.f, 1.f, 0.5f);
    EXPECT_NEAR(white.x, 0.9505f, 1e-3f);
    EXPECT_NEAR(white.y, 1.f, 1e-3f);
    EXPECT_NEAR(white.z, 1.089f, 1e-3f);
    EXPECT_EQ(white.w, 0.5f);
    // Wide-gamut white lands on (about) the D50 white point.
    XYZ wideWhite = TM_LIN_WIDE_RGB_TO_XYZ * XYZ(1.f, 1.f, 1.f);
    EXPECT_NEAR(wideWhite.y, 1.f, 1e-3f);
}

} // namespace
