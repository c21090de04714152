// Image loading and saving: every loadable format read back pixel by pixel against OpenImageIO's own
// reading, layouts and gamma rules, streams and their adapters, size limits, saving every savable
// format and pixel format, and the failure messages.
#include "image_support.h"

#include "tolvan/image/image.h"
#include "tolvan/image/openimageio.h"
#include "tolvan/io/arrayoutputstream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

using namespace Kalvex;

namespace {

using TolvanTest::ImageDirTest;

std::string utf8(const String& s) {
    return s.toUtf8().cStr();
}

std::string messageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.what();
    }
    return "no failure";
}

// Distinct 8-bit samples for a w x h image of `channels`, top row first.
std::vector<uint8> gradient(int w, int h, int channels) {
    std::vector<uint8> v(size_t(w * h * channels));
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = uint8((i * 37 + 11) % 251);
    return v;
}

// The stored (not yet linearised) value of channel c of pixel (x, y), y = 0 at the bottom.
float storedValue(const Image& image, int x, int y, int c) {
    const Image::Descriptor& d = image.descriptor();
    const int64 at = (int64(y) * d.width + x) * d.pixelFormatNumberOfBytes();
    const bool eightBit = d.pixelFormat == Image::PixelFormat::Rgb8 ||
                          d.pixelFormat == Image::PixelFormat::Rgba8 ||
                          d.pixelFormat == Image::PixelFormat::Gray8;
    if (eightBit) return image.data()[at + c] / 255.f;
    float f = 0.f;
    std::memcpy(&f, image.data().data() + at + c * 4, 4);
    return f;
}

// Every channel of every pixel equals OpenImageIO's reading of the same file (rows flipped).
void expectSameAsOiio(const Image& image, const std::vector<float>& theirs, const OIIO::ImageSpec& spec) {
    const Image::Descriptor& d = image.descriptor();
    ASSERT_EQ(d.width, spec.width);
    ASSERT_EQ(d.height, spec.height);
    ASSERT_LE(d.pixelFormatChannelCount(), spec.nchannels);
    for (int y = 0; y < d.height; ++y) {
        for (int x = 0; x < d.width; ++x) {
            for (int c = 0; c < d.pixelFormatChannelCount(); ++c) {
                const float t = theirs[(size_t(y) * d.width + x) * spec.nchannels + c];
                ASSERT_NEAR(storedValue(image, x, d.height - 1 - y, c), t, 1e-6f)
                    << x << "," << y << "," << c;
            }
        }
    }
}

TEST_F(ImageDirTest, LoadsEveryWritableFormatAsOpenImageIoReadsIt) {
    const struct {
        const char* name;
        int channels;
        OIIO::TypeDesc type;
        Image::PixelFormat expected;
    } cases[] = {
        {"a.bmp", 3, OIIO::TypeDesc::UINT8, Image::PixelFormat::Rgb8},
        {"a.gif", 3, OIIO::TypeDesc::UINT8, Image::PixelFormat::Rgb8},
        {"a.ico", 4, OIIO::TypeDesc::UINT8, Image::PixelFormat::Rgba8},
        {"a.iff", 3, OIIO::TypeDesc::UINT8, Image::PixelFormat::Rgb8},
        {"a.jpg", 3, OIIO::TypeDesc::UINT8, Image::PixelFormat::Rgb8},
        {"a.jp2", 3, OIIO::TypeDesc::UINT8, Image::PixelFormat::Rgb8},
        {"a.png", 4, OIIO::TypeDesc::UINT8, Image::PixelFormat::Rgba8},
        {"a.rla", 3, OIIO::TypeDesc::UINT8, Image::PixelFormat::Rgb8},
        {"a.sgi", 3, OIIO::TypeDesc::UINT8, Image::PixelFormat::Rgb8},
        {"a.tga", 4, OIIO::TypeDesc::UINT8, Image::PixelFormat::Rgba8},
        {"a.tif", 3, OIIO::TypeDesc::UINT16, Image::PixelFormat::RgbFloat},
        {"a.exr", 4, OIIO::TypeDesc::HALF, Image::PixelFormat::RgbaFloat},
        {"g.png", 1, OIIO::TypeDesc::UINT8, Image::PixelFormat::Gray8},
        {"g.exr", 1, OIIO::TypeDesc::FLOAT, Image::PixelFormat::GrayFloat},
    };
    const int w = 32, h = 32; // JPEG 2000 needs at least 32 x 32 / 2^(resolutions - 1)
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8> bytes = gradient(w, h, c.channels);
        std::vector<float> floats(bytes.begin(), bytes.end());
        for (float& f : floats)
            f /= 255.f;
        OIIO::ImageSpec spec(w, h, c.channels, c.type);
        if (c.type == OIIO::TypeDesc::UINT8) {
            writeWithOiio(c.name, spec, bytes.data());
        } else {
            spec.format = OIIO::TypeDesc::FLOAT;
            auto out = OIIO::ImageOutput::create(native(c.name));
            OIIO::ImageSpec fileSpec(w, h, c.channels, c.type);
            ASSERT_TRUE(out->open(native(c.name), fileSpec));
            ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, floats.data()));
            ASSERT_TRUE(out->close());
        }
        OIIO::ImageSpec theirSpec;
        const std::vector<float> theirs = readWithOiio(c.name, &theirSpec);
        const Image image(path(c.name), {});
        EXPECT_EQ(image.descriptor().pixelFormat, c.expected);
        EXPECT_TRUE(image.descriptor().isValid());
        expectSameAsOiio(image, theirs, theirSpec);
    }
}

TEST_F(ImageDirTest, PngGammaAndOrientation) {
    // 2 x 1 8-bit RGB: sRGB gives gamma 2.2, getRgba raises stored values to it, alpha 1.
    const uint8 px[] = {255, 128, 0, 10, 20, 30};
    writeWithOiio("p.png", OIIO::ImageSpec(2, 1, 3, OIIO::TypeDesc::UINT8), px);
    const Image png(path("p.png"), ImageFormat::Png);
    EXPECT_EQ(png.descriptor().pixelFormat, Image::PixelFormat::Rgb8);
    EXPECT_FLOAT_EQ(png.descriptor().gamma, 2.2f);
    const Rgb c = png.getRgba(0, 0);
    EXPECT_FLOAT_EQ(c.r, std::pow(255 * 0.003921569f, 2.2f));
    EXPECT_FLOAT_EQ(c.g, std::pow(128 * 0.003921569f, 2.2f));
    EXPECT_EQ(c.b, 0.f);
    EXPECT_EQ(c.a, 1.f);

    // Row 0 in memory is the file's bottom scanline; loadImage puts the top scanline at row 0.
    const uint8 column[] = {200, 0, 0, 0, 0, 100};
    writeWithOiio("c.png", OIIO::ImageSpec(1, 2, 3, OIIO::TypeDesc::UINT8), column);
    const Image image(path("c.png"), {});
    EXPECT_EQ(image.data()[0], 0);
    EXPECT_EQ(image.data()[3], 200);
    BitmapImpl<Rgb, 1> colour;
    BitmapImpl<float, 1> alpha;
    loadImage(path("c.png"), colour, &alpha, {});
    EXPECT_EQ(colour.getSize(), Pixel(1, 2));
    EXPECT_FLOAT_EQ(colour(0, 0).r, std::pow(200 * 0.003921569f, 2.2f));
    EXPECT_FLOAT_EQ(colour(0, 1).b, std::pow(100 * 0.003921569f, 2.2f));
    EXPECT_EQ(alpha(0, 1), 1.f);
}

TEST_F(ImageDirTest, ChannelLayouts) {
    // A 4-channel TIFF with photometric RGB and no declared alpha: channel 3 is alpha.
    {
        OIIO::ImageSpec spec(2, 2, 4, OIIO::TypeDesc::UINT8);
        spec.alpha_channel = -1;
        spec.channelnames = {"R", "G", "B", "X"};
        const std::vector<uint8> px = gradient(2, 2, 4);
        writeWithOiio("four.tif", spec, px.data());
        const Image image(path("four.tif"), {});
        EXPECT_EQ(image.descriptor().pixelFormat, Image::PixelFormat::Rgba8);
        EXPECT_FLOAT_EQ(image.getRgba(0, 1).a, px[3] * 0.003921569f); // top-left pixel
    }
    // Two channels with alpha: gray copied to red, green and blue.
    {
        OIIO::ImageSpec spec(1, 1, 2, OIIO::TypeDesc::FLOAT);
        spec.channelnames = {"Y", "A"};
        spec.alpha_channel = 1;
        const float px[] = {0.25f, 0.75f};
        writeWithOiio("ya.exr", spec, px);
        const Image image(path("ya.exr"), {});
        EXPECT_EQ(image.descriptor().pixelFormat, Image::PixelFormat::RgbaFloat);
        EXPECT_EQ(image.getRgba(0, 0), Rgb(0.25f, 0.25f, 0.25f, 0.75f));
    }
    // Two channels without alpha are refused, naming both channels.
    {
        OIIO::ImageSpec spec(1, 1, 2, OIIO::TypeDesc::HALF);
        spec.channelnames = {"U", "V"};
        spec.alpha_channel = -1;
        const float px[] = {0.5f, 0.5f};
        auto out = OIIO::ImageOutput::create(native("uv.exr"));
        ASSERT_TRUE(out->open(native("uv.exr"), spec));
        ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, px));
        ASSERT_TRUE(out->close());
        EXPECT_EQ(messageOf([&] { (void)Image(path("uv.exr"), {}); }),
                  "Unsupported channel format: U (half), V (half)");
    }
    // Named R, G, B among other channels are picked by name.
    {
        OIIO::ImageSpec spec(1, 1, 5, OIIO::TypeDesc::FLOAT);
        spec.channelnames = {"Z", "B", "G", "R", "W"};
        spec.alpha_channel = -1;
        const float px[] = {9.f, 3.f, 2.f, 1.f, 8.f};
        writeWithOiio("named.exr", spec, px);
        OIIO::ImageSpec read;
        const std::vector<float> theirs = readWithOiio("named.exr", &read); // EXR sorts channels by name
        const Image image(path("named.exr"), {});
        EXPECT_EQ(image.getRgba(0, 0), Rgb(1.f, 2.f, 3.f, 1.f));
    }
}

TEST_F(ImageDirTest, StreamsAndAdapters) {
    const std::vector<uint8> px = gradient(4, 3, 3);
    writeWithOiio("s.png", OIIO::ImageSpec(4, 3, 3, OIIO::TypeDesc::UINT8), px.data());
    const Image byPath(path("s.png"), {});
    const std::string file = readFile("s.png");

    // Memory stream through the adapter, also from a position after a prefix.
    const std::string prefixed = "JUNK" + file;
    Io::MemoryInputStream memory(prefixed.data(), int64(prefixed.size()));
    memory.seekg(4);
    const Image fromMemory(memory, ImageFormat::Png);
    EXPECT_EQ(fromMemory.data(), byPath.data());

    // A file stream at its start is reopened by name; elsewhere it is read through the adapter.
    writeFile("prefixed.png", prefixed);
    Io::FileInputStream atStart(path("s.png"));
    EXPECT_EQ(Image(atStart, ImageFormat::Png).data(), byPath.data());
    Io::FileInputStream inside(path("prefixed.png"));
    inside.seekg(4);
    EXPECT_EQ(Image(inside, ImageFormat::Png).data(), byPath.data());

    // Radiance HDR from a stream goes to the library's reader.
    const std::string hdr = std::string("#?RADIANCE\n\n-Y 1 +X 1\n") + std::string("\x80\x40\x20\x81", 4);
    Io::MemoryInputStream hdrStream(hdr.data(), int64(hdr.size()));
    EXPECT_EQ(Image(hdrStream, ImageFormat::Hdr).descriptor().pixelFormat, Image::PixelFormat::Rgbe);

    // A reader that cannot read through a proxy says so.
    Io::MemoryInputStream sgi(file.data(), int64(file.size()));
    EXPECT_EQ(makeImage(sgi, ImageFormat::Sgi).error().toUtf8().cStr(),
              std::string("Loading image format 'SGI File Format' from a stream is not supported"));

    // Garbage through the adapter fails with OpenImageIO's reason.
    const std::string garbage(200, 'x');
    Io::MemoryInputStream bad(garbage.data(), int64(garbage.size()));
    EXPECT_EQ(utf8(makeImage(bad, ImageFormat::Png).error()).rfind("Error reading image from stream", 0), 0u);

    // The output adapter writes an EXR into a memory stream that reads back the same.
    Io::ArrayOutputStream out;
    {
        SeekableBinaryOutputStreamOiioAdapter proxy(out);
        OIIO::Filesystem::IOProxy* pointer = &proxy;
        OIIO::ImageSpec spec(2, 1, 1, OIIO::TypeDesc::FLOAT);
        spec.attribute("oiio:ioproxy", OIIO::TypeDesc::PTR, &pointer);
        auto writer = OIIO::ImageOutput::create("exr");
        ASSERT_TRUE(writer->open("x.exr", spec));
        const float values[] = {1.5f, -2.f};
        ASSERT_TRUE(writer->write_image(OIIO::TypeDesc::FLOAT, values));
        ASSERT_TRUE(writer->close());
        proxy.rethrowFailure();
    }
    Io::MemoryInputStream exr(out.data().data(), out.data().size());
    const Image fromExr(exr, ImageFormat::Exr);
    EXPECT_EQ(fromExr.getRgba(1, 0), Rgb(-2.f, -2.f, -2.f, 1.f));
}

// A stream that fails after `limit` bytes, as a broken device would.
class FailingStream : public Io::MemoryInputStream {
public:
    FailingStream(const std::string& data, int64 limit)
        : MemoryInputStream(data.data(), int64(data.size()))
        , mLimit(limit) {}

protected:
    int64 readImpl(void* dst, int64 count) override {
        if (tellg() + count > mLimit) throw Exception("device gone");
        return MemoryInputStream::readImpl(dst, count);
    }

private:
    int64 mLimit;
};

TEST_F(ImageDirTest, StreamFailuresReachTheCaller) {
    const std::vector<uint8> px = gradient(16, 16, 3);
    writeWithOiio("f.tif", OIIO::ImageSpec(16, 16, 3, OIIO::TypeDesc::UINT8), px.data());
    const std::string file = readFile("f.tif");
    for (const int64 limit : {int64(4), int64(file.size()) / 2}) {
        FailingStream stream(file, limit);
        EXPECT_EQ(messageOf([&] { (void)Image(stream, ImageFormat::Tiff); }), "device gone") << limit;
    }
}

TEST_F(ImageDirTest, SizeLimits) {
    const std::vector<uint8> px = gradient(64, 64, 3);
    writeWithOiio("big.png", OIIO::ImageSpec(64, 64, 3, OIIO::TypeDesc::UINT8), px.data());
    EXPECT_EQ(getImageSizeLimit(), uint64(16) << 30);
    setImageSizeLimit(64 * 64 * 3 - 1);
    const std::string refused = messageOf([&] { (void)Image(path("big.png"), {}); });
    setImageSizeLimit(64 * 64 * 3);
    EXPECT_EQ(Image(path("big.png"), {}).descriptor().width, 64);
    setImageSizeLimit(0);
    EXPECT_EQ(getImageSizeLimit(), uint64(16) << 30);
    EXPECT_EQ(refused, "Image too large: image '" + native("big.png") +
                           "' needs 12288 bytes of pixels, more than the limit of 12287 bytes");

    // An uncompressed BMP whose header claims far more pixels than the file holds.
    writeWithOiio("small.bmp", OIIO::ImageSpec(4, 4, 3, OIIO::TypeDesc::UINT8), px.data());
    std::string bmp = readFile("small.bmp");
    const int32_t huge = 30000;
    std::memcpy(&bmp[18], &huge, 4);
    std::memcpy(&bmp[22], &huge, 4);
    writeFile("lying.bmp", bmp);
    EXPECT_EQ(messageOf([&] { (void)Image(path("lying.bmp"), {}); }),
              "Error reading image: image '" + native("lying.bmp") + "' is shorter than its pixels need");
}

TEST_F(ImageDirTest, LoadFailures) {
    const std::string missing = native("missing.png");
    const Expected<Image, String> result = makeImage(path("missing.png"), {});
    ASSERT_FALSE(result.hasValue());
    EXPECT_EQ(utf8(result.error()).rfind("Error reading image '" + missing + "'", 0), 0u)
        << utf8(result.error());
    EXPECT_EQ(utf8(makeImage(path("missing.hdr"), {}).error()),
              "Cannot open/read/write file '" + native("missing.hdr") + "'");
    EXPECT_EQ(utf8(makeImage(path("x.unknown"), {}).error()),
              "Unrecognized image file format for filename \"" + native("x.unknown") + "\"");
    EXPECT_EQ(utf8(makeImage(Io::Path(), ImageFormat::Png).error()).rfind("Error reading image ''", 0), 0u);
    // A file cut short after its header (not a PNG: OpenImageIO 2.4 leaks a string on a truncated PNG).
    const std::vector<uint8> px = gradient(8, 8, 3);
    writeWithOiio("whole.tif", OIIO::ImageSpec(8, 8, 3, OIIO::TypeDesc::UINT8), px.data());
    writeFile("truncated.tif", readFile("whole.tif").substr(0, 40));
    EXPECT_EQ(utf8(makeImage(path("truncated.tif"), {}).error()).rfind("Error reading image", 0), 0u);
}

TEST(Image, StopsAndDescriptor) {
    EXPECT_EQ(messageOf([] { (void)Image::getPixelFormatChannelCount(Image::PixelFormat(99)); }),
              "STOP@image/image.cpp(304)");
    EXPECT_EQ(messageOf([] { (void)Image::getPixelFormatNumberOfBytes(Image::PixelFormat(-1)); }),
              "STOP@image/image.cpp(327)");
    EXPECT_EQ(messageOf([] { (void)Image().getRgba(0, 0); }), "STOP@image/image.cpp(438)");

    const int channels[] = {0, 3, 4, 3, 4, 1, 1, 3};
    const int bytes[] = {0, 3, 4, 12, 16, 1, 4, 4};
    for (int f = 0; f < 8; ++f) {
        EXPECT_EQ(Image::getPixelFormatChannelCount(Image::PixelFormat(f)), channels[f]);
        EXPECT_EQ(Image::getPixelFormatNumberOfBytes(Image::PixelFormat(f)), bytes[f]);
    }
    Image::Descriptor d{3, 2, Image::PixelFormat::RgbFloat, 1.f};
    EXPECT_TRUE(d.isValid());
    EXPECT_EQ(d.requiredBufferSize(), 72);
    EXPECT_EQ(d.requiredBufferSize(Pixel(100000, 100000)), int64(120000000000));
    for (const float gamma : {0.f, -1.f, NAN, INFINITY}) {
        d.gamma = gamma;
        EXPECT_FALSE(d.isValid()) << gamma;
    }
    EXPECT_FALSE((Image::Descriptor{0, 2, Image::PixelFormat::Rgb8, 1.f}.isValid()));
    EXPECT_FALSE((Image::Descriptor{2, 2, Image::PixelFormat::Invalid, 1.f}.isValid()));

    Image image(Image::Descriptor{1, 1, Image::PixelFormat::Gray8, 1.f}, Image::Data(1, uint8(51)));
    Image moved(std::move(image));
    EXPECT_EQ(image.data().size(), 0);
    EXPECT_FALSE(image.descriptor().isValid());
    EXPECT_FLOAT_EQ(moved.getRgba(0, 0).g, 0.2f);
    EXPECT_EQ(messageOf([] {
                  (void)Image(Image::Descriptor{2, 2, Image::PixelFormat::Rgb8, 1.f}, Image::Data(5));
              }),
              "Image data does not match the size of its descriptor");
}

// ---- Saving ----

// A 32 x 32 source (JPEG 2000 needs that much) with values spread over [0, 1] and alpha beyond it
// (clamped when saved).
constexpr int SW = 32, SH = 32;
struct Source {
    BitmapImpl<Rgb, 1> colour{Pixel(SW, SH)};
    BitmapImpl<float, 1> alpha{Pixel(SW, SH)};
    Source() {
        for (int x = 0; x < SW; ++x) {
            for (int y = 0; y < SH; ++y) {
                colour(x, y) = Rgb(float(x) / (SW - 1), float(y) / (SH - 1), float(x + y) / (SW + SH - 2));
                alpha(x, y) = float(x) / (SW / 2) - 0.25f;
            }
        }
    }
};

TEST_F(ImageDirTest, SavesEveryFormatAndPixelFormat) {
    const Source source;
    const RgbBitmapIterator iterator(source.colour, &source.alpha);
    RgbBitmapIterator& it = const_cast<RgbBitmapIterator&>(iterator);
    int saved = 0;
    for (const ImageFormatDescriptor& row : getSupportedImageFormats()) {
        if (!row.features.has(ImageFormatFeature::Save)) continue;
        for (const ImageSavePixelFormat pf : getImageSavePixelFormats()) {
            if (!row.savePixelFormats.has(pf) || pf == ImageSavePixelFormat::DEFAULT) continue;
            const std::string name = "out_" + utf8(toString(pf).value()) + "." + utf8(row.extensions[0]);
            SCOPED_TRACE(name);
            saveImage(path(name), it, true, {}, {pf, true});
            ++saved;
            OIIO::ImageSpec spec;
            (void)readWithOiio(name, &spec);
            if (row.format != ImageFormat::Hdr && row.format != ImageFormat::Jpeg) {
                const OIIO::TypeDesc expected =
                    pf == ImageSavePixelFormat::UINT8_RGB          ? OIIO::TypeDesc::UINT8
                    : pf == ImageSavePixelFormat::UINT16_RGB       ? OIIO::TypeDesc::UINT16
                    : pf == ImageSavePixelFormat::FLT16_LINEAR_RGB ? OIIO::TypeDesc::HALF
                                                                   : OIIO::TypeDesc::FLOAT;
                EXPECT_EQ(spec.format, expected);
            }
            const bool alpha = row.features.has(ImageFormatFeature::Alpha);
            // OpenImageIO 2.4's IFF plug-in stores 16-bit alpha scaled by 1/256: its own reading differs
            // from what it was given, so only the colour is compared there.
            const bool alphaComparable =
                alpha && !(row.format == ImageFormat::Iff && pf == ImageSavePixelFormat::UINT16_RGB);
            EXPECT_EQ(spec.nchannels, alpha ? 4 : 3);
            if (row.format == ImageFormat::Png) {
                EXPECT_FLOAT_EQ(spec.get_float_attribute("oiio:Gamma"), 2.2f);
            }

            // Read back linear: within a quantisation step (JPEG and shared exponents are coarser).
            BitmapImpl<Rgb, 1> back;
            BitmapImpl<float, 1> backAlpha;
            loadImage(path(name), back, &backAlpha, {});
            ASSERT_EQ(back.getSize(), Pixel(SW, SH));
            const float tolerance = row.format == ImageFormat::Jpeg         ? 0.15f
                                    : pf == ImageSavePixelFormat::UINT8_RGB ? 0.01f
                                    : row.format == ImageFormat::Hdr        ? 0.008f
                                                                            : 0.001f;
            for (int x = 0; x < SW; ++x) {
                for (int y = 0; y < SH; ++y) {
                    ASSERT_NEAR(back(x, y).r, source.colour(x, y).r, tolerance) << x << "," << y;
                    ASSERT_NEAR(back(x, y).g, source.colour(x, y).g, tolerance) << x << "," << y;
                    ASSERT_NEAR(back(x, y).b, source.colour(x, y).b, tolerance) << x << "," << y;
                    if (alphaComparable) {
                        ASSERT_NEAR(backAlpha(x, y), std::clamp(source.alpha(x, y), 0.f, 1.f), 0.004f);
                    }
                }
            }
        }
    }
    EXPECT_EQ(saved, 20);
}

TEST_F(ImageDirTest, SaveGammaRules) {
    BitmapImpl<Rgb, 1> colour(Pixel(1, 1));
    colour(0, 0) = Rgb(0.5f, 0.25f, -0.25f);
    RgbBitmapIterator source(colour);

    // OpenEXR by default: 32-bit floats, linear, gamma 1; a linear source is not converted.
    saveImage(path("lin.exr"), source, true, {}, {});
    OIIO::ImageSpec spec;
    std::vector<float> v = readWithOiio("lin.exr", &spec);
    EXPECT_EQ(spec.format, OIIO::TypeDesc::FLOAT);
    EXPECT_EQ(spec.nchannels, 3);
    EXPECT_EQ(spec.get_string_attribute("oiio:ColorSpace"), "Linear");
    EXPECT_EQ(v, (std::vector<float>{0.5f, 0.25f, -0.25f}));

    // A non-linear source saved as floats is raised to 2.2 (sign kept).
    saveImage(path("gamma.exr"), source, false, {}, {});
    v = readWithOiio("gamma.exr");
    EXPECT_FLOAT_EQ(v[0], std::pow(0.5f, 2.2f));
    EXPECT_FLOAT_EQ(v[2], -std::pow(0.25f, 2.2f));

    // A PNG from a linear source holds the values raised to 1/2.2; from a non-linear one as they are.
    saveImage(path("lin.png"), source, true, {}, {ImageSavePixelFormat::UINT16_RGB, false});
    v = readWithOiio("lin.png");
    EXPECT_NEAR(v[0], std::pow(0.5f, 0.45454544f), 1.f / 65535);
    EXPECT_EQ(v[2], 0.f);
    saveImage(path("raw.png"), source, false, {}, {ImageSavePixelFormat::UINT16_RGB, false});
    EXPECT_NEAR(readWithOiio("raw.png")[1], 0.25f, 1.f / 65535);

    // Round trip: linear in, linear out.
    BitmapImpl<Rgb, 1> back;
    loadImage(path("lin.png"), back, nullptr, ImageFormat::Png);
    EXPECT_NEAR(back(0, 0).r, 0.5f, 1e-4f);
    EXPECT_NEAR(back(0, 0).g, 0.25f, 1e-4f);

    // Alpha is written only when asked and the source has it.
    saveImage(path("noalpha.png"), source, true, {}, {ImageSavePixelFormat::UINT8_RGB, true});
    (void)readWithOiio("noalpha.png", &spec);
    EXPECT_EQ(spec.nchannels, 3);
}

TEST_F(ImageDirTest, SaveRefusals) {
    BitmapImpl<Rgb, 1> colour(Pixel(1, 1));
    RgbBitmapIterator source(colour);
    const struct {
        const char* name;
        ImageSavePixelFormat pf;
        const char* message;
    } cases[] = {
        {"x.cin", ImageSavePixelFormat::DEFAULT, "Saving to image format 'Kodak Cineon' is not supported"},
        {"x.gif", ImageSavePixelFormat::UINT8_RGB,
         "Saving to image format 'Graphics Interchange Format' is not supported"},
        {"x.jpg", ImageSavePixelFormat::FLT32_LINEAR_RGB,
         "Saving to image format 'JPEG File Interchange Format' with pixel format FLT32_LINEAR_RGB is not "
         "supported"},
        {"x.hdr", ImageSavePixelFormat::FLT16_LINEAR_RGB,
         "Saving to image format 'Radiance HDR' with pixel format FLT16_LINEAR_RGB is not supported"},
        {"x.png", ImageSavePixelFormat(3), "STOP@image/openimageio.cpp(153)"}, // two pixel formats at once
    };
    for (const auto& c : cases)
        EXPECT_EQ(messageOf([&] { saveImage(path(c.name), source, true, {}, {c.pf, false}); }), c.message);
    EXPECT_EQ(messageOf([&] {
                  saveImage(path("nodir/x.png"), source, true, {}, {});
              }).rfind("Error writing image '" + native("nodir/x.png") + "'", 0),
              0u);
}

} // namespace
