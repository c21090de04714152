#include "tolvan/utility/colorscience.h"

#include <algorithm>
#include <cmath>

namespace Kalvex {
namespace {

// CIE 1931 2-degree standard observer colour-matching functions x, y, z at 360..830 nm in 5 nm
// steps (CIE 018:2019).
constinit const XYZ COLOR_MATCHING[Spectral::TABLE_SIZE] = {
    {0.0001299f, 3.917e-06f, 0.0006061f, 0.f},   // 360 nm
    {0.0002321f, 6.965e-06f, 0.001086f, 0.f},    // 365 nm
    {0.0004149f, 1.239e-05f, 0.001946f, 0.f},    // 370 nm
    {0.0007416f, 2.202e-05f, 0.003486f, 0.f},    // 375 nm
    {0.001368f, 3.9e-05f, 0.006450001f, 0.f},    // 380 nm
    {0.002236f, 6.4e-05f, 0.01054999f, 0.f},     // 385 nm
    {0.004243f, 0.00012f, 0.02005001f, 0.f},     // 390 nm
    {0.00765f, 0.000217f, 0.03621f, 0.f},        // 395 nm
    {0.01431f, 0.000396f, 0.06785001f, 0.f},     // 400 nm
    {0.02319f, 0.00064f, 0.1102f, 0.f},          // 405 nm
    {0.04351f, 0.00121f, 0.2074f, 0.f},          // 410 nm
    {0.07763f, 0.00218f, 0.3713f, 0.f},          // 415 nm
    {0.13438f, 0.004f, 0.6456f, 0.f},            // 420 nm
    {0.21477f, 0.0073f, 1.0390501f, 0.f},        // 425 nm
    {0.2839f, 0.0116f, 1.3856f, 0.f},            // 430 nm
    {0.3285f, 0.01684f, 1.62296f, 0.f},          // 435 nm
    {0.34828f, 0.023f, 1.74706f, 0.f},           // 440 nm
    {0.34806f, 0.0298f, 1.7826f, 0.f},           // 445 nm
    {0.3362f, 0.038f, 1.77211f, 0.f},            // 450 nm
    {0.3187f, 0.048f, 1.7441f, 0.f},             // 455 nm
    {0.2908f, 0.06f, 1.6692f, 0.f},              // 460 nm
    {0.2511f, 0.0739f, 1.5281f, 0.f},            // 465 nm
    {0.19536f, 0.09098f, 1.28764f, 0.f},         // 470 nm
    {0.1421f, 0.1126f, 1.0419f, 0.f},            // 475 nm
    {0.09564f, 0.13902f, 0.8129501f, 0.f},       // 480 nm
    {0.05795001f, 0.1693f, 0.6162f, 0.f},        // 485 nm
    {0.03201f, 0.20802f, 0.46518f, 0.f},         // 490 nm
    {0.0147f, 0.2586f, 0.3533f, 0.f},            // 495 nm
    {0.0049f, 0.323f, 0.272f, 0.f},              // 500 nm
    {0.0024f, 0.4073f, 0.2123f, 0.f},            // 505 nm
    {0.0093f, 0.503f, 0.1582f, 0.f},             // 510 nm
    {0.0291f, 0.6082f, 0.1117f, 0.f},            // 515 nm
    {0.06327f, 0.71f, 0.07824999f, 0.f},         // 520 nm
    {0.1096f, 0.7932f, 0.05725001f, 0.f},        // 525 nm
    {0.1655f, 0.862f, 0.04216f, 0.f},            // 530 nm
    {0.2257499f, 0.9148501f, 0.02984f, 0.f},     // 535 nm
    {0.2904f, 0.954f, 0.0203f, 0.f},             // 540 nm
    {0.3597f, 0.9803f, 0.0134f, 0.f},            // 545 nm
    {0.4334499f, 0.9949501f, 0.008749999f, 0.f}, // 550 nm
    {0.5120501f, 1.0f, 0.005749999f, 0.f},       // 555 nm
    {0.5945f, 0.995f, 0.0039f, 0.f},             // 560 nm
    {0.6784f, 0.9786f, 0.002749999f, 0.f},       // 565 nm
    {0.7621f, 0.952f, 0.0021f, 0.f},             // 570 nm
    {0.8425f, 0.9154f, 0.0018f, 0.f},            // 575 nm
    {0.9163f, 0.87f, 0.001650001f, 0.f},         // 580 nm
    {0.9786f, 0.8163f, 0.0014f, 0.f},            // 585 nm
    {1.0263f, 0.757f, 0.0011f, 0.f},             // 590 nm
    {1.0567f, 0.6949f, 0.001f, 0.f},             // 595 nm
    {1.0622f, 0.631f, 0.0008f, 0.f},             // 600 nm
    {1.0456f, 0.5668f, 0.0006f, 0.f},            // 605 nm
    {1.0026f, 0.503f, 0.00034f, 0.f},            // 610 nm
    {0.9384f, 0.4412f, 0.00024f, 0.f},           // 615 nm
    {0.8544499f, 0.381f, 0.00019f, 0.f},         // 620 nm
    {0.7514f, 0.321f, 0.0001f, 0.f},             // 625 nm
    {0.6424f, 0.265f, 4.999999e-05f, 0.f},       // 630 nm
    {0.5419f, 0.217f, 3e-05f, 0.f},              // 635 nm
    {0.4479f, 0.175f, 2e-05f, 0.f},              // 640 nm
    {0.3608f, 0.1382f, 1e-05f, 0.f},             // 645 nm
    {0.2835f, 0.107f, 0.0f, 0.f},                // 650 nm
    {0.2187f, 0.0816f, 0.0f, 0.f},               // 655 nm
    {0.1649f, 0.061f, 0.0f, 0.f},                // 660 nm
    {0.1212f, 0.04458f, 0.0f, 0.f},              // 665 nm
    {0.0874f, 0.032f, 0.0f, 0.f},                // 670 nm
    {0.0636f, 0.0232f, 0.0f, 0.f},               // 675 nm
    {0.04677f, 0.017f, 0.0f, 0.f},               // 680 nm
    {0.0329f, 0.01192f, 0.0f, 0.f},              // 685 nm
    {0.0227f, 0.00821f, 0.0f, 0.f},              // 690 nm
    {0.01584f, 0.005723f, 0.0f, 0.f},            // 695 nm
    {0.01135916f, 0.004102f, 0.0f, 0.f},         // 700 nm
    {0.008110916f, 0.002929f, 0.0f, 0.f},        // 705 nm
    {0.005790346f, 0.002091f, 0.0f, 0.f},        // 710 nm
    {0.004109457f, 0.001484f, 0.0f, 0.f},        // 715 nm
    {0.002899327f, 0.001047f, 0.0f, 0.f},        // 720 nm
    {0.00204919f, 0.00074f, 0.0f, 0.f},          // 725 nm
    {0.001439971f, 0.00052f, 0.0f, 0.f},         // 730 nm
    {0.0009999493f, 0.0003611f, 0.0f, 0.f},      // 735 nm
    {0.0006900786f, 0.0002492f, 0.0f, 0.f},      // 740 nm
    {0.0004760213f, 0.0001719f, 0.0f, 0.f},      // 745 nm
    {0.0003323011f, 0.00012f, 0.0f, 0.f},        // 750 nm
    {0.0002348261f, 8.48e-05f, 0.0f, 0.f},       // 755 nm
    {0.0001661505f, 6e-05f, 0.0f, 0.f},          // 760 nm
    {0.000117413f, 4.24e-05f, 0.0f, 0.f},        // 765 nm
    {8.307527e-05f, 3e-05f, 0.0f, 0.f},          // 770 nm
    {5.870652e-05f, 2.12e-05f, 0.0f, 0.f},       // 775 nm
    {4.150994e-05f, 1.499e-05f, 0.0f, 0.f},      // 780 nm
    {2.935326e-05f, 1.06e-05f, 0.0f, 0.f},       // 785 nm
    {2.067383e-05f, 7.4657e-06f, 0.0f, 0.f},     // 790 nm
    {1.455977e-05f, 5.2578e-06f, 0.0f, 0.f},     // 795 nm
    {1.025398e-05f, 3.7029e-06f, 0.0f, 0.f},     // 800 nm
    {7.221456e-06f, 2.6078e-06f, 0.0f, 0.f},     // 805 nm
    {5.085868e-06f, 1.8366e-06f, 0.0f, 0.f},     // 810 nm
    {3.581652e-06f, 1.2934e-06f, 0.0f, 0.f},     // 815 nm
    {2.522525e-06f, 9.1093e-07f, 0.0f, 0.f},     // 820 nm
    {1.776509e-06f, 6.4153e-07f, 0.0f, 0.f},     // 825 nm
    {1.251141e-06f, 4.5181e-07f, 0.0f, 0.f},     // 830 nm
};

// Relative spectral power of CIE standard illuminant D65 at 360..830 nm in 5 nm steps
// (CIE 15:2004), eight wavelengths per line.
constinit const float D65[Spectral::TABLE_SIZE] = {
    46.6383f, 49.3637f, 52.0891f, 51.0323f, 49.9755f, 52.3118f, 54.6482f, 68.7015f, // 360 nm
    82.7549f, 87.1204f, 91.486f,  92.4589f, 93.4318f, 90.057f,  86.6823f, 95.7736f, // 400 nm
    104.865f, 110.936f, 117.008f, 117.41f,  117.812f, 116.336f, 114.861f, 115.392f, // 440 nm
    115.923f, 112.367f, 108.811f, 109.082f, 109.354f, 108.578f, 107.802f, 106.296f, // 480 nm
    104.79f,  106.239f, 107.689f, 106.047f, 104.405f, 104.225f, 104.046f, 102.023f, // 520 nm
    100.0f,   98.1671f, 96.3342f, 96.0611f, 95.788f,  92.2368f, 88.6856f, 89.3459f, // 560 nm
    90.0062f, 89.8026f, 89.5991f, 88.6489f, 87.6987f, 85.4936f, 83.2886f, 83.4939f, // 600 nm
    83.6992f, 81.863f,  80.0268f, 80.1207f, 80.2146f, 81.2462f, 82.2778f, 80.281f,  // 640 nm
    78.2842f, 74.0027f, 69.7213f, 70.6652f, 71.6091f, 72.979f,  74.349f,  67.9765f, // 680 nm
    61.604f,  65.7448f, 69.8856f, 72.4863f, 75.087f,  69.3398f, 63.5927f, 55.0054f, // 720 nm
    46.4182f, 56.6118f, 66.8054f, 65.0941f, 63.3828f, 63.8434f, 64.304f,  61.8779f, // 760 nm
    59.4519f, 55.7054f, 51.959f,  54.6998f, 57.4406f, 58.8765f, 60.3125f,           // 800 nm
};

constexpr AffineTm XYZ_TO_LIN_RGB({{3.2406f, -1.5372f, -0.4986f},
                                   {-0.9689f, 1.8758f, 0.04163637f},
                                   {0.0557f, -0.2040f, 1.0569085f}});
constexpr AffineTm LIN_WIDE_RGB_TO_XYZ({{0.7161046f, 0.1009296f, 0.14157f},
                                        {0.2581874f, 0.7249378f, 0.0168748f},
                                        {0.f, 0.0517813f, 0.7734287f}});
constexpr AffineTm LIN_WIDE_RGB_TO_LIN_RGB = XYZ_TO_LIN_RGB * LIN_WIDE_RGB_TO_XYZ;

// Planck's law in the single-precision form: numerator / (lambda^4 * scale * lambda_um) divided by
// exp(exponent / (lambda_um * T)) - 1, with lambda in nanometres and lambda_um in micrometres.
constexpr float PLANCK_NUMERATOR = 119104283344896.f;
constexpr float PLANCK_SCALE = 1.0000002e-12f;
constexpr float PLANCK_EXPONENT = 14387.77f;

float getTableWavelength(int k) {
    return Spectral::TABLE_FIRST_WAVELENGTH + Spectral::TABLE_WAVELENGTH_STEP * float(k);
}

// The black-body colour where single precision fails: below about 455 K the exponential of the short
// wavelengths overflows (those samples become 0 and, below about 195 K, the normalisation 0 / 0),
// and at extreme temperatures the sum overflows. Here each sample's logarithm is taken in double
// precision and the samples are scaled by the largest one before they are summed: no step overflows.
XYZ getScaledBlackbodyColor(float temperature) {
    double logPower[Spectral::TABLE_SIZE];
    double largest = -HUGE_VAL;
    for (int k = 0; k < Spectral::TABLE_SIZE; ++k) {
        const double wavelength = getTableWavelength(k);
        const double micrometres = wavelength * 0.001;
        const double x = double(PLANCK_EXPONENT) / (micrometres * double(temperature));
        // log(exp(x) - 1) = x + log(1 - exp(-x)), which holds for every x > 0 without overflow.
        logPower[k] = std::log(double(PLANCK_NUMERATOR)) -
                      std::log(std::pow(wavelength, 4) * double(PLANCK_SCALE) * micrometres) -
                      (x + std::log(-std::expm1(-x)));
        largest = std::max(largest, logPower[k]);
    }
    double sum[3] = {};
    for (int k = 0; k < Spectral::TABLE_SIZE; ++k) {
        const double weight = std::exp(logPower[k] - largest);
        sum[0] += double(COLOR_MATCHING[k].x) * weight;
        sum[1] += double(COLOR_MATCHING[k].y) * weight;
        sum[2] += double(COLOR_MATCHING[k].z) * weight;
    }
    const double mean = (sum[0] + sum[1] + sum[2]) / 3.0;
    return XYZ(float(sum[0] / mean), float(sum[1] / mean), float(sum[2] / mean), 0.f);
}

} // namespace

// The derived transforms are evaluated in single precision by the compiler, which gives the
// values a computation at load would, and leaves no initialisation-order hazard for other
// libraries' static initialisers.
constinit const AffineTm TM_XYZ_TO_LIN_RGB = XYZ_TO_LIN_RGB;
constinit const AffineTm TM_LIN_RGB_TO_XYZ = XYZ_TO_LIN_RGB.getInverseUnchecked();
constinit const AffineTm TM_LIN_WIDE_RGB_TO_XYZ = LIN_WIDE_RGB_TO_XYZ;
constinit const AffineTm TM_XYZ_TO_LIN_WIDE_RGB = LIN_WIDE_RGB_TO_XYZ.getInverseUnchecked();
constinit const AffineTm TM_LIN_WIDE_RGB_TO_LIN_RGB = LIN_WIDE_RGB_TO_LIN_RGB;
constinit const AffineTm TM_LIN_RGB_TO_LIN_WIDE_RGB = LIN_WIDE_RGB_TO_LIN_RGB.getInverseUnchecked();

namespace Spectral {

float getBlackBodySpectralPower(float temperature, float wavelength) noexcept {
    float micrometres = wavelength * 0.001f;
    float squared = wavelength * wavelength;
    float power = PLANCK_NUMERATOR / (squared * squared * PLANCK_SCALE * micrometres);
    return power / (std::exp(PLANCK_EXPONENT / (micrometres * temperature)) - 1.f);
}

float getStandardSpectralPower(float wavelength) noexcept {
    float index = (wavelength - TABLE_FIRST_WAVELENGTH) * 0.2f;
    if (!(index > 0.f)) {
        return D65[0];
    }
    if (index >= float(TABLE_SIZE - 1)) {
        return D65[TABLE_SIZE - 1];
    }
    float whole = std::floor(index);
    int k = int(whole);
    return D65[k] + (D65[k + 1] - D65[k]) * (index - whole);
}

ArrayView<const XYZ> getColorMatchingTable() noexcept {
    return COLOR_MATCHING;
}
ArrayView<const float> getStandardIlluminantTable() noexcept {
    return D65;
}

} // namespace Spectral

XYZ blackbodyColor(float temperature) noexcept {
    Float4 sum;
    bool everySampleLit = true;
    for (int k = 0; k < Spectral::TABLE_SIZE; ++k) {
        const float power = Spectral::getBlackBodySpectralPower(temperature, getTableWavelength(k));
        everySampleLit = everySampleLit && power > 0.f;
        sum += COLOR_MATCHING[k].toFloat4() * Spectral::TABLE_WAVELENGTH_STEP * power;
    }
    float mean = (sum.x() + sum.y() + sum.z()) / 3.f;
    if (!everySampleLit || !std::isfinite(mean)) return getScaledBlackbodyColor(temperature);
    return XYZ(sum / mean);
}

Rgb colorAdaptation(float fromTemperature, float toTemperature) noexcept {
    Float4 from = TM_XYZ_TO_LIN_RGB * blackbodyColor(fromTemperature).toFloat4();
    Float4 to = TM_XYZ_TO_LIN_RGB * blackbodyColor(toTemperature).toFloat4();
    Float4 ratio = to / from;
    float mean = (ratio.x() + ratio.y() + ratio.z()) / 3.f;
    Rgb factors(ratio / mean);
    factors.a = 1.f;
    return factors;
}

} // namespace Kalvex
