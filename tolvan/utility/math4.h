// Elementary functions over Float4, lane by lane and without branches: fixed polynomial
// approximations that trade accuracy at the edges for speed. Infinities, NaNs and denormals get
// no special treatment except where a function says so. The "Approx" variants are cheaper and
// coarser than their plain counterparts. They are inline so that loops keep the constants in
// registers and interleave independent calls.
//
//   auto [s, c] = sincos(Float4(0.f, 0.5f, 1.f, 2.f));
//   Float4 p = powApprox(Float4(2.f), Float4(10.f));   // about 1024 in every lane
#pragma once

#include "tolvan/utility/float4.h"

#include <utility>

namespace Kalvex {
namespace Detail::Math4 {
inline Float4 bits(__m128i value) noexcept {
    return _mm_castsi128_ps(value);
}
inline __m128i bitsOf(const Float4& value) noexcept {
    return _mm_castps_si128(value.get());
}
/// Integral lanes (already whole numbers) converted exactly to 32-bit integers.
inline __m128i toInt(const Float4& whole) noexcept {
    return _mm_cvtps_epi32(whole.get());
}
inline Float4 toFloat(__m128i value) noexcept {
    return _mm_cvtepi32_ps(value);
}

/// 2^n for integer lanes n, by placing n + 127 in the exponent bits.
inline Float4 powerOfTwo(__m128i n) noexcept {
    return bits(_mm_slli_epi32(_mm_add_epi32(n, _mm_set1_epi32(127)), 23));
}

/// The sign bit of each lane, set where `value` has bit `bit` set (bit as a lane mask of 1 << k).
inline Float4 signWhereBitSet(__m128i value, int bit) noexcept {
    __m128i set = _mm_cmpeq_epi32(_mm_and_si128(value, _mm_set1_epi32(bit)), _mm_set1_epi32(bit));
    return bits(_mm_and_si128(set, _mm_set1_epi32(int(0x80000000u))));
}

/// The exp2Approx polynomial of v without clamping: n = round(v - 0.5), f = v - n.
inline Float4 exp2Polynomial(const Float4& v) noexcept {
    Float4 n = round(v - Float4(0.5f));
    Float4 f = v - n;
    Float4 p =
        ((Float4(0.07802452f) * f + Float4(0.22606716f)) * f + Float4(0.69583356f)) * f + Float4(0.9999252f);
    return p * powerOfTwo(toInt(n));
}

/// Euler's series for the arc tangent of y >= 0 (at most 1 in practice), without the sign or
/// the reflection about 1.
inline Float4 atanSeries(const Float4& y) noexcept {
    Float4 q = rcp(y * y + Float4(1.f)) * y;
    Float4 t = q * y;
    Float4 t2 = t * t;
    Float4 t3 = t2 * t;
    Float4 tail =
        Float4(0.45714286f) + t * Float4(0.4063492f) + t2 * Float4(0.36940837f) + t3 * Float4(0.34099233f);
    Float4 series = q * (Float4(1.f) + t * Float4(0.6666667f) + t2 * Float4(0.53333336f) + t3 * tail);
    return select(y < Float4(0.00035211173f), y, series);
}

} // namespace Detail::Math4

/// Sine; the argument is reduced by multiples of pi in single precision, so the absolute error
/// grows with |x| (about 1e-6 at |x| = 30). Inputs below 0.00044363298 in magnitude return x itself.
[[nodiscard]] inline Float4 sin(const Float4& x) noexcept {
    Float4 k = round(x * Float4(0.31830987f));
    Float4 r = x - k * Float4(3.1415927f);
    // sin(r + k pi) = (-1)^k sin(r): flip the sign of r for odd k.
    r = r ^ Detail::Math4::bits(_mm_slli_epi32(Detail::Math4::toInt(k), 31));
    Float4 s = r * r;
    Float4 rs = r * s;
    Float4 poly = Float4(0.008333182f) + s * Float4(-0.00019814896f) + (s * s) * Float4(2.6131813e-6f);
    Float4 result = r + rs * Float4(-0.16666667f) + (rs * s) * poly;
    return select(abs(r) < Float4(0.00044363298f), r, result);
}

/// Cosine, as sin(x + pi/2).
[[nodiscard]] inline Float4 cos(const Float4& x) noexcept {
    return sin(x + Float4(1.5707964f));
}

/// Sines (first) and cosines (second) with a three-part reduction by pi/4; sincos(-x) gives
/// (-sin x, cos x) exactly.
[[nodiscard]] inline std::pair<Float4, Float4> sincos(const Float4& x) noexcept {
    Float4 y = abs(x);
    __m128i j = _mm_cvttps_epi32((y * Float4(1.2732395f)).get());
    j = _mm_and_si128(_mm_add_epi32(j, _mm_set1_epi32(1)), _mm_set1_epi32(~1));
    Float4 jf = Detail::Math4::toFloat(j);
    Float4 r = y - jf * Float4(0.78515625f) - jf * Float4(0.00024187565f) - jf * Float4(3.774895e-8f);
    Float4 z = r * r;

    Float4 sinPoly =
        r + (r * z) * (Float4(-0.16666655f) + z * (Float4(0.008332161f) + z * Float4(-0.00019515296f)));
    Float4 cosPoly =
        Float4(1.f) - Float4(0.5f) * z +
        (z * z) * (Float4(0.041666646f) + z * (Float4(-0.0013887316f) + z * Float4(2.4433157e-5f)));

    Float4 swap =
        Detail::Math4::bits(_mm_cmpeq_epi32(_mm_and_si128(j, _mm_set1_epi32(2)), _mm_set1_epi32(2)));
    Float4 sine = select(swap, cosPoly, sinPoly);
    Float4 cosine = select(swap, sinPoly, cosPoly);

    Float4 sineSign = (x & Float4(-0.f)) ^ Detail::Math4::signWhereBitSet(j, 4);
    // The cosine's sign flips where (j - 2) AND 4 is clear: the sign bit of NOT (j - 2) bit 2.
    Float4 cosineSign = Detail::Math4::signWhereBitSet(
        _mm_andnot_si128(_mm_sub_epi32(j, _mm_set1_epi32(2)), _mm_set1_epi32(4)), 4);
    return {sine ^ sineSign, cosine ^ cosineSign};
}

/// Arc tangent in [-pi/2, pi/2]; relative error limited by the fast reciprocal and the
/// truncated series (largest near |x| = 1).
[[nodiscard]] inline Float4 atan(const Float4& x) noexcept {
    Float4 sign = x & Float4(-0.f);
    Float4 y = abs(x);
    Float4 above = y > Float4(1.f);
    Float4 value = Detail::Math4::atanSeries(select(above, rcp(y), y)) ^ sign;
    Float4 halfPi = Float4(1.5707964f) ^ sign;
    return select(above, halfPi - value, value);
}

/// Arc cosine in [0, pi] for x in [-1, 1], as 2 atan(sqrt((1 - x) / (1 + x))) with the fast
/// reciprocal and reciprocal square root; acos(1) is 0 and acos(-1) is pi.
[[nodiscard]] inline Float4 acos(const Float4& x) noexcept {
    Float4 w = rsqrt(rcp(Float4(1.f) - x) * (Float4(1.f) + x));
    return Float4(2.f) * atan(w);
}

/// e^x with x clamped to [-88.37626, 88.37626], so the result is always finite.
[[nodiscard]] inline Float4 exp(const Float4& x) noexcept {
    Float4 c = clamp(x, Float4(-88.37626f), Float4(88.37626f));
    Float4 f = c * Float4(1.442695f) + Float4(0.5f);
    Float4 n = trunc(f);
    n = n - (Float4(1.f) & (n > f));
    Float4 r = c - n * Float4(0.6933594f) - n * Float4(-0.00021219444f);
    Float4 p = ((((Float4(0.00019875691f) * r + Float4(0.0013981999f)) * r + Float4(0.008333452f)) * r +
                 Float4(0.041665796f)) *
                    r +
                Float4(0.16666666f)) *
                   r +
               Float4(0.5f);
    return (p * (r * r) + r + Float4(1.f)) * Detail::Math4::powerOfTwo(Detail::Math4::toInt(n));
}

/// Cheap 2^x with x clamped to [-126.99999, 129]; about 1e-4 relative error.
[[nodiscard]] inline Float4 exp2Approx(const Float4& x) noexcept {
    return Detail::Math4::exp2Polynomial(clamp(x, Float4(-126.99999f), Float4(129.f)));
}

/// Natural logarithm; lanes whose input is 0 or below become NaN (all bits set).
[[nodiscard]] inline Float4 log(const Float4& x) noexcept {
    Float4 v = max(x, Float4(1.1754944e-38f));
    __m128i raw = Detail::Math4::bitsOf(v);
    __m128i e = _mm_sub_epi32(_mm_srli_epi32(raw, 23), _mm_set1_epi32(127));
    // Sign and mantissa kept, exponent of 0.5: m in [0.5, 1).
    Float4 m = Detail::Math4::bits(_mm_or_si128(_mm_and_si128(raw, _mm_set1_epi32(int(0x807FFFFFu))),
                                                Detail::Math4::bitsOf(Float4(0.5f))));
    Float4 small = m < Float4(0.70710677f);
    Float4 u = select(small, m + m - Float4(1.f), m - Float4(1.f));
    Float4 ef = Detail::Math4::toFloat(e) + andNot(small, Float4(1.f));
    Float4 z = u * u;
    Float4 poly = Float4(0.070376836f) * u - Float4(0.1151461f);
    poly = poly * u + Float4(0.116769984f);
    poly = poly * u - Float4(0.12420141f);
    poly = poly * u + Float4(0.14249323f);
    poly = poly * u - Float4(0.16668057f);
    poly = poly * u + Float4(0.20000714f);
    poly = poly * u - Float4(0.24999994f);
    poly = poly * u + Float4(0.3333333f);
    Float4 p = poly * u * z;
    Float4 result = p + ef * Float4(-0.00021219444f) - Float4(0.5f) * z + u + ef * Float4(0.6933594f);
    return result | (x <= Float4(0.f));
}

/// Cheap base-2 logarithm for positive inputs; 0 or below give meaningless values.
[[nodiscard]] inline Float4 log2Approx(const Float4& x) noexcept {
    __m128i raw = Detail::Math4::bitsOf(x);
    __m128i biased = _mm_and_si128(_mm_srli_epi32(raw, 23), _mm_set1_epi32(0xFF));
    Float4 e = Detail::Math4::toFloat(_mm_sub_epi32(biased, _mm_set1_epi32(127)));
    Float4 m = Detail::Math4::bits(
        _mm_or_si128(_mm_and_si128(raw, _mm_set1_epi32(0x007FFFFF)), Detail::Math4::bitsOf(Float4(1.f))));
    Float4 p = (((Float4(0.05965155f) * m - Float4(0.46572563f)) * m + Float4(1.4811665f)) * m -
                Float4(2.5207496f)) *
                   m +
               Float4(2.8882704f);
    return p * (m - Float4(1.f)) + e;
}

/// Cheap x^y = 2^(y log2 x) for positive x, the exponent clamped to [-126.99999, 129].
[[nodiscard]] inline Float4 powApprox(const Float4& x, const Float4& y) noexcept {
    return Detail::Math4::exp2Polynomial(clamp(log2Approx(x) * y, Float4(-126.99999f), Float4(129.f)));
}

} // namespace Kalvex
