// Image files to pixels and back. Image is a decoded picture in one of a few fixed pixel layouts,
// loaded from a path or a seekable stream (Radiance HDR by the library's own reader, every other format
// of the registry through OpenImageIO); loadImage fills colour and alpha bitmaps with linear values;
// saveImage writes any iterable bitmap in a chosen format and sample type.
//
//   Image image(Io::Path(u"/renders/frame.png"), {});   // throws Exception on failure
//   Rgb bottomLeft = image.getRgba(0, 0);                 // linear, row 0 is the bottom row
//
//   BitmapImpl<Rgb, 1> colour;
//   loadImage(u"/renders/frame.exr", colour, nullptr, {});
//   RgbBitmapIterator source(colour);
//   saveImage(u"/renders/copy.png", source, true, {}, {ImageSavePixelFormat::UINT16_RGB, false});
//
// Image files are untrusted input: an image whose decoded pixels would take more than
// getImageSizeLimit() bytes is refused before any pixel is read.
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/common/types.h"
#include "tolvan/containers/array.h"
#include "tolvan/containers/expected.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/string.h"
#include "tolvan/image/bitmap.h"
#include "tolvan/image/imageformats.h"
#include "tolvan/io/path.h"
#include "tolvan/io/stream.h"
#include "tolvan/utility/color.h"
#include "tolvan/utility/geometry.h"

namespace Kalvex {

/// A decoded picture: a descriptor and width x height pixels, rows bottom-up with no gap bytes. Movable
/// (the source is left empty), not copyable.
class Image : public Noncopyable {
public:
    /// The in-memory layout of one pixel.
    enum class PixelFormat : int32 {
        Invalid = 0,
        /// Red, green, blue, unsigned 8-bit each.
        Rgb8 = 1,
        /// Red, green, blue, alpha, unsigned 8-bit each.
        Rgba8 = 2,
        /// Three 32-bit floats.
        RgbFloat = 3,
        /// Four 32-bit floats.
        RgbaFloat = 4,
        /// One unsigned 8-bit value.
        Gray8 = 5,
        /// One 32-bit float.
        GrayFloat = 6,
        /// Radiance shared-exponent bytes R, G, B, E.
        Rgbe = 7,
    };

    /// Channels of `format` (0, 3, 4, 3, 4, 1, 1, 3); a value outside the enumeration is a STOP failure.
    [[nodiscard]] static int getPixelFormatChannelCount(PixelFormat format);
    /// Bytes per pixel of `format` (0, 3, 4, 12, 16, 1, 4, 4); a value outside is a STOP failure.
    [[nodiscard]] static int getPixelFormatNumberOfBytes(PixelFormat format);

    /// Size, layout and the gamma that turns stored values into linear ones.
    struct Descriptor {
        /// Width in pixels.
        int32 width = 0;
        /// Height in pixels.
        int32 height = 0;
        /// The pixel layout.
        PixelFormat pixelFormat = PixelFormat::Invalid;
        /// The gamma of the stored values.
        float gamma = 1.f;

        /// Width and height at least 1, a pixel format, a finite gamma above 0.
        [[nodiscard]] bool isValid() const;
        /// Channels per pixel of the pixel format.
        [[nodiscard]] int pixelFormatChannelCount() const { return getPixelFormatChannelCount(pixelFormat); }
        /// Bytes per pixel of the pixel format.
        [[nodiscard]] int pixelFormatNumberOfBytes() const {
            return getPixelFormatNumberOfBytes(pixelFormat);
        }
        /// width * height * bytes per pixel.
        [[nodiscard]] int64 requiredBufferSize() const { return requiredBufferSize(Pixel(width, height)); }
        /// size.x * size.y * bytes per pixel.
        [[nodiscard]] int64 requiredBufferSize(const Pixel& size) const {
            return int64(size.x) * size.y * pixelFormatNumberOfBytes();
        }
    };

    /// The pixel bytes.
    using Data = Array<uint8, HeapAllocator, int64>;

    /// An empty image (invalid descriptor, no data).
    Image() noexcept = default;
    /// Takes `data` over; throws Exception unless it holds exactly descriptor.requiredBufferSize() bytes.
    Image(const Descriptor& descriptor, Data&& data);
    /// Loads the file; the format comes from the file name when not given. Throws Exception on failure.
    Image(const Io::Path& path, Optional<ImageFormat> format);
    /// Loads from the stream's current position. A file input stream at its start is reopened by its file
    /// name and loaded as by path. Throws Exception on failure.
    Image(Io::SeekableBinaryInputStream& stream, ImageFormat format);
    /// Takes over the content of `other`.
    Image(Image&& other) noexcept;
    /// Replaces the content with that of `other`.
    Image& operator=(Image&& other) noexcept;

    /// Size, layout and gamma.
    [[nodiscard]] const Descriptor& descriptor() const noexcept { return mDescriptor; }
    /// The pixel bytes, row by row.
    [[nodiscard]] const Data& data() const& noexcept { return mData; }
    /// The pixel bytes, row by row.
    [[nodiscard]] Data& data() & noexcept { return mData; }
    /// The pixel bytes, moved out of the image.
    [[nodiscard]] Data data() && noexcept { return std::move(mData); }

    /// Pixel (x, y), row 0 at the bottom, as linear red, green, blue and alpha (1 when the layout has
    /// none). No range check; an Invalid image is a STOP failure.
    [[nodiscard]] Rgb getRgba(int x, int y) const;

private:
    Descriptor mDescriptor;
    Data mData;
};

/// How saveImage writes a file.
struct ImageSaveSettings {
    /// DEFAULT means the format's default.
    ImageSavePixelFormat pixelFormat = ImageSavePixelFormat::DEFAULT;
    /// Write an alpha channel when the format allows it and the source has one.
    bool saveAlpha = false;
};

/// The Image, or the message of the Exception that loading threw.
[[nodiscard]] Expected<Image, String> makeImage(const Io::Path& path, Optional<ImageFormat> format);
/// The Image loaded from the stream, or the message of the Exception that loading threw.
[[nodiscard]] Expected<Image, String> makeImage(Io::SeekableBinaryInputStream& stream, ImageFormat format);

/// Loads the file and resizes `colour` (and `alpha`, when given) to its size; both come out top-down
/// (bitmap row 0 is the file's top row) and linear. Throws Exception on failure.
void loadImage(const Io::Path& path, BitmapImpl<Rgb, 1>& colour, BitmapImpl<float, 1>* alpha,
               Optional<ImageFormat> format);

/// Writes `source` (y = 0 at the top) to the file in the format (from the file name when not given) and
/// the settings' sample type. `linearSource` says whether the values are linear: they are gamma-encoded
/// (1/2.2) for integer sample types, and decoded (2.2) for float ones when not linear. Throws Exception
/// when the format or pixel format cannot be saved or the file cannot be written.
void saveImage(const Io::Path& path, Abstract::BitmapIterator& source, bool linearSource,
               Optional<ImageFormat> format, const ImageSaveSettings& settings);

/// The largest decoded image accepted, in bytes (width * height * channels * bytes per sample).
/// 16 GiB unless changed.
[[nodiscard]] uint64 getImageSizeLimit();
/// Sets that limit for the whole process (0 restores the default); also hands it to OpenImageIO.
void setImageSizeLimit(uint64 bytes);

namespace Detail {
/// Throws Exception when an image of `pixelBytes` decoded bytes (or a size that overflowed, signalled by
/// `overflow`) exceeds getImageSizeLimit(); `what` names the file or stream in the message.
void checkImageSize(uint64 pixelBytes, bool overflow, const String& what);
} // namespace Detail

} // namespace Kalvex
