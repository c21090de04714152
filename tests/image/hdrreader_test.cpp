// The Radiance HDR reader: header and resolution parsing with every message, the eight orientations, flat
// and run-length scanlines with their corruptions, exposure, bounds; files written by OpenImageIO read
// exactly as OpenImageIO reads them.
#include "tolvan/image/hdrreader.h"

#include "tolvan/io/arrayoutputstream.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace Kalvex;

namespace {

using Bytes = std::vector<uint8>;

std::string hdrFile(const std::string& headerLines, const std::string& resolution, const Bytes& data) {
    std::string text =
        "#?RADIANCE\n" + (headerLines.empty() ? "" : headerLines + "\n") + "\n" + resolution + "\n";
    text.append(reinterpret_cast<const char*>(data.data()), data.size());
    return text;
}

Image read(const std::string& file) {
    Io::MemoryInputStream in(file.data(), int64(file.size()));
    return readHdrImage(in);
}

std::string failure(const std::string& file) {
    try {
        (void)read(file);
    } catch (const Exception& e) {
        return e.what();
    }
    return "no failure";
}

// Flat pixels (10 + n, 20, 30, 128) for n = 0 .. count - 1.
Bytes numberedPixels(int count) {
    Bytes b;
    for (int n = 0; n < count; ++n)
        b.insert(b.end(), {uint8(10 + n), 20, 30, 128});
    return b;
}

TEST(HdrReader, HeaderMessages) {
    const std::string pixels(reinterpret_cast<const char*>(numberedPixels(6).data()), 24);
    const struct {
        std::string file;
        const char* message;
    } cases[] = {
        {"", "'#?RADIANCE'/'#?RGBE' missing in the header"},
        {"#?RADIANCE2\n\n-Y 2 +X 3\n" + pixels, "'#?RADIANCE'/'#?RGBE' missing in the header"},
        {"#?RADIANCE\r\n\n-Y 2 +X 3\n" + pixels, "'#?RADIANCE'/'#?RGBE' missing in the header"},
        {"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n",
         "Not a Radiance HDR file. Eof reached while parsing the header."},
        {"#?RADIANCE\nFORMAT = 32-bit_rle_xyze \n\n-Y 2 +X 3\n",
         "Unsupported Radiance HDR file format: 32-bit_rle_xyze"},
        {"#?RADIANCE\n\n", "Not a Radiance HDR file. Invalid header."},
        {"#?RADIANCE\n\n\n" + pixels, "Not a Radiance HDR file. Invalid header."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(failure(c.file), c.message) << c.file;
    EXPECT_EQ(read("#?RGBE\n\n-Y 2 +X 3\n" + pixels).descriptor().width, 3);
}

TEST(HdrReader, ResolutionLinePattern) {
    const Bytes pixels = numberedPixels(6);
    for (const char* bad : {"-Y 0 +X 3", "-Y 2 +X 03", "-Y 2 +X 3 ", " -Y 2 +X 3", "-Y 2  +X 3", "Y 2 X 3",
                            "-Z 2 +X 3", "-Y 2 +X", "-Y -2 +X 3", "*Y 2 +X 3"}) {
        EXPECT_EQ(failure(hdrFile("", bad, pixels)),
                  "Not a Radiance HDR file. Invalid header line that specifies the image resolution.")
            << bad;
    }
    // The character classes admit ',' as sign and axis, as the pattern reads.
    const Image odd = read(hdrFile("", ",Y 2 ,X 3", pixels));
    EXPECT_EQ(odd.descriptor().width, 3);
    EXPECT_EQ(odd.data()[0], 10); // no flip: file order
}

TEST(HdrReader, EveryOrientation) {
    // Memory pixel i holds file pixel order[i] for a 3 x 2 image.
    const struct {
        const char* line;
        int order[6];
    } cases[] = {
        {"-Y 2 +X 3", {3, 4, 5, 0, 1, 2}}, {"+Y 2 +X 3", {0, 1, 2, 3, 4, 5}},
        {"-Y 2 -X 3", {5, 4, 3, 2, 1, 0}}, {"+Y 2 -X 3", {2, 1, 0, 5, 4, 3}},
        {"+X 3 +Y 2", {0, 2, 4, 1, 3, 5}}, {"-X 3 +Y 2", {4, 2, 0, 5, 3, 1}},
        {"+X 3 -Y 2", {1, 3, 5, 0, 2, 4}}, {"-X 3 -Y 2", {5, 3, 1, 4, 2, 0}},
    };
    for (const auto& c : cases) {
        const Image image = read(hdrFile("FORMAT=32-bit_rle_rgbe\nSOFTWARE=x=y", c.line, numberedPixels(6)));
        ASSERT_EQ(image.descriptor().width, 3) << c.line;
        ASSERT_EQ(image.descriptor().height, 2) << c.line;
        EXPECT_EQ(image.descriptor().pixelFormat, Image::PixelFormat::Rgbe);
        EXPECT_EQ(image.descriptor().gamma, 1.f);
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(image.data()[i * 4], 10 + c.order[i]) << c.line << " pixel " << i;
    }
}

TEST(HdrReader, FlatScanlinesAndRepeats) {
    // Width 8 in flat form.
    const Image eight = read(hdrFile("", "-Y 1 +X 8", numberedPixels(8)));
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(eight.data()[i * 4], 10 + i);

    // A pixel, then 44 repeats and 1 << 8 more: 301 pixels.
    Bytes runs = {5, 6, 7, 130, 1, 1, 1, 44, 1, 1, 1, 1};
    const Image repeated = read(hdrFile("", "-Y 1 +X 301", runs));
    for (int i = 0; i < 301; ++i)
        ASSERT_EQ(repeated.data()[i * 4 + 2], 7) << i;

    const std::string corrupted = "Not a Radiance HDR file. Corrupted data.";
    EXPECT_EQ(failure(hdrFile("", "-Y 1 +X 300", runs)), corrupted); // repeat passes the end
    EXPECT_EQ(failure(hdrFile("", "-Y 1 +X 4", {1, 1, 1, 3, 5, 6, 7, 130})), corrupted); // repeat first
    // A repeat marker after shifts past 32 bits still cannot overflow.
    EXPECT_EQ(failure(hdrFile("", "-Y 1 +X 4", {5, 6, 7, 130, 1, 1, 1, 0, 1, 1, 1, 0, 1, 1,
                                                1, 0, 1, 1,   1, 0, 1, 1, 1, 0, 1, 1, 1, 9})),
              corrupted);
    EXPECT_EQ(failure(hdrFile("", "-Y 2 +X 3", numberedPixels(5))), "Could not load object from the stream.");
}

TEST(HdrReader, RunLengthScanlines) {
    // Width 10: R as one run, G as literals, B as run + literals, E as a run.
    Bytes line = {2, 2, 0, 10, 128 + 10, 50};
    line.push_back(10);
    for (int i = 0; i < 10; ++i)
        line.push_back(uint8(i));
    line.insert(line.end(), {128 + 4, 9, 6, 1, 2, 3, 4, 5, 6, 128 + 10, 130});
    const Image image = read(hdrFile("", "+Y 1 +X 10", line));
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(image.data()[i * 4 + 0], 50);
        EXPECT_EQ(image.data()[i * 4 + 1], i);
        EXPECT_EQ(image.data()[i * 4 + 2], i < 4 ? 9 : i - 3);
        EXPECT_EQ(image.data()[i * 4 + 3], 130);
    }

    const std::string corrupted = "Not a Radiance HDR file. Corrupted data.";
    Bytes wrongLength = line;
    wrongLength[3] = 11;
    EXPECT_EQ(failure(hdrFile("", "+Y 1 +X 10", wrongLength)), corrupted);
    Bytes longRun = line;
    longRun[4] = 128 + 11;
    EXPECT_EQ(failure(hdrFile("", "+Y 1 +X 10", longRun)), corrupted);
    Bytes longLiteral = line;
    longLiteral[6] = 11;
    EXPECT_EQ(failure(hdrFile("", "+Y 1 +X 10", longLiteral)), corrupted);
    const Bytes truncated(line.begin(), line.end() - 1);
    EXPECT_EQ(failure(hdrFile("", "+Y 1 +X 10", truncated)), "Could not load object from the stream.");
    EXPECT_EQ(failure(hdrFile("", "+Y 1 +X 10", {2, 2, 0})), "Could not load object from the stream.");

    // A flat pixel (2, 2, B, E) with B >= 128 is a pixel, not the start of a run-length scanline.
    const Image flat = read(hdrFile("", "+Y 1 +X 1", {2, 2, 200, 130}));
    EXPECT_EQ(flat.data()[2], 200);
}

TEST(HdrReader, ExposureAndGamma) {
    const Bytes pixels = {127, 63, 31, 129, 0, 0, 0, 0};
    const Image plain = read(hdrFile("EXPOSURE=1\nGAMMA=2.2", "-Y 1 +X 2", pixels));
    EXPECT_EQ(plain.data()[0], 127);
    EXPECT_FLOAT_EQ(plain.descriptor().gamma, 2.2f);

    const Image halved = read(hdrFile("EXPOSURE=4\nEXPOSURE = 2", "-Y 1 +X 2", pixels));
    // Decoded, halved and encoded again (encoding truncates the mantissas).
    uint8 expected[4];
    encodeRgbe(decodeRgbe(pixels.data()) * 0.5f, expected);
    EXPECT_EQ(Bytes(halved.data().begin(), halved.data().begin() + 4), Bytes(expected, expected + 4));
    EXPECT_NEAR(decodeRgbe(halved.data().data()).r, 0.99609375f / 2, 0.002f);
    EXPECT_EQ(halved.data()[7], 0); // black stays black

    for (const char* ignored : {"EXPOSURE=0", "EXPOSURE=-3", "EXPOSURE=abc", "EXPOSURE="})
        EXPECT_EQ(read(hdrFile(ignored, "-Y 1 +X 2", pixels)).data()[0], 127) << ignored;
    for (const char* ignored : {"GAMMA=0", "GAMMA=-1", "GAMMA=x", "GAMMA= "})
        EXPECT_EQ(read(hdrFile(ignored, "-Y 1 +X 2", pixels)).descriptor().gamma, 1.f) << ignored;
}

TEST(HdrReader, SharedExponent) {
    uint8 bytes[4];
    encodeRgbe(Rgb(1.f, 0.5f, 0.25f), bytes);
    EXPECT_EQ(bytes[0], 127);
    EXPECT_EQ(bytes[1], 63);
    EXPECT_EQ(bytes[2], 31);
    EXPECT_EQ(bytes[3], 129);
    const Rgb c = decodeRgbe(bytes);
    EXPECT_EQ(c.r, 0.99609375f);
    EXPECT_EQ(c.g, 0.49609375f);
    EXPECT_EQ(c.b, 0.24609375f);

    encodeRgbe(Rgb(1e-33f, -5.f, 0.f), bytes);
    EXPECT_EQ(bytes[3], 0);
    encodeRgbe(Rgb(-1.f, 2.f, 0.f), bytes);
    EXPECT_EQ(bytes[0], 0);
    const uint8 zero[4] = {200, 100, 50, 0};
    EXPECT_EQ(decodeRgbe(zero), Rgb(0.f, 0.f, 0.f));
    encodeRgbe(Rgb(INFINITY, 0.f, 0.f), bytes);
    EXPECT_EQ(bytes[3], 255);
}

TEST(HdrReader, RefusesSizesBeforeAllocating) {
    EXPECT_EQ(std::string(failure(hdrFile("", "-Y 100000 +X 100000", numberedPixels(4))))
                  .rfind("Image too large", 0),
              0u);
    EXPECT_EQ(std::string(failure(hdrFile("", "-Y 3000000000 +X 3", numberedPixels(4))))
                  .rfind("Image too large", 0),
              0u);
    // Allowed by the limit, but the data cannot hold 50000 scanlines.
    EXPECT_EQ(failure(hdrFile("", "-Y 50000 +X 50000", numberedPixels(4))),
              "Could not load object from the stream.");
}

// ---- Files written by OpenImageIO ----

class HdrFromOiio : public ::testing::TestWithParam<int> {
protected:
    void TearDown() override { std::remove(mFile.c_str()); }
    std::string mFile =
        "/tmp/tolvan_hdr_" + std::to_string(::getpid()) + "_" + std::to_string(GetParam()) + ".hdr";
};

TEST_P(HdrFromOiio, ReadsWhatOpenImageIoReads) {
    // OpenImageIO writes scanlines of 8 to 32767 pixels run-length encoded, others flat.
    const int width = GetParam();
    const int height = 3;
    std::vector<float> pixels(size_t(width) * height * 3);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = (i % 7 == 0) ? 0.f : std::ldexp(float(i % 13 + 1) / 13.f, int(i % 5) - 2);
    {
        auto out = OIIO::ImageOutput::create(mFile);
        ASSERT_TRUE(out);
        ASSERT_TRUE(out->open(mFile, OIIO::ImageSpec(width, height, 3, OIIO::TypeDesc::FLOAT)));
        ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, pixels.data()));
        ASSERT_TRUE(out->close());
    }
    std::vector<float> theirs(pixels.size());
    {
        auto in = OIIO::ImageInput::open(mFile);
        ASSERT_TRUE(in);
        ASSERT_TRUE(in->read_image(0, 0, 0, 3, OIIO::TypeDesc::FLOAT, theirs.data()));
    }
    Io::FileInputStream stream(Io::Path(String::fromUtf8(mFile.c_str())));
    const Image ours = readHdrImage(stream);
    ASSERT_EQ(ours.descriptor().width, width);
    ASSERT_EQ(ours.descriptor().height, height);
    // OpenImageIO decodes the mantissa without the half-step: the bytes are recovered exactly from it.
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const uint8* p = ours.data().data() + (int64(height - 1 - y) * width + x) * 4;
            const float* t = theirs.data() + (size_t(y) * width + x) * 3;
            const float f = p[3] == 0 ? 0.f : std::ldexp(1.f, int(p[3]) - 136);
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(float(p[c]) * f, t[c]) << x << "," << y << " channel " << c;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(FlatAndRunLength, HdrFromOiio, ::testing::Values(5, 40, 300));

} // namespace
