// Image: descriptor, pixel access, the non-throwing and bitmap forms of loading, the size limit.
#include "tolvan/image/image.h"

#include "tolvan/common/exception.h"
#include "tolvan/image/hdrreader.h"
#include "tolvan/image/openimageio.h"
#include "tolvan/io/filesystem.h"

#include <OpenImageIO/imageio.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

namespace Kalvex {

namespace {

float applyGamma(float v, float gamma) {
    return std::copysign(std::pow(std::fabs(v), gamma), v);
}

} // namespace

bool Image::Descriptor::isValid() const {
    return width >= 1 && height >= 1 && pixelFormat != PixelFormat::Invalid && std::isfinite(gamma) &&
           gamma > 0.f;
}

Image::Image(const Descriptor& descriptor, Data&& data)
    : mDescriptor(descriptor)
    , mData(std::move(data)) {
    if (mData.size() != mDescriptor.requiredBufferSize()) {
        throw Exception("Image data does not match the size of its descriptor");
    }
}

Image::Image(Image&& other) noexcept
    : mDescriptor(std::exchange(other.mDescriptor, Descriptor{}))
    , mData(std::move(other.mData)) {}

Image& Image::operator=(Image&& other) noexcept {
    if (this != &other) {
        mDescriptor = std::exchange(other.mDescriptor, Descriptor{});
        mData = std::move(other.mData);
    }
    return *this;
}

namespace {

// ---- Loading ----
//
// Every format but Radiance HDR is read through OpenImageIO: a reader is created from the format's first
// extension, the file's ImageSpec gives the layout (the channel map, 8-bit or float samples, the
// gamma), the size is checked before any pixel is read, then the pixels are read bottom-up.

// Where pixels come from: a file by name, or a stream through its adapter.
struct Source {
    const Io::Path* path = nullptr;                        // set when loading by path
    SeekableBinaryInputStreamOiioAdapter* proxy = nullptr; // set when loading from a stream

    [[nodiscard]] String quotedName() const { return String(u"'") << path->nativeStr() << u"'"; }
    [[nodiscard]] int64 byteCount() const { return path ? Io::fileSize(*path) : int64(proxy->size()); }
};

// A reader for the format, named by its first extension; throws when OpenImageIO has none, or when a
// stream is given to a reader that cannot read through a proxy.
std::unique_ptr<OIIO::ImageInput> createReader(const ImageFormatDescriptor& row, const Source& source) {
    const std::string extension = row.extensions[0].toUtf8().cStr();
    auto reader = OIIO::ImageInput::create(extension);
    if (!reader) {
        (void)OIIO::geterror();
        throw Exception(source.path ? String(u"Unknown image format of file ") << source.quotedName()
                                    : String(u"Unknown image format of stream"));
    }
    if (source.proxy && !reader->supports("ioproxy")) {
        throw Exception(String(u"Loading image format '")
                        << row.description << u"' from a stream is not supported");
    }
    return reader;
}

// Opens the file or the stream with unassociated alpha; throws with OpenImageIO's reason on failure.
void openReader(OIIO::ImageInput& reader, const ImageFormatDescriptor& row, const Source& source,
                OIIO::ImageSpec& spec) {
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    std::string name;
    if (source.proxy) {
        OIIO::Filesystem::IOProxy* proxy = source.proxy;
        config.attribute("oiio:ioproxy", OIIO::TypeDesc::PTR, &proxy);
        reader.set_ioproxy(proxy);
        name = std::string("stream.") + row.extensions[0].toUtf8().cStr();
    } else {
        name = source.path->platformStr().cStr();
    }
    if (!reader.open(name, spec, config)) {
        const std::string error = reader.geterror();
        if (source.proxy) source.proxy->rethrowFailure();
        Detail::throwWithOiioError(source.path ? String(u"Error reading image ") << source.quotedName()
                                               : String(u"Error reading image from stream"),
                                   error);
    }
}

// Formats whose pixels are stored uncompressed when their compression attribute says so: such a file
// holds at least one bit per pixel.
bool isStoredUncompressed(ImageFormat format, const OIIO::ImageSpec& spec) {
    const std::string compression = spec.get_string_attribute("compression");
    const bool raw = compression.empty() || compression == "none";
    switch (format) {
    case ImageFormat::Bmp:
    case ImageFormat::Cineon:
    case ImageFormat::Dds:
    case ImageFormat::Sgi:
    case ImageFormat::Tga:
        return raw;
    default:
        return false;
    }
}

// Refuses images too large for the limit, or larger than the file could hold, before any pixel is read.
void checkSize(const OIIO::ImageSpec& spec, int bytesPerPixel, ImageFormat format, const Source& source) {
    const String what = source.path ? String(u"image ") << source.quotedName() : String(u"image stream");
    if (spec.width < 1 || spec.height < 1 || spec.depth != 1 || spec.nchannels < 1) {
        throw Exception(String(u"Error reading image: ") << what << u" has no valid size");
    }
    const double pixels = double(spec.width) * double(spec.height);
    const double inFile = pixels * double(spec.nchannels) * double(spec.format.size());
    const double decoded = pixels * double(bytesPerPixel);
    const double bytes = std::max(inFile, decoded);
    Detail::checkImageSize(uint64(bytes), bytes > 1.8e19, what);
    const int64 fileBytes = source.byteCount();
    if (isStoredUncompressed(format, spec) && fileBytes >= 0 && pixels > double(fileBytes) * 8.0) {
        throw Exception(String(u"Error reading image: ") << what << u" is shorter than its pixels need");
    }
}

// What loading makes of a file's ImageSpec: the descriptor, the source channel of every stored
// channel, and the sample type in which the channels are read.
struct Layout {
    Image::Descriptor descriptor;
    // The source channel of each stored channel.
    Stack<int> channels;
    OIIO::TypeDesc sampleType; // UINT8 or FLOAT
};

// "R (uint8), G (uint8)": each channel's name and sample type, for the unsupported-layout message.
String describeChannels(const OIIO::ImageSpec& spec) {
    String text;
    for (int c = 0; c < spec.nchannels; ++c) {
        if (c > 0) text << u", ";
        const std::string& name = spec.channelnames.size() > size_t(c) ? spec.channelnames[size_t(c)] : "";
        text << Detail::fromOiioText(name);
        if (!name.empty()) text << u" (" << Detail::fromOiioText(spec.channelformat(c).c_str()) << u")";
    }
    return text;
}

// The source channel of each stored channel (gray, gray + alpha, R G B by name, or three uniform channels;
// alpha last); empty when no rule fits.
Stack<int> mapChannels(const OIIO::ImageSpec& spec, int alpha) {
    Stack<int> map;
    if (spec.nchannels == 1) {
        map.push(0);
        return map;
    }
    if (spec.nchannels == 2 && alpha >= 0) {
        const int c = alpha == 0 ? 1 : 0;
        map = {c, c, c, alpha};
        return map;
    }
    const int r = spec.channelindex("R"), g = spec.channelindex("G"), b = spec.channelindex("B");
    if (r >= 0 && g >= 0 && b >= 0) {
        map = {r, g, b};
    } else if (spec.channelformats.empty() && spec.nchannels == (alpha >= 0 ? 4 : 3)) {
        for (int c = 0; c < spec.nchannels; ++c) {
            if (c != alpha) map.push(c);
        }
    }
    if (alpha >= 0 && !map.isEmpty()) map.push(alpha);
    return map;
}

// The exponent that turns stored values into linear ones ("oiio:Gamma", overridden by an sRGB or Rec709
// colour space).
float gammaOf(const OIIO::ImageSpec& spec, bool floatingPoint) {
    float gamma = spec.get_float_attribute("oiio:Gamma", 0.f);
    const std::string colorSpace = spec.get_string_attribute("oiio:ColorSpace");
    if (colorSpace == "sRGB" || colorSpace == "Rec709") gamma = colorSpace == "sRGB" ? 2.2f : 2.f;
    if (!std::isfinite(gamma) || !(gamma > 0.f)) gamma = floatingPoint ? 1.f : 2.2f;
    return gamma;
}

// The layout of a file (a 4-channel RGB file without declared alpha has it in channel 3); throws Exception
// for a channel layout no rule fits.
Layout describe(const OIIO::ImageSpec& spec) {
    // A declared alpha channel outside the channels counts as none: OpenImageIO's GIF reader declares
    // channel 4 of 4, and reading it would fail inside OpenImageIO.
    int alpha = spec.alpha_channel < spec.nchannels ? spec.alpha_channel : -1;
    if (spec.nchannels == 4 && alpha < 0 &&
        spec.get_int_attribute("tiff:PhotometricInterpretation", -1) == 2) {
        alpha = 3;
    }
    Layout layout;
    const bool eightBit = spec.format == OIIO::TypeDesc::UINT8;
    layout.sampleType = eightBit ? OIIO::TypeDesc::UINT8 : OIIO::TypeDesc::FLOAT;
    layout.channels = mapChannels(spec, alpha);
    using PF = Image::PixelFormat;
    switch (layout.channels.size()) {
    case 1:
        layout.descriptor.pixelFormat = eightBit ? PF::Gray8 : PF::GrayFloat;
        break;
    case 3:
        layout.descriptor.pixelFormat = eightBit ? PF::Rgb8 : PF::RgbFloat;
        break;
    case 4:
        layout.descriptor.pixelFormat = eightBit ? PF::Rgba8 : PF::RgbaFloat;
        break;
    default:
        throw Exception(String(u"Unsupported channel format: ") << describeChannels(spec));
    }
    layout.descriptor.width = spec.width;
    layout.descriptor.height = spec.height;
    layout.descriptor.gamma = gammaOf(spec, spec.format.is_floating_point());
    return layout;
}

// Swaps rows i and height - 1 - i.
void turnRowsOver(uint8* data, int64 rowBytes, int32 height) {
    std::unique_ptr<uint8[]> row(new uint8[size_t(rowBytes)]);
    for (int64 top = 0, bottom = height - 1; top < bottom; ++top, --bottom) {
        std::memcpy(row.get(), data + top * rowBytes, size_t(rowBytes));
        std::memcpy(data + top * rowBytes, data + bottom * rowBytes, size_t(rowBytes));
        std::memcpy(data + bottom * rowBytes, row.get(), size_t(rowBytes));
    }
}

// Reads all pixels, then turns the rows over, so the file's top scanline lands in the last row in memory
// (OpenImageIO 2.4 cannot convert into a negative row stride). Consecutive source channels of the map
// are read in one call; tiled files are read tile by tile.
Image::Data readPixels(OIIO::ImageInput& reader, const Layout& layout, const Source& source) {
    const Image::Descriptor& d = layout.descriptor;
    Image::Data data = Image::Data::uninitialized(d.requiredBufferSize());
    const int64 sampleBytes = int64(layout.sampleType.size());
    const int64 pixelBytes = d.pixelFormatNumberOfBytes();
    const int64 rowBytes = pixelBytes * d.width;
    const int count = layout.channels.size();
    for (int first = 0; first < count;) {
        int end = first + 1;
        while (end < count && layout.channels[end] == layout.channels[end - 1] + 1)
            ++end;
        const int chBegin = layout.channels[first];
        const int chEnd = layout.channels[end - 1] + 1;
        if (!reader.read_image(0, 0, chBegin, chEnd, layout.sampleType, data.data() + first * sampleBytes,
                               pixelBytes, rowBytes)) {
            const std::string error = reader.geterror();
            if (source.proxy) source.proxy->rethrowFailure();
            Detail::throwWithOiioError(String(u"Error reading image"), error);
        }
        first = end;
    }
    turnRowsOver(data.data(), rowBytes, d.height);
    return data;
}

// Loads a file or stream of any format but Radiance HDR through OpenImageIO.
Image loadWithOiio(ImageFormat format, const Source& source) {
    Detail::configureOpenImageIo();
    const ImageFormatDescriptor& row = getImageFormatDescriptor(format);
    const auto reader = createReader(row, source);
    OIIO::ImageSpec spec;
    openReader(*reader, row, source, spec);
    const Layout layout = describe(spec);
    checkSize(spec, layout.descriptor.pixelFormatNumberOfBytes(), format, source);
    Image::Data data = readPixels(*reader, layout, source);
    reader->close();
    return Image(layout.descriptor, std::move(data));
}

} // namespace

// The pixel-format table and pixel access keep fixed places in this file: their STOP failures name
// image/image and a line.
int Image::getPixelFormatChannelCount(PixelFormat format) {
    switch (format) {
    case PixelFormat::Invalid:
        return 0;
    case PixelFormat::Rgb8:
    case PixelFormat::RgbFloat:
    case PixelFormat::Rgbe:
        return 3;
    case PixelFormat::Rgba8:
    case PixelFormat::RgbaFloat:
        return 4;
    case PixelFormat::Gray8:
    case PixelFormat::GrayFloat:
        return 1;
    }
    KALVEX_STOP();
}

int Image::getPixelFormatNumberOfBytes(PixelFormat format) {
    switch (format) {
    case PixelFormat::Invalid:
        return 0;
    // 8-bit samples
    case PixelFormat::Rgb8:
        return 3;
    case PixelFormat::Rgba8:
        return 4;
    case PixelFormat::Rgbe:
        return 4; // three mantissas and the shared exponent
    case PixelFormat::GrayFloat:
        return 4;
    case PixelFormat::RgbFloat:
        return 12;
    case PixelFormat::RgbaFloat:
        return 16;
    case PixelFormat::Gray8:
        return 1;
    }
    KALVEX_STOP();
}

// Radiance HDR is read by the library's own reader; everything else through OpenImageIO.
Image::Image(const Io::Path& path, Optional<ImageFormat> format) {
    const ImageFormat f = format ? *format : getImageFormatFromFileName(path);
    if (f == ImageFormat::Hdr) {
        Io::FileInputStream in(path);
        *this = readHdrImage(in);
        return;
    }
    *this = loadWithOiio(f, Source{&path, nullptr});
}

// A file input stream at its start is reopened by name, so OpenImageIO reads the file directly; other
// streams are read through the adapter.
Image::Image(Io::SeekableBinaryInputStream& stream, ImageFormat format) {
    if (format == ImageFormat::Hdr) {
        *this = readHdrImage(stream);
        return;
    }
    if (auto* file = dynamic_cast<Io::FileInputStream*>(&stream);
        file && file->isOpen() && file->tellg() == 0) {
        *this = Image(file->fileName(), format);
        return;
    }
    SeekableBinaryInputStreamOiioAdapter proxy(stream);
    *this = loadWithOiio(format, Source{nullptr, &proxy});
}

Expected<Image, String> makeImage(const Io::Path& path, Optional<ImageFormat> format) {
    try {
        return Image(path, format);
    } catch (const Exception& e) {
        return makeUnexpected(e.getMessage());
    }
}

Expected<Image, String> makeImage(Io::SeekableBinaryInputStream& stream, ImageFormat format) {
    try {
        return Image(stream, format);
    } catch (const Exception& e) {
        return makeUnexpected(e.getMessage());
    }
}

// Image row y (bottom-up) becomes bitmap row height - 1 - y (top-down).
void loadImage(const Io::Path& path, BitmapImpl<Rgb, 1>& colour, BitmapImpl<float, 1>* alpha,
               Optional<ImageFormat> format) {
    const Image image(path, format);
    const int32 width = image.descriptor().width;
    const int32 height = image.descriptor().height;
    colour.resize(Pixel(width, height));
    if (alpha) alpha->resize(Pixel(width, height));
    for (int32 y = 0; y < height; ++y) {
        for (int32 x = 0; x < width; ++x) {
            const Rgb rgba = image.getRgba(x, y);
            colour(x, height - 1 - y) = Rgb(rgba.r, rgba.g, rgba.b);
            if (alpha) (*alpha)(x, height - 1 - y) = rgba.a;
        }
    }
}

namespace {

// ---- Pixel access ----

// Stored 8-bit values divided by 255; gray is copied to red, green and blue; a missing alpha is 1.
Rgb fromBytes(const uint8* p, int channels) {
    constexpr float BYTE = 0.003921569f;
    if (channels == 1) return Rgb(p[0] * BYTE, p[0] * BYTE, p[0] * BYTE, 1.f);
    return Rgb(p[0] * BYTE, p[1] * BYTE, p[2] * BYTE, channels == 4 ? p[3] * BYTE : 255 * BYTE);
}

// Stored floats as they are, with the same rules for gray and a missing alpha.
Rgb fromFloats(const uint8* p, int channels) {
    float f[4] = {0.f, 0.f, 0.f, 1.f};
    std::memcpy(f, p, size_t(channels) * sizeof(float));
    if (channels == 1) return Rgb(f[0], f[0], f[0], 1.f);
    return Rgb(f[0], f[1], f[2], f[3]);
}

// The shared-exponent colour; alpha 1.
Rgb fromRgbe(const uint8* p) {
    Rgb c = decodeRgbe(p);
    c.a = 1.f;
    return c;
}

} // namespace

Rgb Image::getRgba(int x, int y) const {
    const int64 offset = (int64(y) * mDescriptor.width + x) * mDescriptor.pixelFormatNumberOfBytes();
    const uint8* p = mData.data() + offset;
    const int channels = mDescriptor.pixelFormatChannelCount();
    Rgb c;
    switch (mDescriptor.pixelFormat) {
    case PixelFormat::Rgb8:
    case PixelFormat::Rgba8:
    case PixelFormat::Gray8:
        c = fromBytes(p, channels);
        break;
    case PixelFormat::RgbFloat:
    case PixelFormat::RgbaFloat:
    case PixelFormat::GrayFloat:
        c = fromFloats(p, channels);
        break;
    case PixelFormat::Rgbe:
        c = fromRgbe(p);
        break;
    case PixelFormat::Invalid:
        KALVEX_STOP();
    }
    const float gamma = mDescriptor.gamma;
    if (gamma != 1.f) {
        c.r = applyGamma(c.r, gamma);
        c.g = applyGamma(c.g, gamma);
        c.b = applyGamma(c.b, gamma);
    }
    return c;
}

} // namespace Kalvex
