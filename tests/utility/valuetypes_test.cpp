// The small value types shared by imaging, photometry and colour code: behaviour, arithmetic and
// text forms; AffineTm application, composition and inverse.
#include "tolvan/utility/affinetm.h"
#include "tolvan/utility/color.h"
#include "tolvan/utility/geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace Kalvex;

namespace {

std::string utf8(const String& s) {
    return s.toUtf8().data();
}

TEST(ValueTypes, TextForms) {
    struct Case {
        String text;
        const char* expected;
    } cases[] = {
        {Pixel(4, -2).toString(), "(4, -2)"},
        {Pixel::ZERO.toString(), "(0, 0)"},
        {Bucket(Pixel(0, 1), Pixel(5, 4)).toString(), "[(0, 1), (5, 4))"},
        {Vector2(0.1f, -2.f).toString(), "(0.1, -2)"},
        {Dir::DOWN.toString(), "(0, 0, -1)"},
        {Range<float>(-0.5f, 1e20f).toString(), "[-0.5, 1e+20]"},
        {Range<int32>(-3, 7).toString(), "[-3, 7]"},
        {Rgb(1.f, 0.25f, 3.f, 9.f).toString(), "(1, 0.25, 3)"},
        {Hsv(350.f, 0.5f, 1.f).toString(), "(350, 0.5, 1)"},
        {XYZ(0.95047f, 1.f, 1.08883f).toString(), "(0.95047, 1, 1.08883)"},
        {Rgb(std::numeric_limits<float>::infinity(), 16777216.f, 1e-45f).toString(),
         "(inf, 16777216, 1e-45)"},
        {AffineTm({{1.f, 2.f, 3.f}, {4.f, 5.f, 6.f}, {7.f, 8.f, 9.5f}}, {-1.f, 0.f, 1.f}).toString(),
         "[(1, 2, 3, -1), (4, 5, 6, 0), (7, 8, 9.5, 1)]"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(utf8(c.text), c.expected);
    }
}

TEST(ValueTypes, PixelBucketRangeAndDir) {
    EXPECT_EQ(Pixel::ONE + Pixel(2, 3), Pixel(3, 4));
    EXPECT_EQ(Pixel(2, 3) - Pixel::ONE, Pixel(1, 2));

    Bucket region(Pixel(1, 2), Pixel(4, 4));
    EXPECT_EQ(region.getSize(), Pixel(3, 2));
    EXPECT_EQ(region.getArea(), 6);
    EXPECT_TRUE(region.contains(Pixel(1, 2)));
    EXPECT_TRUE(region.contains(Pixel(3, 3)));
    EXPECT_FALSE(region.contains(Pixel(4, 3))); // maximum is exclusive
    EXPECT_FALSE(region.contains(Pixel(3, 4)));
    EXPECT_TRUE(Bucket().isEmpty());
    EXPECT_EQ(Bucket(Pixel(5, 5), Pixel(1, 9)).getArea(), 0);
    EXPECT_EQ(Bucket(Pixel::ZERO, Pixel(65536, 65536)).getArea(), int64(1) << 32);

    Range<float> range(-1.f, 2.f);
    EXPECT_EQ(range.getSize(), 3.f);
    EXPECT_TRUE(range.contains(2.f));
    EXPECT_FALSE(range.contains(2.5f));
    EXPECT_EQ(range.clamp(5.f), 2.f);
    EXPECT_EQ(range.clamp(-5.f), -1.f);

    EXPECT_EQ(Dir(), Dir::DOWN);
    EXPECT_EQ(-Dir::DOWN, Dir::UP);
    Dir d = Dir::normalized(3.f, 0.f, 4.f);
    EXPECT_FLOAT_EQ(d.x, 0.6f);
    EXPECT_FLOAT_EQ(d.z, 0.8f);
    EXPECT_FLOAT_EQ(d.dot(d), 1.f);
    EXPECT_EQ(Dir::normalized(0.f, 0.f, 0.f), Dir::DOWN);
    EXPECT_EQ(Dir::normalized(std::nanf(""), 1.f, 0.f), Dir::DOWN);
    EXPECT_EQ(Vector2(1.f, 2.f).dot(Vector2(3.f, -1.f)), 1.f);
}

TEST(ValueTypes, ColorsAreLaneWiseAndCarryTheFourthLane) {
    Rgb a(1.f, 2.f, 3.f, 0.5f);
    Rgb b(0.5f, 0.25f, 2.f, 2.f);
    EXPECT_EQ(a + b, Rgb(1.5f, 2.25f, 5.f, 2.5f));
    EXPECT_EQ(a - b, Rgb(0.5f, 1.75f, 1.f, -1.5f));
    EXPECT_EQ(a * b, Rgb(0.5f, 0.5f, 6.f, 1.f));
    EXPECT_EQ(a / b, Rgb(2.f, 8.f, 1.5f, 0.25f));
    EXPECT_EQ(2.f * a, a * 2.f);
    EXPECT_EQ(a / 2.f, Rgb(0.5f, 1.f, 1.5f, 0.25f));
    Rgb c = a;
    c += b;
    c -= b;
    c *= 4.f;
    c /= 4.f;
    EXPECT_EQ(c, a);
    EXPECT_FALSE(a == Rgb(1.f, 2.f, 3.f, 0.f)); // the fourth lane counts
    EXPECT_EQ(Rgb(a.toFloat4()), a);

    Hsv mixed = 0.5f * Hsv(350.f, 1.f, 1.f, 4.f) + 0.5f * Hsv(370.f, 0.f, 0.5f);
    EXPECT_EQ(mixed, Hsv(360.f, 0.5f, 0.75f, 2.f));
    EXPECT_EQ(XYZ(Float4(1.f, 2.f, 3.f, 4.f)), XYZ(1.f, 2.f, 3.f, 4.f));
    EXPECT_EQ(sizeof(Rgb), 16u);
    EXPECT_EQ(alignof(XYZ), 16u);
}

TEST(ValueTypes, AffineTransforms) {
    AffineTm scale({{2.f, 0.f, 0.f}, {0.f, 3.f, 0.f}, {0.f, 0.f, 4.f}}, {1.f, 0.f, -1.f});
    AffineTm swapXY({{0.f, 1.f, 0.f}, {1.f, 0.f, 0.f}, {0.f, 0.f, 1.f}});
    Float4 p = scale * Float4(1.f, 1.f, 1.f, 7.f);
    EXPECT_TRUE(allOf(p == Float4(3.f, 3.f, 3.f, 7.f)));
    EXPECT_EQ(scale * Rgb(1.f, 2.f, 0.f, 0.5f), Rgb(3.f, 6.f, -1.f, 0.5f));

    // a * b applies b first.
    Float4 v(1.f, 2.f, 3.f, 0.f);
    EXPECT_TRUE(allOf((scale * swapXY) * v == scale * (swapXY * v)));
    EXPECT_TRUE(allOf((swapXY * scale) * v == Float4(6.f, 3.f, 11.f, 0.f)));
    EXPECT_EQ(AFFINETM_IDENTITY * scale, scale);
    EXPECT_EQ(scale * AFFINETM_IDENTITY, scale);

    Optional<AffineTm> inverse = scale.getInverse();
    ASSERT_TRUE(inverse.hasValue());
    EXPECT_TRUE(allOf(*inverse * Float4(3.f, 6.f, -1.f, 5.f) == Float4(1.f, 2.f, 0.f, 5.f)));
    EXPECT_EQ(swapXY.getInverse().value(), swapXY);
    EXPECT_FLOAT_EQ(scale.getDeterminant(), 24.f);

    AffineTm singular({{1.f, 2.f, 3.f}, {2.f, 4.f, 6.f}, {0.f, 0.f, 1.f}});
    EXPECT_FALSE(singular.getInverse().hasValue());
    AffineTm tiny({{1e-30f, 0.f, 0.f}, {0.f, 1e-30f, 0.f}, {0.f, 0.f, 1e-30f}});
    EXPECT_FALSE(tiny.getInverse().hasValue()); // determinant underflows to 0
}

} // namespace
