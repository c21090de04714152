// Elementary functions over Float4, lane by lane and without branches: fixed polynomial
// approximations that trade accuracy at the edges for speed. Infinities, NaNs and denormals get
// no special treatment except where a function says so. The "Approx" variants are cheaper and
// coarser than their plain counterparts.
//
//   auto [s, c] = sincos(Float4(0.f, 0.5f, 1.f, 2.f));
//   Float4 p = powApprox(Float4(2.f), Float4(10.f));   // about 1024 in every lane
#pragma once

#include "tolvan/utility/float4.h"

#include <utility>

namespace Kalvex {

/// Sine; the argument is reduced by multiples of pi in single precision, so the absolute error
/// grows with |x| (about 1e-6 at |x| = 30). Inputs below 0.00044363298 in magnitude return x itself.
[[nodiscard]] Float4 sin(const Float4& x) noexcept;
/// Cosine, as sin(x + pi/2).
[[nodiscard]] Float4 cos(const Float4& x) noexcept;
/// Sines (first) and cosines (second) with a three-part reduction by pi/4; sincos(-x) gives
/// (-sin x, cos x) exactly.
[[nodiscard]] std::pair<Float4, Float4> sincos(const Float4& x) noexcept;
/// Arc tangent in [-pi/2, pi/2]; relative error limited by the fast reciprocal and the
/// truncated series (largest near |x| = 1).
[[nodiscard]] Float4 atan(const Float4& x) noexcept;
/// Arc cosine in [0, pi] for x in [-1, 1], as 2 atan(sqrt((1 - x) / (1 + x))) with the fast
/// reciprocal and reciprocal square root; acos(1) is 0 and acos(-1) is pi.
[[nodiscard]] Float4 acos(const Float4& x) noexcept;
/// e^x with x clamped to [-88.37626, 88.37626], so the result is always finite.
[[nodiscard]] Float4 exp(const Float4& x) noexcept;
/// Cheap 2^x with x clamped to [-126.99999, 129]; about 1e-4 relative error.
[[nodiscard]] Float4 exp2Approx(const Float4& x) noexcept;
/// Natural logarithm; lanes whose input is 0 or below become NaN (all bits set).
[[nodiscard]] Float4 log(const Float4& x) noexcept;
/// Cheap base-2 logarithm for positive inputs; 0 or below give meaningless values.
[[nodiscard]] Float4 log2Approx(const Float4& x) noexcept;
/// Cheap x^y = 2^(y log2 x) for positive x, the exponent clamped to [-126.99999, 129].
[[nodiscard]] Float4 powApprox(const Float4& x, const Float4& y) noexcept;

} // namespace Kalvex
