// Curves: a float-to-float mapping through control points joined by linear or cubic pieces, the
// per-channel colour curve built from four of them (stored as XML), histograms with their equalising
// curve, and colour gradients between HSV stops.
//
//   const Vector2 points[] = {{0.f, 0.f}, {0.5f, 0.8f}, {1.f, 1.f}};
//   Curve curve(points, CurveInterpolation::PiecewiseCubic);
//   float y = curve(0.25f);      // passes through every point; straight lines beyond the ends
#pragma once

#include "tolvan/common/types.h"
#include "tolvan/containers/array.h"
#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/staticarray.h"
#include "tolvan/containers/stringutils.h"
#include "tolvan/utility/color.h"
#include "tolvan/utility/geometry.h"
#include "tolvan/xml/xmlnode.h"
#include "tolvan/xml/xmlvalidator.h"

namespace Kalvex {

// ---- Curve ----

/// How a curve joins its points; the names below are the texts used in XML.
enum class CurveInterpolation : int32 {
    PiecewiseCubic = 0,        ///< "PiecewiseCubic": tangents weighted by the square roots of the distances
    PiecewiseLinear = 1,       ///< "PiecewiseLinear": straight lines
    PiecewiseCubicUniform = 2, ///< "PiecewiseCubicUniform": tangents from the neighbours' secant
    PiecewiseCubicChordal = 3, ///< "PiecewiseCubicChordal": tangents weighted by the distances
};

/// The names of CurveInterpolation for Detail::toString and Detail::fromString.
[[nodiscard]] ArrayView<const Detail::EnumItem> getCurveInterpolationItems() noexcept;

/// A mapping through at least two control points, kept in the order given (callers sort them by x).
/// Cubic curves have zero curvature at both ends; outside the points every curve goes on as a straight
/// line with its end slope.
class Curve {
public:
    /// The identity: (0, 0), (1, 1), PiecewiseCubic.
    Curve();
    /// Copies `points` unsorted; fewer than two points give (0, 0), (1, 1) with `interpolation`.
    Curve(ArrayView<const Vector2> points, CurveInterpolation interpolation);

    /// The curve's value at `x`. An interpolation outside the enumeration is a STOP failure.
    [[nodiscard]] float operator()(float x) const;

    /// Same interpolation, same number of points, each pair of points at most 1e-6 apart.
    [[nodiscard]] bool operator==(const Curve& other) const;
    /// Equal (as ==) to the default curve; a linear curve through (0, 0), (1, 1) is not.
    [[nodiscard]] bool isIdentity() const;

    /// The control points in order.
    [[nodiscard]] ArrayView<const Vector2> getPoints() const noexcept { return mPoints; }
    /// How the curve runs between the points.
    [[nodiscard]] CurveInterpolation getInterpolation() const noexcept { return mInterpolation; }

private:
    [[nodiscard]] float evaluateCubic(int lo, int hi, float t) const;
    [[nodiscard]] float tangent(int i, float width) const;

    Stack<Vector2> mPoints;
    CurveInterpolation mInterpolation = CurveInterpolation::PiecewiseCubic;
};

// ---- ColorCurve ----

/// A curve per channel followed by a master curve: each channel c becomes master(channel(c)), results
/// below 0 become 0.
class ColorCurve {
public:
    /// The curves of a colour curve: the master curve and one per channel.
    enum Channel { MASTER = 0, RED = 1, GREEN = 2, BLUE = 3 };

    /// Four identity curves.
    ColorCurve() = default;
    /// The curves in the order master, red, green, blue.
    explicit ColorCurve(const StaticArray<Curve, 4>& curves)
        : mCurves(curves) {}

    /// All four curves equal.
    [[nodiscard]] bool operator==(const ColorCurve& other) const { return mCurves == other.mCurves; }
    /// The curves applied to red, green and blue; the fourth lane of the result is 0.
    [[nodiscard]] Rgb operator()(const Rgb& color) const;

    /// The curve of `channel`.
    [[nodiscard]] const Curve& getCurve(Channel channel) const { return mCurves[channel]; }

    /// `<colorCurve>` with the children red, green, blue and master, each holding `<interpolation>` and
    /// one `<controlPoint>` per point ("x y ").
    [[nodiscard]] XmlWriterNode exportColorCurve() const;
    /// Reads the `colorCurve` child of `node`: false (object unchanged) when there is none; a
    /// malformed element throws through `validator`. Coordinates below 0 become 0, points are sorted
    /// by x. On success the four curves are replaced and true is returned.
    bool importColorCurve(const XmlValidator& validator, const XmlReaderNode& node);

private:
    StaticArray<Curve, 4> mCurves;
};

// ---- Histogram ----

/// Counted bins over a value range.
class Histogram {
public:
    /// Takes the bins over and records the largest.
    Histogram(Array<uint64> bins, Range<float> range);

    /// Entry i: the share of all counts in the bins before i (0 first); empty for no bins. With no
    /// counts at all every entry is 0.
    [[nodiscard]] Stack<float> getCumulativeHistogram() const;
    /// The PiecewiseCubic curve mapping the range onto [0, 1] so that the values come out evenly spread,
    /// with a point every 1/steps (+1e-6) of the range; the default curve for no bins, only the two
    /// end points for steps < 1.
    [[nodiscard]] Curve computeEqualizingCurve(int steps) const;

    /// The counts of the bins.
    [[nodiscard]] ArrayView<const uint64> getBins() const noexcept { return mBins; }
    /// The largest bin (0 for no bins).
    [[nodiscard]] uint64 getMaxBinValue() const noexcept { return mMaxBinValue; }
    /// The value range the bins cover.
    [[nodiscard]] Range<float> getRange() const noexcept { return mRange; }

private:
    Array<uint64> mBins;
    uint64 mMaxBinValue = 0;
    Range<float> mRange;
};

// ---- ColorGradient ----

/// HSV colours at positions, mixed linearly between them; a hue mix takes the shorter way round the
/// circle (350 and 10 meet at 360).
class ColorGradient {
public:
    /// One colour of the gradient at its position.
    struct Stop {
        /// The colour.
        Hsv mColor;
        /// Where the colour sits.
        float mPosition = 0.f;
    };

    ColorGradient() = default;
    /// The stops, put in ascending position order (equal positions keep their order).
    explicit ColorGradient(ArrayView<const Stop> stops);

    /// Adds a stop after the stops at the same or lower positions.
    void addStop(const Hsv& color, float position);
    /// The stops in order.
    [[nodiscard]] ArrayView<const Stop> getStops() const noexcept { return mStops; }

    /// The colour at `position`: all zero without stops, the end colours beyond the ends.
    [[nodiscard]] Hsv getColorAt(float position) const;

private:
    Stack<Stop> mStops;
};

} // namespace Kalvex
