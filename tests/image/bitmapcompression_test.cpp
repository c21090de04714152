// Bitmap compression: regions, exact round trips through in-memory OpenEXR, the debug lines, and
// refusals of bad regions and bad bytes.
#include "tolvan/image/bitmapcompression.h"

#include "support/debug_capture.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

using namespace Kalvex;

namespace {

std::string utf8(const String& s) {
    return s.toUtf8().cStr();
}

BitmapImpl<float, 0> numbered(int w, int h) {
    BitmapImpl<float, 0> b(Pixel(w, h));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x)
            b(x, y) = float(y * 10 + x) + 0.125f;
    }
    return b;
}

TEST(BitmapCompression, RegionRoundTripIsExact) {
    const BitmapImpl<float, 0> bitmap = numbered(4, 4);
    TolvanTest::CapturedDebugOutput debug;
    const auto bytes = compressBitmap(bitmap, Bucket(Pixel(1, 1), Pixel(3, 3)));
    ASSERT_TRUE(bytes.hasValue()) << utf8(bytes.error());
    const auto back = decompressBitmap(*bytes);
    ASSERT_TRUE(back.hasValue()) << utf8(back.error());
    ASSERT_EQ(back->getSize(), Pixel(2, 2));
    EXPECT_EQ((*back)(0, 0), 11.125f);
    EXPECT_EQ((*back)(1, 0), 12.125f);
    EXPECT_EQ((*back)(0, 1), 21.125f);
    EXPECT_EQ((*back)(1, 1), 22.125f);

    const std::vector<std::string> lines = debug.texts();
    const std::string after = "Bitmap size after compression:  " + std::to_string(bytes->size()) + "\n";
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Bitmap size before compression: 16\n"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), after), lines.end());
    bool timed = false;
    for (const std::string& l : lines)
        timed = timed || l.find("Function call:  Kalvex::compressBitmap took ") != std::string::npos;
    EXPECT_TRUE(timed);

    // The bytes are an OpenEXR file with one float channel and the linear attributes.
    OIIO::Filesystem::IOMemReader reader(bytes->data(), size_t(bytes->size()));
    OIIO::Filesystem::IOProxy* proxy = &reader;
    OIIO::ImageSpec config;
    config.attribute("oiio:ioproxy", OIIO::TypeDesc::PTR, &proxy);
    auto in = OIIO::ImageInput::open("memory.exr", &config);
    ASSERT_TRUE(in);
    EXPECT_EQ(in->spec().nchannels, 1);
    EXPECT_EQ(in->spec().format, OIIO::TypeDesc::FLOAT);
    EXPECT_EQ(in->spec().get_string_attribute("oiio:ColorSpace"), "Linear");
}

TEST(BitmapCompression, WholeBitmapKeepsEveryBit) {
    BitmapImpl<float, 0> bitmap = numbered(37, 19);
    bitmap(0, 0) = std::numeric_limits<float>::infinity();
    bitmap(1, 0) = -0.f;
    bitmap(2, 0) = std::numeric_limits<float>::denorm_min();
    bitmap(3, 0) = -3.4e38f;
    const auto bytes = compressBitmap(bitmap, Bucket());
    ASSERT_TRUE(bytes.hasValue());
    const auto back = decompressBitmap(*bytes);
    ASSERT_TRUE(back.hasValue());
    ASSERT_EQ(back->getSize(), bitmap.getSize());
    EXPECT_EQ(std::memcmp(back->data(), bitmap.data(), 37 * 19 * sizeof(float)), 0);
}

TEST(BitmapCompression, RegionOutsideTheBitmap) {
    const BitmapImpl<float, 0> bitmap = numbered(4, 4);
    const struct {
        Bucket region;
        const char* text;
    } cases[] = {
        {Bucket(Pixel(0, 0), Pixel(5, 4)), "[(0, 0), (5, 4))"},
        {Bucket(Pixel(-1, 0), Pixel(2, 2)), "[(-1, 0), (2, 2))"},
        {Bucket(Pixel(0, 0), Pixel(4, 5)), "[(0, 0), (4, 5))"},
    };
    for (const auto& c : cases) {
        const auto result = compressBitmap(bitmap, c.region);
        ASSERT_FALSE(result.hasValue());
        EXPECT_EQ(utf8(result.error()), std::string("Region is not strictly inside the bitmap. Region: ") +
                                            c.text + ", bitmap size: (4, 4)");
    }
    // An empty or inverted region inside the bitmap cannot make a file.
    const auto empty = compressBitmap(bitmap, Bucket(Pixel(2, 2), Pixel(1, 3)));
    ASSERT_FALSE(empty.hasValue());
    EXPECT_EQ(utf8(empty.error()).rfind("Error compressing bitmap", 0), 0u);
}

TEST(BitmapCompression, BadBytesAreRefused) {
    const std::string garbage = "not an exr file at all, just some text";
    const auto result = decompressBitmap(ArrayView<const std::byte>(
        reinterpret_cast<const std::byte*>(garbage.data()), int64(garbage.size())));
    ASSERT_FALSE(result.hasValue());
    EXPECT_EQ(utf8(result.error()).rfind("Error decompressing bitmap -- ", 0), 0u) << utf8(result.error());
    EXPECT_FALSE(decompressBitmap({}).hasValue());

    // A truncated file fails too.
    const auto bytes = compressBitmap(numbered(8, 8), Bucket());
    ASSERT_TRUE(bytes.hasValue());
    EXPECT_EQ(utf8(decompressBitmap(ArrayView<const std::byte>(bytes->data(), bytes->size() - 10)).error())
                  .rfind("Error decompressing bitmap", 0),
              0u);

    // Three channels are not a bitmap.
    std::vector<unsigned char> file;
    {
        OIIO::Filesystem::IOVecOutput out(file);
        OIIO::Filesystem::IOProxy* proxy = &out;
        OIIO::ImageSpec spec(2, 2, 3, OIIO::TypeDesc::FLOAT);
        spec.attribute("oiio:ioproxy", OIIO::TypeDesc::PTR, &proxy);
        auto writer = OIIO::ImageOutput::create("exr");
        ASSERT_TRUE(writer->open("rgb.exr", spec));
        const float pixels[12] = {};
        ASSERT_TRUE(writer->write_image(OIIO::TypeDesc::FLOAT, pixels));
        ASSERT_TRUE(writer->close());
    }
    const auto rgb = decompressBitmap(
        ArrayView<const std::byte>(reinterpret_cast<const std::byte*>(file.data()), int64(file.size())));
    ASSERT_FALSE(rgb.hasValue());
    EXPECT_EQ(utf8(rgb.error()), "Error decompressing bitmap");
}

} // namespace
