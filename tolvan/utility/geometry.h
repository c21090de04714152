// Small geometric value types shared by imaging, photometry and colour code: integer pixels and
// rectangles, two-float vectors, unit directions and value ranges, each with a text form.
#pragma once

#include "tolvan/common/types.h"
#include "tolvan/containers/string.h"
#include "tolvan/utility/valuetext.h"

namespace Kalvex {

/// A pixel position or size: two signed 32-bit integers.
struct Pixel {
    /// Column.
    int32 x = 0;
    /// Row.
    int32 y = 0;

    /// (0, 0).
    static const Pixel ZERO;
    /// (1, 1).
    static const Pixel ONE;

    constexpr Pixel() noexcept = default;
    /// The pixel (px, py).
    constexpr Pixel(int32 px, int32 py) noexcept
        : x(px)
        , y(py) {}

    /// Component-wise sum.
    constexpr Pixel operator+(const Pixel& o) const noexcept { return {x + o.x, y + o.y}; }
    /// Component-wise difference.
    constexpr Pixel operator-(const Pixel& o) const noexcept { return {x - o.x, y - o.y}; }
    /// Equal when both components are equal.
    constexpr bool operator==(const Pixel&) const noexcept = default;

    /// "(x, y)", e.g. "(4, -2)".
    [[nodiscard]] String toString() const { return Detail::formatTuple(x, y); }
};
inline constexpr Pixel Pixel::ZERO{0, 0};
inline constexpr Pixel Pixel::ONE{1, 1};

/// An integer rectangle: `minimum` inclusive, `maximum` exclusive. The default is the empty
/// rectangle at the origin.
struct Bucket {
    /// The first pixel inside.
    Pixel minimum;
    /// The first pixel past the end (exclusive).
    Pixel maximum;

    constexpr Bucket() noexcept = default;
    /// The pixels from `min` up to, not including, `max`.
    constexpr Bucket(const Pixel& min, const Pixel& max) noexcept
        : minimum(min)
        , maximum(max) {}

    /// maximum - minimum (negative components for an inverted rectangle).
    [[nodiscard]] constexpr Pixel getSize() const noexcept { return maximum - minimum; }
    /// maximum.x - minimum.x.
    [[nodiscard]] constexpr int32 getWidth() const noexcept { return maximum.x - minimum.x; }
    /// maximum.y - minimum.y.
    [[nodiscard]] constexpr int32 getHeight() const noexcept { return maximum.y - minimum.y; }
    /// Number of pixels inside; 0 for empty or inverted rectangles.
    [[nodiscard]] constexpr int64 getArea() const noexcept {
        return isEmpty() ? 0 : int64(getWidth()) * getHeight();
    }
    /// True when no pixel lies inside.
    [[nodiscard]] constexpr bool isEmpty() const noexcept { return getWidth() <= 0 || getHeight() <= 0; }
    /// True when `p` lies inside (minimum inclusive, maximum exclusive).
    [[nodiscard]] constexpr bool contains(const Pixel& p) const noexcept {
        return p.x >= minimum.x && p.y >= minimum.y && p.x < maximum.x && p.y < maximum.y;
    }
    /// Equal when both corners are equal.
    constexpr bool operator==(const Bucket&) const noexcept = default;

    /// "[(x0, y0), (x1, y1))": the half-open corners.
    [[nodiscard]] String toString() const {
        return String(u"[") << minimum.toString() << u", " << maximum.toString() << u")";
    }
};

/// Two floats.
struct Vector2 {
    /// First component.
    float x = 0.f;
    /// Second component.
    float y = 0.f;

    constexpr Vector2() noexcept = default;
    /// The vector (vx, vy).
    constexpr Vector2(float vx, float vy) noexcept
        : x(vx)
        , y(vy) {}

    /// Component-wise sum.
    constexpr Vector2 operator+(const Vector2& o) const noexcept { return {x + o.x, y + o.y}; }
    /// Component-wise difference.
    constexpr Vector2 operator-(const Vector2& o) const noexcept { return {x - o.x, y - o.y}; }
    /// Both components multiplied by `f`.
    constexpr Vector2 operator*(float f) const noexcept { return {x * f, y * f}; }
    /// Both components divided by `f`.
    constexpr Vector2 operator/(float f) const noexcept { return {x / f, y / f}; }
    /// Equal when both components are equal.
    constexpr bool operator==(const Vector2&) const noexcept = default;
    /// The dot product.
    [[nodiscard]] constexpr float dot(const Vector2& o) const noexcept { return x * o.x + y * o.y; }

    /// "(x, y)" with the shortest exact form of each float, e.g. "(0.5, -2)".
    [[nodiscard]] String toString() const { return Detail::formatTuple(x, y); }
};

/// A direction of three floats, normally of unit length; z = -1 points straight down.
struct Dir {
    /// X component.
    float x = 0.f;
    /// Y component.
    float y = 0.f;
    /// Z component.
    float z = -1.f;

    /// (0, 0, -1).
    static const Dir DOWN;
    /// (0, 0, 1).
    static const Dir UP;

    /// Straight down.
    constexpr Dir() noexcept = default;
    /// The components as given (not normalised; see normalized()).
    constexpr Dir(float dx, float dy, float dz) noexcept
        : x(dx)
        , y(dy)
        , z(dz) {}
    /// The vector scaled to unit length; a zero or non-finite vector gives DOWN.
    [[nodiscard]] static Dir normalized(float dx, float dy, float dz) noexcept;

    /// The opposite direction.
    constexpr Dir operator-() const noexcept { return {-x, -y, -z}; }
    /// Equal when all components are equal.
    constexpr bool operator==(const Dir&) const noexcept = default;
    /// The dot product.
    [[nodiscard]] constexpr float dot(const Dir& o) const noexcept { return x * o.x + y * o.y + z * o.z; }

    /// "(x, y, z)".
    [[nodiscard]] String toString() const { return Detail::formatTuple(x, y, z); }
};
inline constexpr Dir Dir::DOWN{0.f, 0.f, -1.f};
inline constexpr Dir Dir::UP{0.f, 0.f, 1.f};

/// A closed interval [minimum, maximum] of numbers.
template <typename T>
struct Range {
    /// The lower bound.
    T minimum{};
    /// The upper bound.
    T maximum{};

    constexpr Range() noexcept = default;
    /// The range from `min` to `max`.
    constexpr Range(T min, T max) noexcept
        : minimum(min)
        , maximum(max) {}

    /// maximum - minimum.
    [[nodiscard]] constexpr T getSize() const noexcept { return maximum - minimum; }
    /// True when minimum <= value <= maximum.
    [[nodiscard]] constexpr bool contains(T value) const noexcept {
        return value >= minimum && value <= maximum;
    }
    /// `value` limited to the interval.
    [[nodiscard]] constexpr T clamp(T value) const noexcept {
        return value < minimum ? minimum : (value > maximum ? maximum : value);
    }
    /// Equal when both bounds are equal.
    constexpr bool operator==(const Range&) const noexcept = default;

    /// "[minimum, maximum]".
    [[nodiscard]] String toString() const {
        return String(u"[") << Detail::formatNumber(minimum) << u", " << Detail::formatNumber(maximum)
                            << u"]";
    }
};

} // namespace Kalvex
