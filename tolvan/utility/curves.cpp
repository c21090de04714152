// Curves, colour curves, histograms and gradients.
#include "tolvan/utility/curves.h"

#include "tolvan/common/exception.h"
#include "tolvan/utility/float4.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <locale>
#include <sstream>
#include <string>

namespace Kalvex {

namespace {

constexpr Detail::EnumItem INTERPOLATION_ITEMS[] = {
    {int64(CurveInterpolation::PiecewiseCubic), u"PiecewiseCubic"},
    {int64(CurveInterpolation::PiecewiseLinear), u"PiecewiseLinear"},
    {int64(CurveInterpolation::PiecewiseCubicUniform), u"PiecewiseCubicUniform"},
    {int64(CurveInterpolation::PiecewiseCubicChordal), u"PiecewiseCubicChordal"},
};

// Rows of coefficients for 1, t, t², t³ applied to P = (y[lo], y[hi], m[lo], m[hi]).
using Basis = float[4][4];
// The first piece: zero curvature at its start.
constexpr Basis START = {{1, 0, 0, 0}, {-1.5f, 1.5f, 0, -0.5f}, {0, 0, 0, 0}, {0.5f, -0.5f, 0, 0.5f}};
// The cubic Hermite basis.
constexpr Basis INNER = {{1, 0, 0, 0}, {0, 0, 1, 0}, {-3, 3, -2, -1}, {2, -2, 1, 1}};
// The last piece: zero curvature at its end.
constexpr Basis END = {{1, 0, 0, 0}, {0, 0, 1, 0}, {-1.5f, 1.5f, -1.5f, 0}, {0.5f, -0.5f, 0.5f, 0}};

float dot(const float (&row)[4], const float (&p)[4]) {
    return row[0] * p[0] + row[1] * p[1] + row[2] * p[2] + row[3] * p[3];
}

// Σ t^k × (row k · P).
float piece(const Basis& basis, const float (&p)[4], float t) {
    return dot(basis[0], p) + t * (dot(basis[1], p) + t * (dot(basis[2], p) + t * dot(basis[3], p)));
}

// d/dt of the piece at t = 1: Σ k × (row k · P).
float endSlope(const Basis& basis, const float (&p)[4]) {
    return dot(basis[1], p) + 2 * dot(basis[2], p) + 3 * dot(basis[3], p);
}

float distance(const Vector2& a, const Vector2& b) {
    return std::sqrt((b - a).dot(b - a));
}

// √d through the processor's approximate reciprocal square root and reciprocal (about 12 bits).
float fastSqrt(float d) {
    return rcp(rsqrt(Float4(d))).x();
}

float fastReciprocal(float d) {
    return rcp(Float4(d)).x();
}

} // namespace

ArrayView<const Detail::EnumItem> getCurveInterpolationItems() noexcept {
    return {INTERPOLATION_ITEMS, int64(std::size(INTERPOLATION_ITEMS))};
}

// ---- Curve ----

Curve::Curve()
    : mPoints({Vector2(0.f, 0.f), Vector2(1.f, 1.f)}) {}

Curve::Curve(ArrayView<const Vector2> points, CurveInterpolation interpolation)
    : mInterpolation(interpolation) {
    if (points.size() >= 2) {
        mPoints = Stack<Vector2>(points);
    } else {
        mPoints = {Vector2(0.f, 0.f), Vector2(1.f, 1.f)};
    }
}

float Curve::operator()(float x) const {
    const int n = mPoints.size();
    int lo = 0, hi = n - 1;
    while (hi - lo > 1) {
        const int mid = (lo + hi) / 2;
        if (x >= mPoints[mid].x) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    const float t = (x - mPoints[lo].x) / (mPoints[hi].x - mPoints[lo].x);
    switch (mInterpolation) {
    case CurveInterpolation::PiecewiseLinear:
        return (1 - t) * mPoints[lo].y + t * mPoints[hi].y;
    case CurveInterpolation::PiecewiseCubic:
    case CurveInterpolation::PiecewiseCubicUniform:
    case CurveInterpolation::PiecewiseCubicChordal:
        if (n == 2) return (1 - t) * mPoints[lo].y + t * mPoints[hi].y;
        return evaluateCubic(lo, hi, t);
    }
    KALVEX_STOP();
}

float Curve::evaluateCubic(int lo, int hi, float t) const {
    const int n = mPoints.size();
    const float width = mPoints[hi].x - mPoints[lo].x;
    const float y0 = mPoints[lo].y, y1 = mPoints[hi].y;
    if (lo == 0) {
        const float p[4] = {y0, y1, 0.f, tangent(hi, width)};
        if (t < 0) return y0 + t * dot(START[1], p); // straight on with the start slope
        return piece(START, p, t);
    }
    if (hi == n - 1) {
        const float p[4] = {y0, y1, tangent(lo, width), 0.f};
        if (t > 1) return y1 + (t - 1) * endSlope(END, p); // straight on with the end slope
        return piece(END, p, t);
    }
    const float p[4] = {y0, y1, tangent(lo, width), tangent(hi, width)};
    return piece(INNER, p, t);
}

float Curve::tangent(int i, float width) const {
    const Vector2& p0 = mPoints[i - 1];
    const Vector2& p1 = mPoints[i];
    const Vector2& p2 = mPoints[i + 1];
    if (p2.x == p0.x) {
        const float sign = float((p2.y > p0.y) - (p2.y < p0.y));
        return sign * std::numeric_limits<float>::infinity() * width;
    }
    if (mInterpolation == CurveInterpolation::PiecewiseCubicUniform)
        return (p2.y - p0.y) / (p2.x - p0.x) * width;
    const float left = (p1.y - p0.y) / (p1.x - p0.x);
    const float right = (p2.y - p1.y) / (p2.x - p1.x);
    const float d0 = distance(p0, p1), d1 = distance(p1, p2);
    float a;
    if (mInterpolation == CurveInterpolation::PiecewiseCubicChordal) {
        a = d0 / (d0 + d1);
    } else {
        const float s0 = fastSqrt(d0);
        a = s0 * fastReciprocal(s0 + fastSqrt(d1));
    }
    return (left * (1 - a) + right * a) * width;
}

bool Curve::operator==(const Curve& other) const {
    if (mInterpolation != other.mInterpolation || mPoints.size() != other.mPoints.size()) return false;
    for (int i = 0; i < mPoints.size(); ++i) {
        const double dx = double(mPoints[i].x) - double(other.mPoints[i].x);
        const double dy = double(mPoints[i].y) - double(other.mPoints[i].y);
        if (!(std::sqrt(dx * dx + dy * dy) <= 1e-6)) return false;
    }
    return true;
}

bool Curve::isIdentity() const {
    return *this == Curve();
}

// ---- ColorCurve ----

Rgb ColorCurve::operator()(const Rgb& color) const {
    const Curve& master = mCurves[MASTER];
    const auto apply = [&master](const Curve& channel, float value) {
        const float result = master(channel(value));
        return result < 0 ? 0.f : result;
    };
    return Rgb(apply(mCurves[RED], color.r), apply(mCurves[GREEN], color.g), apply(mCurves[BLUE], color.b),
               0.f);
}

namespace {

// The element names of the channels, in the order they are written.
constexpr struct {
    const char16_t* mName;
    ColorCurve::Channel mChannel;
} CHANNEL_ELEMENTS[] = {
    {u"red", ColorCurve::RED},
    {u"green", ColorCurve::GREEN},
    {u"blue", ColorCurve::BLUE},
    {u"master", ColorCurve::MASTER},
};

// A float as the default stream output writes it: six significant digits, "C" notation.
String formatCoordinate(float value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 6);
    return String::fromAscii(std::string_view(buffer, size_t(result.ptr - buffer)));
}

// Two floats read as wide-stream extraction reads them; empty when either is missing.
Optional<Vector2> readPoint(const String& text) {
    std::wistringstream parser(std::wstring(text.begin(), text.end()));
    parser.imbue(std::locale::classic());
    Vector2 point;
    parser >> point.x >> point.y;
    if (parser.fail()) return {};
    return point;
}

} // namespace

XmlWriterNode ColorCurve::exportColorCurve() const {
    XmlWriterNode root(u"colorCurve", String());
    for (const auto& element : CHANNEL_ELEMENTS) {
        const Curve& curve = mCurves[element.mChannel];
        XmlWriterNode& channel = root.addChild(element.mName, String());
        channel.addChild(u"interpolation",
                         *Detail::toString(int64(curve.getInterpolation()), getCurveInterpolationItems()));
        for (const Vector2& point : curve.getPoints())
            channel.addChild(u"controlPoint",
                             formatCoordinate(point.x) + u" " + formatCoordinate(point.y) + u" ");
    }
    return root;
}

bool ColorCurve::importColorCurve(const XmlValidator& validator, const XmlReaderNode& node) {
    const XmlReaderNode* colorCurve = node.getChild(u"colorCurve");
    if (!colorCurve) return false;
    validator.validateChildren(*colorCurve,
                               {{u"red", 1, 1}, {u"green", 1, 1}, {u"blue", 1, 1}, {u"master", 1, 1}});

    StaticArray<Curve, 4> curves;
    for (const auto& element : CHANNEL_ELEMENTS) {
        const XmlReaderNode& channel = *colorCurve->getChild(element.mName);
        validator.validateChildren(
            channel,
            {{u"interpolation", 1, 1, XmlValidatorFlag::LEAF | XmlValidatorFlag::NON_EMPTY},
             {u"controlPoint", 1, 2147483647, XmlValidatorFlag::LEAF | XmlValidatorFlag::XY_VECTOR}});
        const XmlReaderNode& interpolationNode = *channel.getChild(u"interpolation");
        String name = interpolationNode.getValue();
        const Optional<int64> interpolation = Detail::fromString(name.trim(), getCurveInterpolationItems());
        if (!interpolation)
            validator.fail(interpolationNode, u"Invalid curve interpolation type. Allowed values are: "
                                              u"'PiecewiseCubic', 'PiecewiseLinear'.");
        Stack<Vector2> points;
        for (const XmlReaderNode& controlPoint : channel.getAllChildren(u"controlPoint")) {
            const Optional<Vector2> point = readPoint(controlPoint.getValue());
            if (!point) validator.fail(controlPoint, u"Invalid value of curve control point.");
            points.push(Vector2(std::max(point->x, 0.f), std::max(point->y, 0.f)));
        }
        std::sort(points.begin(), points.end(), [](const Vector2& a, const Vector2& b) { return a.x < b.x; });
        curves[element.mChannel] = Curve(points, CurveInterpolation(*interpolation));
    }
    mCurves = curves;
    return true;
}

// ---- Histogram ----

Histogram::Histogram(Array<uint64> bins, Range<float> range)
    : mBins(std::move(bins))
    , mRange(range) {
    for (const uint64 bin : mBins)
        mMaxBinValue = std::max(mMaxBinValue, bin);
}

Stack<float> Histogram::getCumulativeHistogram() const {
    Stack<float> cumulative;
    if (mBins.isEmpty()) return cumulative;
    double total = 0;
    for (const uint64 bin : mBins)
        total += double(bin);
    // No counts at all: nothing accumulates (instead of 0 / 0 in every entry).
    const float reciprocal = total > 0 ? float(1.0 / total) : 0.f;
    cumulative.reserve(int(mBins.size()));
    double sum = 0;
    for (const uint64 bin : mBins) {
        cumulative.push(float(sum * reciprocal));
        sum += double(bin);
    }
    return cumulative;
}

Curve Histogram::computeEqualizingCurve(int steps) const {
    if (mBins.isEmpty()) return Curve();
    const Stack<float> cumulative = getCumulativeHistogram();
    const int n = cumulative.size();
    Stack<Vector2> points;
    points.push(Vector2(mRange.minimum, 0.f));
    if (steps >= 1) {
        const float step = 1.f / float(steps) + 1e-6f;
        for (float t = step; t < 1.f; t += step) {
            // n × t rounds up to n for very many bins just below t = 1.
            const int bin = std::min(int(float(n) * t), n - 1);
            points.push(Vector2(mRange.minimum + mRange.getSize() * t, cumulative[bin]));
        }
    }
    points.push(Vector2(mRange.maximum, 1.f));
    return Curve(points, CurveInterpolation::PiecewiseCubic);
}

// ---- ColorGradient ----

ColorGradient::ColorGradient(ArrayView<const Stop> stops)
    : mStops(stops) {
    std::stable_sort(mStops.begin(), mStops.end(),
                     [](const Stop& a, const Stop& b) { return a.mPosition < b.mPosition; });
}

void ColorGradient::addStop(const Hsv& color, float position) {
    const Stop* at = std::upper_bound(mStops.begin(), mStops.end(), position,
                                      [](float p, const Stop& stop) { return p < stop.mPosition; });
    mStops.insert(int(at - mStops.begin()), Stop{color, position});
}

Hsv ColorGradient::getColorAt(float position) const {
    if (mStops.isEmpty()) return Hsv();
    if (position <= mStops[0].mPosition) return mStops[0].mColor;
    if (position >= mStops[mStops.size() - 1].mPosition) return mStops[mStops.size() - 1].mColor;
    int i = 1;
    while (mStops[i].mPosition < position)
        ++i;
    const Stop& before = mStops[i - 1];
    const Stop& after = mStops[i];
    if (after.mPosition - before.mPosition < 1e-6f) return before.mColor;
    float f = (position - before.mPosition) / (after.mPosition - before.mPosition);
    // A has the smaller hue; f is B's weight.
    const bool beforeIsA = before.mColor.h <= after.mColor.h;
    Hsv a = beforeIsA ? before.mColor : after.mColor;
    const Hsv& b = beforeIsA ? after.mColor : before.mColor;
    if (!beforeIsA) f = 1 - f;
    if (b.h - a.h > a.h + 360 - b.h) a.h += 360; // the shorter way round the hue circle
    return Hsv(f * b.h + (1 - f) * a.h, f * b.s + (1 - f) * a.s, f * b.v + (1 - f) * a.v,
               f * b.w + (1 - f) * a.w);
}

} // namespace Kalvex
