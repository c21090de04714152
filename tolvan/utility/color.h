// Four-lane colour values shared by imaging, colour curves and colour science: linear RGB, HSV and
// CIE XYZ, each four floats in 16 bytes whose fourth lane travels along unchanged (alpha for an
// RGBA pixel, padding otherwise). Arithmetic is lane-wise through Float4.
//
//   Rgb mixed = 0.25f * Rgb(1.f, 0.f, 0.f) + 0.75f * Rgb(0.f, 0.f, 1.f);
//   Rgb linear = Rgb(TM_XYZ_TO_LIN_RGB * xyz.toFloat4());   // tolvan/utility/colorscience.h
#pragma once

#include "tolvan/containers/string.h"
#include "tolvan/utility/affinetm.h"
#include "tolvan/utility/float4.h"
#include "tolvan/utility/valuetext.h"

namespace Kalvex {
namespace Detail {

/// Lane-wise operators of a four-lane value type T (T has toFloat4() and an explicit
/// constructor from Float4).
template <typename T>
struct FourLaneArithmetic {
    friend T operator+(const T& a, const T& b) noexcept { return T(a.toFloat4() + b.toFloat4()); }
    friend T operator-(const T& a, const T& b) noexcept { return T(a.toFloat4() - b.toFloat4()); }
    friend T operator*(const T& a, const T& b) noexcept { return T(a.toFloat4() * b.toFloat4()); }
    friend T operator/(const T& a, const T& b) noexcept { return T(a.toFloat4() / b.toFloat4()); }
    friend T operator*(const T& a, float f) noexcept { return T(a.toFloat4() * f); }
    friend T operator*(float f, const T& a) noexcept { return T(f * a.toFloat4()); }
    friend T operator/(const T& a, float f) noexcept { return T(a.toFloat4() / f); }
    friend T& operator+=(T& a, const T& b) noexcept { return a = a + b; }
    friend T& operator-=(T& a, const T& b) noexcept { return a = a - b; }
    friend T& operator*=(T& a, const T& b) noexcept { return a = a * b; }
    friend T& operator*=(T& a, float f) noexcept { return a = a * f; }
    friend T& operator/=(T& a, float f) noexcept { return a = a / f; }
    /// True when all four lanes are equal (a NaN lane is never equal).
    friend bool operator==(const T& a, const T& b) noexcept { return allOf(a.toFloat4() == b.toFloat4()); }
    /// The transform applied to the first three lanes; the fourth is kept.
    friend T operator*(const AffineTm& tm, const T& a) noexcept { return T(tm * a.toFloat4()); }

    /// "(a, b, c)": the three colour lanes in their shortest exact forms (the fourth is left out).
    [[nodiscard]] String toString() const {
        alignas(16) float lanes[4];
        static_cast<const T&>(*this).toFloat4().store(lanes);
        return formatTuple(lanes[0], lanes[1], lanes[2]);
    }

protected:
    /// The value whose four lanes are those of `value`.
    [[nodiscard]] static T fromFloat4(const Float4& value) noexcept {
        alignas(16) float lanes[4];
        value.store(lanes);
        return T(lanes[0], lanes[1], lanes[2], lanes[3]);
    }
};

} // namespace Detail

/// Linear red, green, blue and a fourth lane (alpha where a pixel carries one).
struct alignas(16) Rgb : Detail::FourLaneArithmetic<Rgb> {
    /// Red.
    float r = 0.f;
    /// Green.
    float g = 0.f;
    /// Blue.
    float b = 0.f;
    /// The fourth lane (alpha where used).
    float a = 0.f;

    constexpr Rgb() noexcept = default;
    /// The colour (red, green, blue) with `fourth` in the fourth lane.
    constexpr Rgb(float red, float green, float blue, float fourth = 0.f) noexcept
        : r(red)
        , g(green)
        , b(blue)
        , a(fourth) {}
    /// The four lanes of `lanes` in order.
    explicit Rgb(const Float4& lanes) noexcept
        : Rgb(fromFloat4(lanes)) {}

    /// The four lanes as a Float4.
    [[nodiscard]] Float4 toFloat4() const noexcept { return Float4(r, g, b, a); }
};

/// Hue in degrees, saturation, value and a fourth lane.
struct alignas(16) Hsv : Detail::FourLaneArithmetic<Hsv> {
    /// Hue.
    float h = 0.f;
    /// Saturation.
    float s = 0.f;
    /// Value.
    float v = 0.f;
    /// The fourth lane.
    float w = 0.f;

    constexpr Hsv() noexcept = default;
    /// The colour (hue, saturation, value) with `fourth` in the fourth lane.
    constexpr Hsv(float hue, float saturation, float value, float fourth = 0.f) noexcept
        : h(hue)
        , s(saturation)
        , v(value)
        , w(fourth) {}
    /// The four lanes of `lanes` in order.
    explicit Hsv(const Float4& lanes) noexcept
        : Hsv(fromFloat4(lanes)) {}

    /// The four lanes as a Float4.
    [[nodiscard]] Float4 toFloat4() const noexcept { return Float4(h, s, v, w); }
};

/// A CIE XYZ colour and a fourth lane.
struct alignas(16) XYZ : Detail::FourLaneArithmetic<XYZ> {
    /// X.
    float x = 0.f;
    /// Y.
    float y = 0.f;
    /// Z.
    float z = 0.f;
    /// The fourth lane.
    float w = 0.f;

    constexpr XYZ() noexcept = default;
    /// The colour (X, Y, Z) with `fourth` in the fourth lane.
    constexpr XYZ(float cx, float cy, float cz, float fourth = 0.f) noexcept
        : x(cx)
        , y(cy)
        , z(cz)
        , w(fourth) {}
    /// The four lanes of `lanes` in order.
    explicit XYZ(const Float4& lanes) noexcept
        : XYZ(fromFloat4(lanes)) {}

    /// The four lanes as a Float4.
    [[nodiscard]] Float4 toFloat4() const noexcept { return Float4(x, y, z, w); }
};

static_assert(sizeof(Rgb) == 16 && sizeof(Hsv) == 16 && sizeof(XYZ) == 16, "colours are four lanes");

} // namespace Kalvex
