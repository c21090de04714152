#include "tolvan/utility/ies.h"

#include "support/debug_capture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

using namespace Kalvex;

namespace {

IesLight parse(const std::string& text) {
    Io::TextInputStream in(makeAutoPtr<Io::MemoryInputStream>(text.data(), int64(text.size())),
                           Io::TextEncoding::Utf8);
    return IesParser::parseIesLight(in);
}

// An LM-63-1995 file with the given angles and candela table, multiplier and factors 1.
std::string iesFile(const std::string& vertical, const std::string& horizontal, const std::string& table,
                    int verticalCount, int horizontalCount) {
    return "IESNA:LM-63-1995\n[TEST] unit\n[MANUFAC] none\nTILT=NONE\n1 1000 1 " +
           std::to_string(verticalCount) + " " + std::to_string(horizontalCount) +
           " 1 2 0.1 0.1 0\n1 1 50\n" + vertical + "\n" + horizontal + "\n" + table + "\n";
}

// The unit direction of vertical angle gamma (0 = down) and azimuth phi, in degrees.
Dir direction(double gamma, double phi) {
    const double g = gamma * M_PI / 180, p = phi * M_PI / 180;
    return Dir(float(std::sin(g) * std::cos(p)), float(std::sin(g) * std::sin(p)), float(-std::cos(g)));
}

std::string errorOf(const std::string& text) {
    try {
        (void)parse(text);
    } catch (const Exception& e) {
        return e.what();
    }
    return "(parsed)";
}

} // namespace

TEST(IesParser, ReadsTheVersionsHeaderAndMultipliers) {
    const IesLight light = parse(iesFile("0 90", "0", "100 50", 2, 1));
    EXPECT_EQ(std::string(light.getHeader().toUtf8().cStr()), "IESNA:LM-63-1995[TEST] unit[MANUFAC] none");
    const auto& d = *light.getDistribution();
    EXPECT_FLOAT_EQ(d.getIntensity(Dir::DOWN), 100.f);
    EXPECT_NEAR(d.getIntensity(direction(90, 0)), 50.f, 1e-3);
    for (const double phi : {0.0, 45.0, 123.0, 270.0})
        EXPECT_NEAR(d.getIntensity(direction(45, phi)), 75.f, 1e-3) << phi;
    EXPECT_EQ(d.getIntensity(Dir::UP), 0.f); // the table ends at 90
    EXPECT_FLOAT_EQ(d.getMeanIntensity(), 75.f);

    // candela multiplier 2 × ballast factor 0.5 × ballast-lamp factor 3; the 1995 form has no such factor.
    const std::string numbers = "TILT=NONE\n1 1000 2 1 1 1 2 0 0 0\n0.5 3 50\n0\n0\n10\n";
    EXPECT_FLOAT_EQ(parse("[TEST] 1986 file\n" + numbers).getDistribution()->getIntensity(Dir::DOWN), 30.f);
    EXPECT_FLOAT_EQ(parse("IESNA91\n" + numbers).getDistribution()->getIntensity(Dir::DOWN), 30.f);
    EXPECT_FLOAT_EQ(parse("IESNA:LM-63-1995\n" + numbers).getDistribution()->getIntensity(Dir::DOWN), 10.f);
    EXPECT_EQ(
        std::string(
            parse("TILT=NONE\n1 1000 2 1 1 1 2 0 0 0\n0.5 3 50\n0\n0\n10\n").getHeader().toUtf8().cStr()),
        "");

    // Tilt data in the file is skipped; a tilt file is not read.
    const std::string tail = "1 1000 1 1 1 1 2 0 0 0\n1 1 50\n0\n0\n7\n";
    EXPECT_FLOAT_EQ(parse("IESNA91\nTILT=INCLUDE\n1\n3\n0 45 90\n1 0.9 0.5\n" + tail)
                        .getDistribution()
                        ->getIntensity(Dir::DOWN),
                    7.f);
    EXPECT_FLOAT_EQ(parse("IESNA91\nTILT= lamp.tlt \n" + tail).getDistribution()->getIntensity(Dir::DOWN),
                    7.f);
}

TEST(IesParser, MalformedFilesHaveTheirMessages) {
    const std::string head = "IESNA91\nTILT=NONE\n";
    const struct {
        std::string text;
        const char* message;
    } rows[] = {
        {"IESNA91\n[TEST] no tilt line\n", "bad_optional_access"},
        {"", "bad_optional_access"},
        {"IESNA91\nTILT=INCLUDE\n", "bad_optional_access"},
        {"IESNA91\nTILT=INCLUDE\n1\n-1\n", "Error in IES file: Wrong number of TILT angles: -1"},
        {"IESNA91\nTILT=INCLUDE\n1\n2\n0 90\n1\n", "Error in IES file: Invalid TILT data"},
        {head + "1 1000 1 10001 1 1 2 0 0 0\n", "Error in IES file: Invalid declaration of angles count: "
                                                "vertical/horizontal: 10001/1"},
        {head + "1 1000 1 3 -2 1 2 0 0 0\n", "Error in IES file: Invalid declaration of angles count: "
                                             "vertical/horizontal: 3/-2"},
        {head + "1 1000 x 3 2\n", "Error in IES file: Invalid declaration of angles count: "
                                  "vertical/horizontal: 0/0"},
        {head + "1 1000 1 1 1 1 2 0 0\n", "Error in IES file: Invalid luminaire dimensions declaration"},
        {head + "1 1000 1 1 1 1 2 0 0 0\n1 1\n", "Error in IES file: Invalid input watts declaration"},
        {head + "1 1000 1 2 1 1 2 0 0 0\n1 1 50\n0 up\n", "Error in IES file: Invalid vertical angle"},
        {head + "1 1000 1 2 1 1 2 0 0 0\n1 1 50\n0 90\n", "Error in IES file: Invalid horizontal angle"},
        // A table of 10,000 × 10,000 values declared by a few bytes: fails when the values run out,
        // without allocating the declared table first.
        {head + "1 1000 1 10000 10000 1 2 0 0 0\n1 1 50\n", "Error in IES file: Invalid vertical angle"},
        {head + "1 1000 1 2 1 1 2 0 0 0\n1 1 50\n0 90\n0\n100\n", "Error in IES file: Invalid tabular value"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(errorOf(row.text), row.message) << row.text;
}

TEST(DirectionDistribution, FoldsSymmetricTablesRoundTheCircle) {
    // Intensity grows with the azimuth inside each table: 10 at 0, 20 at the end of the table.
    const struct {
        const char* horizontal;
        int count;
        const char* table;
        double same[3];
        double different;
    } rows[] = {
        {"0 90", 2, "10 10 20 20", {30, 150, 210}, 60},   // quadrant symmetry
        {"0 180", 2, "10 10 20 20", {30, 330, 330}, 150}, // bilateral symmetry
        {"0 360", 2, "10 10 20 20", {30, 30, 30}, 330},   // no symmetry
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.horizontal);
        const IesLight light = parse(iesFile("0 90", row.horizontal, row.table, 2, row.count));
        const auto& d = *light.getDistribution();
        const float at30 = d.getIntensity(direction(40, 30));
        for (const double phi : row.same)
            EXPECT_NEAR(d.getIntensity(direction(40, phi)), at30, 1e-3) << phi;
        EXPECT_GT(std::abs(d.getIntensity(direction(40, row.different)) - at30), 0.5f);
    }
}

TEST(DirectionDistribution, InterpolatesBilinearlyBetweenSamples) {
    // Vertical 0, 45, 90; horizontal 0, 90; table by horizontal angle.
    const IesLight light = parse(iesFile("0 45 90", "0 90", "100 80 40 60 50 10", 3, 2));
    const auto& d = *light.getDistribution();
    // gamma 30 is 2/3 of the way from 0 to 45; azimuth 60 is 2/3 of the way from 0 to 90.
    const double at0 = 100 + (80 - 100) * 2.0 / 3, at90 = 60 + (50 - 60) * 2.0 / 3;
    EXPECT_NEAR(d.getIntensity(direction(30, 60)), at0 + (at90 - at0) * 2.0 / 3, 1e-2);
    EXPECT_NEAR(d.getIntensity(direction(90, 0)), 40, 1e-2);
    EXPECT_NEAR(d.getIntensity(direction(67.5, 90)), 30, 1e-2);
    EXPECT_EQ(d.getIntensity(direction(120, 10)), 0.f);
}

TEST(DirectionDistribution, FindsMainAndOneSidedDirections) {
    const IesLight down = parse(iesFile("0 45 90", "0", "100 50 0", 3, 1));
    EXPECT_EQ(down.getDistribution()->getMainDirection(), Dir::DOWN);
    EXPECT_EQ(down.getDistribution()->getOneSidedDirection(), Dir::DOWN);

    const IesLight up = parse(iesFile("90 135 180", "0", "0 50 100", 3, 1));
    EXPECT_EQ(up.getDistribution()->getMainDirection(), Dir::UP);
    EXPECT_EQ(up.getDistribution()->getOneSidedDirection(), Dir::UP);

    const IesLight both = parse(iesFile("0 90 180", "0", "100 50 40", 3, 1));
    EXPECT_EQ(both.getDistribution()->getMainDirection(), Dir::DOWN);
    EXPECT_EQ(both.getDistribution()->getOneSidedDirection(), Dir(0, 0, 0));
}

TEST(DirectionDistribution, ProposesResolutionAndWritesItsDebugLine) {
    TolvanTest::CapturedDebugOutput captured;
    const IesLight uniform = parse(iesFile("0 45 90", "0 90", "5 5 5 5 5 5", 3, 2));
    EXPECT_EQ(uniform.getDistribution()->getProposedResolution(), Pixel(2, 3));
    ASSERT_FALSE(captured.texts().empty());
    EXPECT_EQ(captured.texts().back(), "IES proposed res: 0 0 , final res: 2 3\n");

    // Steep changes propose more samples, at most 1000 in each direction.
    const IesLight steep = parse(iesFile("0 1 90", "0 1", "1 1000 1 1000 1 1", 3, 2));
    const Pixel resolution = steep.getDistribution()->getProposedResolution();
    EXPECT_EQ(resolution, Pixel(1000, 1000));
}

TEST(DirectionDistribution, MeanCosineOfAUniformLightIsOneHalf) {
    std::string vertical, table;
    for (int v = 0; v <= 180; ++v) {
        vertical += std::to_string(v) + " ";
        table += "100 ";
    }
    std::string horizontal;
    std::string fullTable;
    for (int h = 0; h <= 360; h += 2) {
        horizontal += std::to_string(h) + " ";
        fullTable += table;
    }
    const IesLight light = parse(iesFile(vertical, horizontal, fullTable, 181, 181));
    for (const Dir& axis : {Dir::DOWN, Dir::UP, Dir(1, 0, 0), Dir::normalized(1, 1, 1)})
        EXPECT_NEAR(light.getDistribution()->getMeanCosine(axis), 0.5f, 0.01f)
            << axis.toString().toUtf8().cStr();
}

TEST(DirectionDistribution, EmptyTablesGiveDarkness) {
    const IesLight light = parse(iesFile("", "", "", 0, 0));
    const auto& d = *light.getDistribution();
    EXPECT_EQ(d.getIntensity(Dir::DOWN), 0.f);
    EXPECT_EQ(d.getProposedResolution(), Pixel(0, 0));
    EXPECT_EQ(d.getMeanCosine(Dir::DOWN), 0.f);
}
