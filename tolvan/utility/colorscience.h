// Colour science: Planck's black-body spectral power, the CIE D65 daylight spectral power, the
// colour of a black body as normalised CIE XYZ, white-balance factors between two colour
// temperatures, and the constant transforms between CIE XYZ, linear (sRGB-primaries) RGB and
// linear wide-gamut RGB. Wavelengths are in nanometres, temperatures in kelvin; the spectral
// tables cover 360 nm to 830 nm in 5 nm steps.
//
//   Rgb factors = colorAdaptation(3200.f, 6500.f);   // tungsten-lit colours seen under daylight
//   Rgb corrected = pixel * factors;
#pragma once

#include "tolvan/containers/arrayview.h"
#include "tolvan/utility/affinetm.h"
#include "tolvan/utility/color.h"

namespace Kalvex {

namespace Spectral {

/// Number of samples of the spectral tables (360, 365, ..., 830 nm).
inline constexpr int TABLE_SIZE = 95;
/// Wavelength of the first sample, in nm.
inline constexpr float TABLE_FIRST_WAVELENGTH = 360.f;
/// Distance between samples, in nm.
inline constexpr float TABLE_WAVELENGTH_STEP = 5.f;

/// Planck's law for temperature `temperature` at wavelength `wavelength`, in single precision;
/// 0 where the exponential overflows (very low temperatures or short wavelengths).
[[nodiscard]] float getBlackBodySpectralPower(float temperature, float wavelength) noexcept;
/// Relative spectral power of CIE illuminant D65 (100 at 560 nm), interpolated linearly; below
/// 360 nm the first sample, from 830 nm on the last.
[[nodiscard]] float getStandardSpectralPower(float wavelength) noexcept;
/// The CIE 1931 2-degree colour-matching functions (x, y, z, 0) at 360, 365, ..., 830 nm.
[[nodiscard]] ArrayView<const XYZ> getColorMatchingTable() noexcept;
/// The D65 relative spectral power at 360, 365, ..., 830 nm.
[[nodiscard]] ArrayView<const float> getStandardIlluminantTable() noexcept;

} // namespace Spectral

/// The colour of a black body at `temperature` as CIE XYZ scaled so that its three components
/// average 1 (fourth lane 0). Finite for every finite temperature above 0: where the single-precision
/// samples overflow (below about 455 K) the spectrum is scaled by its largest sample first.
[[nodiscard]] XYZ blackbodyColor(float temperature) noexcept;
/// Per-channel linear-RGB factors, averaging 1, that turn a colour lit by a black body at
/// `fromTemperature` into its appearance at `toTemperature`; the fourth lane is 1 so that an
/// alpha lane survives multiplication.
[[nodiscard]] Rgb colorAdaptation(float fromTemperature, float toTemperature) noexcept;

// Constant transforms (built in single precision; no chromatic adaptation between white points).

/// CIE XYZ to linear RGB with the sRGB primaries.
extern const AffineTm TM_XYZ_TO_LIN_RGB;
/// Linear RGB to CIE XYZ: the inverse of TM_XYZ_TO_LIN_RGB.
extern const AffineTm TM_LIN_RGB_TO_XYZ;
/// Linear wide-gamut RGB to CIE XYZ.
extern const AffineTm TM_LIN_WIDE_RGB_TO_XYZ;
/// CIE XYZ to linear wide-gamut RGB: the inverse of TM_LIN_WIDE_RGB_TO_XYZ.
extern const AffineTm TM_XYZ_TO_LIN_WIDE_RGB;
/// Linear wide-gamut RGB to linear RGB: TM_XYZ_TO_LIN_RGB applied after TM_LIN_WIDE_RGB_TO_XYZ.
extern const AffineTm TM_LIN_WIDE_RGB_TO_LIN_RGB;
/// Linear RGB to linear wide-gamut RGB: the inverse of TM_LIN_WIDE_RGB_TO_LIN_RGB.
extern const AffineTm TM_LIN_RGB_TO_LIN_WIDE_RGB;

} // namespace Kalvex
