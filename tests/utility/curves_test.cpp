#include "tolvan/utility/curves.h"

#include "tolvan/xml/xmlnode.h"
#include "tolvan/xml/xmlvalidator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

using namespace Kalvex;

namespace {

const CurveInterpolation CUBIC_KINDS[] = {CurveInterpolation::PiecewiseCubic,
                                          CurveInterpolation::PiecewiseCubicUniform,
                                          CurveInterpolation::PiecewiseCubicChordal};

Curve makeCurve(std::initializer_list<Vector2> points, CurveInterpolation interpolation) {
    return Curve(ArrayView<const Vector2>(points.begin(), int64(points.size())), interpolation);
}

// The slope at x from the right (h > 0) or the left (h < 0), to second order in h.
double slope(const Curve& c, float x, float h) {
    return (-3 * double(c(x)) + 4 * double(c(x + h)) - double(c(x + 2 * h))) / (2 * double(h));
}

double secondDerivative(const Curve& c, float x, float h) {
    return (double(c(x + h)) - 2 * double(c(x)) + double(c(x - h))) / (double(h) * h);
}

std::string toStd(const String& s) {
    return s.toUtf8().cStr();
}

} // namespace

TEST(Curve, DefaultAndLinearCurvesContinueAsStraightLines) {
    const Curve identity;
    EXPECT_TRUE(identity.isIdentity());
    EXPECT_FLOAT_EQ(identity(0.5f), 0.5f);
    EXPECT_FLOAT_EQ(identity(2.f), 2.f);
    EXPECT_FLOAT_EQ(identity(-1.f), -1.f);

    const Curve linear = makeCurve({{0, 0}, {1, 2}}, CurveInterpolation::PiecewiseLinear);
    EXPECT_FLOAT_EQ(linear(-1.f), -2.f);
    EXPECT_FLOAT_EQ(linear(0.25f), 0.5f);
    EXPECT_FLOAT_EQ(linear(3.f), 6.f);
    EXPECT_FALSE(makeCurve({{0, 0}, {1, 1}}, CurveInterpolation::PiecewiseLinear).isIdentity());

    // Fewer than two points: the identity's points, the interpolation as passed.
    const Curve single = makeCurve({{0.3f, 0.7f}}, CurveInterpolation::PiecewiseLinear);
    ASSERT_EQ(single.getPoints().size(), 2);
    EXPECT_EQ(single.getPoints()[1], Vector2(1, 1));
    EXPECT_EQ(single.getInterpolation(), CurveInterpolation::PiecewiseLinear);
}

TEST(Curve, CubicCurvesPassThroughTheirPointsWithFlatEndsAndStraightContinuations) {
    for (const CurveInterpolation kind : CUBIC_KINDS) {
        SCOPED_TRACE(int(kind));
        for (const auto& points :
             {std::initializer_list<Vector2>{{0, 0}, {0.5f, 0.8f}, {1, 1}},
              std::initializer_list<Vector2>{{0, 0.1f}, {0.2f, 0.5f}, {0.6f, 0.4f}, {1, 1}}}) {
            const Curve curve = makeCurve(points, kind);
            for (const Vector2& p : points)
                EXPECT_NEAR(curve(p.x), p.y, 1e-6);
            // Zero curvature at both ends (the straight continuation beyond them has none either).
            const float first = points.begin()->x, last = (points.end() - 1)->x;
            EXPECT_NEAR(secondDerivative(curve, first, 0.01f), 0.0, 0.5);
            EXPECT_NEAR(secondDerivative(curve, last, 0.01f), 0.0, 0.5);
            EXPECT_NEAR(curve(last + 1.f) - curve(last), 2 * (curve(last + 0.5f) - curve(last)), 1e-5);
            EXPECT_NEAR(curve(first - 1.f) - curve(first), 2 * (curve(first - 0.5f) - curve(first)), 1e-5);
            // Smooth through the inner points.
            for (auto p = points.begin() + 1; p + 1 != points.end(); ++p)
                EXPECT_NEAR(slope(curve, p->x, 1e-3f), slope(curve, p->x, -1e-3f), 2e-3);
        }
    }
}

TEST(Curve, TangentsFollowEachKindsRule) {
    // At (1, 1) between (0, 0) and (4, 2): left slope 1, right slope 1/3, distances √2 and √10.
    const double d0 = std::sqrt(2.0), d1 = std::sqrt(10.0);
    const auto mix = [](double a) { return 1 * (1 - a) + (1.0 / 3) * a; };
    const struct {
        CurveInterpolation kind;
        double tangent;
        double tolerance;
    } rows[] = {
        {CurveInterpolation::PiecewiseCubicUniform, 0.5, 1e-3},
        {CurveInterpolation::PiecewiseCubicChordal, mix(d0 / (d0 + d1)), 1e-3},
        // Square roots through the approximate reciprocal instructions: about 12 bits.
        {CurveInterpolation::PiecewiseCubic, mix(std::sqrt(d0) / (std::sqrt(d0) + std::sqrt(d1))), 3e-3},
    };
    for (const auto& row : rows) {
        const Curve curve = makeCurve({{0, 0}, {1, 1}, {4, 2}}, row.kind);
        EXPECT_NEAR(slope(curve, 1.f, 1e-2f), row.tangent, row.tolerance) << int(row.kind);
        EXPECT_NEAR(slope(curve, 1.f, -1e-2f), row.tangent, row.tolerance) << int(row.kind);
    }
}

TEST(Curve, EqualityToleratesAMillionth) {
    const Curve a = makeCurve({{0, 0}, {0.5f, 0.5f}, {1, 1}}, CurveInterpolation::PiecewiseCubic);
    EXPECT_TRUE(a == makeCurve({{0, 0}, {0.5f + 1e-7f, 0.5f}, {1, 1}}, CurveInterpolation::PiecewiseCubic));
    EXPECT_FALSE(a == makeCurve({{0, 0}, {0.5f + 1e-5f, 0.5f}, {1, 1}}, CurveInterpolation::PiecewiseCubic));
    EXPECT_FALSE(a == makeCurve({{0, 0}, {0.5f, 0.5f}, {1, 1}}, CurveInterpolation::PiecewiseCubicChordal));
    EXPECT_FALSE(a == Curve());
}

TEST(Curve, UnknownInterpolationIsAStopFailure) {
    const Curve curve = makeCurve({{0, 0}, {1, 1}}, CurveInterpolation(7));
    try {
        (void)curve(0.5f);
        FAIL() << "no STOP";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()).rfind("STOP@utility/curves.cpp(", 0), 0u) << e.what();
    }
}

TEST(ColorCurve, AppliesChannelThenMasterAndClampsBelowZero) {
    const Curve half = makeCurve({{0, 0}, {1, 0.5f}}, CurveInterpolation::PiecewiseLinear);
    const Curve twice = makeCurve({{0, 0}, {1, 2}}, CurveInterpolation::PiecewiseLinear);
    const ColorCurve curve(StaticArray<Curve, 4>{twice, half, Curve(), twice});
    const Rgb out = curve(Rgb(0.5f, 0.25f, -1.f, 9.f));
    EXPECT_FLOAT_EQ(out.r, 0.5f);
    EXPECT_FLOAT_EQ(out.g, 0.5f);
    EXPECT_FLOAT_EQ(out.b, 0.f); // -4 clamped
    EXPECT_FLOAT_EQ(out.a, 0.f);

    const Curve minusOne = makeCurve({{0, -1}, {1, -1}}, CurveInterpolation::PiecewiseLinear);
    const Rgb black =
        ColorCurve(StaticArray<Curve, 4>{minusOne, Curve(), Curve(), Curve()})(Rgb(0.2f, 0.5f, 3.f));
    EXPECT_EQ(black.r + black.g + black.b, 0.f);
}

TEST(ColorCurve, ExportsAndImportsThroughXml) {
    const Curve red = makeCurve({{0, 0}, {0.5f, 0.25f}, {1, 1}}, CurveInterpolation::PiecewiseLinear);
    const Curve blue = makeCurve({{0, 0.125f}, {1, 0.333333f}}, CurveInterpolation::PiecewiseCubicChordal);
    const ColorCurve original(StaticArray<Curve, 4>{Curve(), red, Curve(), blue});
    const String xml = original.exportColorCurve().toString(false);
    const std::string text = toStd(xml);
    EXPECT_NE(text.find("<red><interpolation>PiecewiseLinear</interpolation><controlPoint>0 0 </controlPoint>"
                        "<controlPoint>0.5 0.25 </controlPoint><controlPoint>1 1 </controlPoint></red>"),
              std::string::npos)
        << text;
    EXPECT_NE(
        text.find("<controlPoint>0 0.125 </controlPoint><controlPoint>1 0.333333 </controlPoint></blue>"),
        std::string::npos)
        << text;
    EXPECT_LT(text.find("<blue>"), text.find("<master>"));

    const XmlValidator validator(u"color curve", Io::Path(u"/tmp/curve.xml"));
    const XmlReaderNode document(u"<a>" + xml + u"</a>");
    ColorCurve imported;
    ASSERT_TRUE(imported.importColorCurve(validator, *document.getFirstChild()));
    EXPECT_TRUE(imported == original);

    // Nothing to import: false, and the object keeps its curves.
    EXPECT_FALSE(imported.importColorCurve(validator, *document.getFirstChild()->getFirstChild()));
    EXPECT_TRUE(imported == original);
}

TEST(ColorCurve, ImportSortsAndClampsPointsAndReportsBadInput) {
    const String channels =
        u"<green><interpolation>PiecewiseCubic</interpolation><controlPoint>0 0</controlPoint>"
        u"<controlPoint>1 1</controlPoint></green>"
        u"<blue><interpolation>PiecewiseCubic</interpolation><controlPoint>0 0</controlPoint>"
        u"<controlPoint>1 1</controlPoint></blue>"
        u"<master><interpolation>piecewisecubicuniform</interpolation>"
        u"<controlPoint>0 0</controlPoint><controlPoint>1 1</controlPoint></master>";
    const auto import = [&](const String& red) {
        const XmlReaderNode document(u"<a><colorCurve>" + red + channels + u"</colorCurve></a>");
        ColorCurve curve;
        const XmlValidator validator(u"color curve", Io::Path(u"/tmp/curve.xml"));
        EXPECT_TRUE(curve.importColorCurve(validator, *document.getFirstChild()));
        return curve;
    };
    const ColorCurve sorted =
        import(u"<red><interpolation>PiecewiseLinear</interpolation>"
               u"<controlPoint>1 0.9</controlPoint><controlPoint>-0.5 0.3</controlPoint>"
               u"<controlPoint>0.5 -2</controlPoint></red>");
    const ArrayView<const Vector2> points = sorted.getCurve(ColorCurve::RED).getPoints();
    ASSERT_EQ(points.size(), 3);
    EXPECT_EQ(points[0], Vector2(0, 0.3f));
    EXPECT_EQ(points[1], Vector2(0.5f, 0));
    EXPECT_EQ(points[2], Vector2(1, 0.9f));
    EXPECT_EQ(sorted.getCurve(ColorCurve::MASTER).getInterpolation(),
              CurveInterpolation::PiecewiseCubicUniform);

    const struct {
        const char16_t* red;
        const char* message;
    } failures[] = {
        {u"<red><interpolation>Bezier</interpolation><controlPoint>0 0</controlPoint></red>",
         "Invalid curve interpolation type. Allowed values are: 'PiecewiseCubic', 'PiecewiseLinear'."},
        {u"<red><interpolation>PiecewiseLinear</interpolation></red>", "controlPoint"},
        {u"<red><interpolation>PiecewiseLinear</interpolation><controlPoint>0</controlPoint></red>",
         "controlPoint"},
        {u"", "red"},
    };
    for (const auto& row : failures) {
        try {
            (void)import(row.red);
            ADD_FAILURE() << "accepted " << toStd(row.red);
        } catch (const Exception& e) {
            EXPECT_NE(std::string(e.what()).find(row.message), std::string::npos) << e.what();
        }
    }
}

TEST(Histogram, CumulativeHistogramAndEqualizingCurve) {
    const Histogram flat(Array<uint64>{1, 1, 1, 1}, Range<float>(0, 1));
    EXPECT_EQ(flat.getMaxBinValue(), 1u);
    const Stack<float> cumulative = flat.getCumulativeHistogram();
    ASSERT_EQ(cumulative.size(), 4);
    const float expected[] = {0, 0.25f, 0.5f, 0.75f};
    for (int i = 0; i < 4; ++i)
        EXPECT_FLOAT_EQ(cumulative[i], expected[i]);

    const Curve equalizing = flat.computeEqualizingCurve(4);
    EXPECT_EQ(equalizing.getInterpolation(), CurveInterpolation::PiecewiseCubic);
    const Vector2 points[] = {{0, 0}, {0.250001f, 0.25f}, {0.500002f, 0.5f}, {0.750003f, 0.75f}, {1, 1}};
    ASSERT_EQ(equalizing.getPoints().size(), 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_NEAR(equalizing.getPoints()[i].x, points[i].x, 1e-6);
        EXPECT_FLOAT_EQ(equalizing.getPoints()[i].y, points[i].y);
    }

    const Histogram none(Array<uint64>(), Range<float>(0, 1));
    EXPECT_TRUE(none.getCumulativeHistogram().isEmpty());
    EXPECT_TRUE(none.computeEqualizingCurve(4).isIdentity());
    // No counts at all, and step counts below 1: defined results, no endless loop.
    const Histogram empty(Array<uint64>{0, 0, 0}, Range<float>(2, 4));
    for (const float c : empty.getCumulativeHistogram())
        EXPECT_EQ(c, 0.f);
    for (const int steps : {0, -3})
        EXPECT_EQ(flat.computeEqualizingCurve(steps).getPoints().size(), 2);

    const Histogram skewed(Array<uint64>{6, 0, 2}, Range<float>(0, 3));
    EXPECT_EQ(skewed.getMaxBinValue(), 6u);
    EXPECT_FLOAT_EQ(skewed.getCumulativeHistogram()[2], 0.75f);
}

TEST(ColorGradient, MixesStopsTheShortWayRoundTheHueCircle) {
    EXPECT_EQ(ColorGradient().getColorAt(0.5f).h, 0.f);

    ColorGradient gradient;
    gradient.addStop(Hsv(10, 1, 1), 1.f);
    gradient.addStop(Hsv(350, 0, 0.5f), 0.f);
    EXPECT_FLOAT_EQ(gradient.getColorAt(0.5f).h, 360.f);
    EXPECT_FLOAT_EQ(gradient.getColorAt(0.5f).s, 0.5f);
    EXPECT_FLOAT_EQ(gradient.getColorAt(0.25f).h, 355.f);
    EXPECT_FLOAT_EQ(gradient.getColorAt(0.75f).h, 365.f);
    EXPECT_FLOAT_EQ(gradient.getColorAt(-1.f).h, 350.f);
    EXPECT_FLOAT_EQ(gradient.getColorAt(2.f).h, 10.f);

    const ColorGradient::Stop stops[] = {
        {Hsv(200, 1, 1), 1.f}, {Hsv(100, 0, 0), 0.f}, {Hsv(300, 1, 1), 0.5f}};
    const ColorGradient ordered(ArrayView<const ColorGradient::Stop>(stops, 3));
    // 100 and 300 meet the short way, through 360; 300 and 200 directly.
    EXPECT_FLOAT_EQ(ordered.getColorAt(0.25f).h, 380.f);
    EXPECT_FLOAT_EQ(ordered.getColorAt(0.25f).s, 0.5f);
    EXPECT_FLOAT_EQ(ordered.getColorAt(0.75f).h, 250.f);

    // Stops less than 1e-6 apart: the colour of the first.
    ColorGradient step;
    step.addStop(Hsv(0, 0, 0), 0.f);
    step.addStop(Hsv(90, 0, 0), 1.f);
    step.addStop(Hsv(180, 0, 0), 1.0000005f);
    step.addStop(Hsv(270, 0, 0), 2.f);
    EXPECT_FLOAT_EQ(step.getColorAt(1.0000005f).h, 90.f);
    EXPECT_FLOAT_EQ(step.getColorAt(1.5f).h, 225.f);
}
