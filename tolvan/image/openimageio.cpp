// Everything that talks to OpenImageIO: the stream adapters, loading every format but Radiance HDR,
// saving, and OpenImageIO's own size limits.
#include "tolvan/image/openimageio.h"

#include "tolvan/common/exception.h"
#include "tolvan/image/hdrreader.h"
#include "tolvan/image/image.h"
#include "tolvan/io/filesystem.h"
#include "tolvan/utility/valuetext.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Kalvex {

namespace {

// ---- Adapter helpers ----

// Runs `f`, keeping the first Exception of the stream instead of letting it cross OpenImageIO's code.
template <typename F, typename R>
R runGuarded(std::exception_ptr& failure, F&& f, R onFailure) {
    if (failure) return onFailure;
    try {
        return f();
    } catch (const Exception&) {
        failure = std::current_exception();
        return onFailure;
    }
}

} // namespace

SeekableBinaryInputStreamOiioAdapter::SeekableBinaryInputStreamOiioAdapter(
    Io::SeekableBinaryInputStream& stream)
    : IOProxy("", Read)
    , mStream(stream)
    , mBase(stream.tellg()) {
    mStream.seekg(0, Io::SeekOrigin::End);
    mSize = std::max<int64_t>(0, mStream.tellg() - mBase);
    mStream.seekg(mBase);
}

template <typename F>
auto SeekableBinaryInputStreamOiioAdapter::guarded(F&& f, decltype(f()) onFailure) -> decltype(f()) {
    return runGuarded(mFailure, std::forward<F>(f), onFailure);
}

size_t SeekableBinaryInputStreamOiioAdapter::read(void* buf, size_t size) {
    return guarded([&] { return size_t(mStream.read(buf, int64(size))); }, size_t(0));
}

bool SeekableBinaryInputStreamOiioAdapter::seek(int64_t offset) {
    if (offset < 0 || offset > mSize) return false;
    return guarded(
        [&] {
            mStream.seekg(mBase + offset);
            return true;
        },
        false);
}

int64_t SeekableBinaryInputStreamOiioAdapter::tell() {
    return guarded([&] { return int64_t(mStream.tellg() - mBase); }, int64_t(-1));
}

size_t SeekableBinaryInputStreamOiioAdapter::pread(void* buf, size_t size, int64_t offset) {
    const std::lock_guard lock(mMutex);
    const int64_t here = tell();
    if (here < 0 || !seek(offset)) return 0;
    const size_t n = read(buf, size);
    seek(here);
    return n;
}

void SeekableBinaryInputStreamOiioAdapter::rethrowFailure() const {
    if (mFailure) std::rethrow_exception(mFailure);
}

SeekableBinaryOutputStreamOiioAdapter::SeekableBinaryOutputStreamOiioAdapter(
    Io::SeekableBinaryOutputStream& stream)
    : IOProxy("", Write)
    , mStream(stream)
    , mBase(stream.tellp()) {}

template <typename F>
auto SeekableBinaryOutputStreamOiioAdapter::guarded(F&& f, decltype(f()) onFailure) -> decltype(f()) {
    return runGuarded(mFailure, std::forward<F>(f), onFailure);
}

size_t SeekableBinaryOutputStreamOiioAdapter::write(const void* buf, size_t size) {
    return guarded(
        [&] {
            mStream.write(buf, int64(size));
            mSize = std::max<int64_t>(mSize, mStream.tellp() - mBase);
            return size;
        },
        size_t(0));
}

bool SeekableBinaryOutputStreamOiioAdapter::seek(int64_t offset) {
    if (offset < 0) return false;
    return guarded(
        [&] {
            mStream.seekp(mBase + offset);
            return true;
        },
        false);
}

int64_t SeekableBinaryOutputStreamOiioAdapter::tell() {
    return guarded([&] { return int64_t(mStream.tellp() - mBase); }, int64_t(-1));
}

size_t SeekableBinaryOutputStreamOiioAdapter::pwrite(const void* buf, size_t size, int64_t offset) {
    const std::lock_guard lock(mMutex);
    const int64_t here = tell();
    if (here < 0 || !seek(offset)) return 0;
    const size_t n = write(buf, size);
    seek(here);
    return n;
}

void SeekableBinaryOutputStreamOiioAdapter::rethrowFailure() const {
    if (mFailure) std::rethrow_exception(mFailure);
}

namespace {

// ---- Saving: sample types ----
// The sample type of each save pixel format; scanlines are handed over as floats and converted.

OIIO::TypeDesc getSampleType(ImageSavePixelFormat format) {
    switch (format) {
    case ImageSavePixelFormat::UINT8_RGB:
        return OIIO::TypeDesc::UINT8;
    case ImageSavePixelFormat::UINT16_RGB:
        return OIIO::TypeDesc::UINT16;
    case ImageSavePixelFormat::FLT16_LINEAR_RGB:
        return OIIO::TypeDesc::HALF;
    case ImageSavePixelFormat::FLT32_LINEAR_RGB:
        return OIIO::TypeDesc::FLOAT;
    case ImageSavePixelFormat::DEFAULT:
        break;
    }
    KALVEX_STOP(); // a pixel format without a sample type
}

// ---- Configuration ----

constexpr uint64 DEFAULT_IMAGE_SIZE_LIMIT = uint64(16) << 30;
std::atomic<uint64> imageSizeLimit{DEFAULT_IMAGE_SIZE_LIMIT};

std::once_flag oiioConfigured;

void applyOiioLimits(uint64 limitBytes) {
    const uint64 mb = std::max<uint64>(1, (limitBytes + (uint64(1) << 20) - 1) >> 20);
    OIIO::attribute("limits:imagesize_MB", int(std::min<uint64>(mb, uint64(INT32_MAX))));
    OIIO::attribute("limits:channels", 256);
}

} // namespace

void Detail::configureOpenImageIo() {
    std::call_once(oiioConfigured, [] { applyOiioLimits(getImageSizeLimit()); });
}

String Detail::fromOiioText(const std::string& text) {
    return String::fromUtf8(std::string_view(text));
}

// `message`, then " -- " and OpenImageIO's error text when there is one.
void Detail::throwWithOiioError(String message, const std::string& error) {
    if (!error.empty()) message << u" -- " << fromOiioText(error);
    throw Exception(message);
}

namespace {

// ---- Saving ----

struct OutputPlan {
    OIIO::ImageSpec spec;
    bool floatingPoint = false;
    bool alpha = false;
};

OutputPlan planOutput(const ImageFormatDescriptor& row, const Abstract::BitmapIterator& source,
                      const ImageSaveSettings& settings) {
    if (!row.features.has(ImageFormatFeature::Save)) {
        throw Exception(String(u"Saving to image format '") << row.description << u"' is not supported");
    }
    const ImageSavePixelFormat pixelFormat = settings.pixelFormat == ImageSavePixelFormat::DEFAULT
                                                 ? row.defaultSavePixelFormat
                                                 : settings.pixelFormat;
    if (pixelFormat == ImageSavePixelFormat::DEFAULT || !row.savePixelFormats.has(pixelFormat)) {
        throw Exception(String(u"Saving to image format '")
                        << row.description << u"' with pixel format "
                        << toString(pixelFormat).valueOr(String()) << u" is not supported");
    }
    OutputPlan plan;
    const OIIO::TypeDesc type = getSampleType(pixelFormat);
    plan.floatingPoint = type == OIIO::TypeDesc::HALF || type == OIIO::TypeDesc::FLOAT;
    plan.alpha = row.features.has(ImageFormatFeature::Alpha) && settings.saveAlpha && source.hasAlpha();
    const Pixel size = source.getSize();
    plan.spec = OIIO::ImageSpec(size.x, size.y, plan.alpha ? 4 : 3, type);
    plan.spec.attribute("oiio:UnassociatedAlpha", 1);
    plan.spec.attribute("oiio:ColorSpace", plan.floatingPoint ? "Linear" : "GammaCorrected2.2");
    plan.spec.attribute("oiio:Gamma", plan.floatingPoint ? 1.f : 2.2f);
    return plan;
}

float convertGamma(float v, float exponent) {
    return std::copysign(std::pow(std::fabs(v), exponent), v);
}

// Fills `line` with scanline y of the source: gamma converted where the source's linearity differs from
// the output's, alpha clamped to [0, 1].
void fillScanline(float* line, int y, const OutputPlan& plan, const Abstract::BitmapIterator& source,
                  bool linearSource) {
    const int channels = plan.spec.nchannels;
    const bool convert = linearSource != plan.floatingPoint;
    const float exponent = linearSource ? 0.45454544f : 2.2f;
    for (int x = 0; x < plan.spec.width; ++x) {
        const Rgb p = source.getPixel(x, y);
        float* out = line + size_t(x) * size_t(channels);
        out[0] = convert ? convertGamma(p.r, exponent) : p.r;
        out[1] = convert ? convertGamma(p.g, exponent) : p.g;
        out[2] = convert ? convertGamma(p.b, exponent) : p.b;
        if (plan.alpha) out[3] = std::clamp(p.a, 0.f, 1.f);
    }
}

// Writes the source scanline by scanline as 32-bit floats (OpenImageIO converts them to the file's
// sample type). Writers that only take tiles (IFF) get the whole image at once.
void writePixels(OIIO::ImageOutput& writer, const OutputPlan& plan, const Abstract::BitmapIterator& source,
                 bool linearSource, const String& errorMessage) {
    const size_t lineFloats = size_t(plan.spec.width) * size_t(plan.spec.nchannels);
    const bool tiled = writer.spec().tile_width > 0;
    std::vector<float> pixels(lineFloats * (tiled ? size_t(plan.spec.height) : 1));
    for (int y = 0; y < plan.spec.height; ++y) {
        float* line = pixels.data() + (tiled ? size_t(y) * lineFloats : 0);
        fillScanline(line, y, plan, source, linearSource);
        if (!tiled && !writer.write_scanline(y, 0, OIIO::TypeDesc::FLOAT, line)) {
            Detail::throwWithOiioError(errorMessage, writer.geterror());
        }
    }
    if (tiled && !writer.write_image(OIIO::TypeDesc::FLOAT, pixels.data())) {
        Detail::throwWithOiioError(errorMessage, writer.geterror());
    }
}

} // namespace

void saveImage(const Io::Path& path, Abstract::BitmapIterator& source, bool linearSource,
               Optional<ImageFormat> format, const ImageSaveSettings& settings) {
    Detail::configureOpenImageIo();
    const ImageFormatDescriptor& row =
        getImageFormatDescriptor(format ? *format : getImageFormatFromFileName(path));
    const String quoted = String(u"'") << path.nativeStr() << u"'";
    // The registry's answer comes first: a format without a writer may still be refused by name.
    const OutputPlan plan = planOutput(row, source, settings);
    auto writer = OIIO::ImageOutput::create(row.extensions[0].toUtf8().cStr());
    if (!writer) {
        (void)OIIO::geterror();
        throw Exception(String(u"Unknown image format of file ") << quoted);
    }
    const String errorMessage = String(u"Error writing image ") << quoted;
    if (!writer->open(path.platformStr().cStr(), plan.spec)) {
        Detail::throwWithOiioError(errorMessage, writer->geterror());
    }
    writePixels(*writer, plan, source, linearSource, errorMessage);
    // Some writers (JPEG 2000) report a failed encoding only through their error text and an empty file;
    // others leave harmless error texts behind (TIFF's Exif directory).
    const bool closed = writer->close();
    const std::string error = writer->geterror();
    if (!closed || (!error.empty() && Io::fileSize(path) <= 0))
        Detail::throwWithOiioError(errorMessage, error);
}

uint64 getImageSizeLimit() {
    return imageSizeLimit.load(std::memory_order_relaxed);
}

void setImageSizeLimit(uint64 bytes) {
    imageSizeLimit.store(bytes == 0 ? DEFAULT_IMAGE_SIZE_LIMIT : bytes, std::memory_order_relaxed);
    Detail::configureOpenImageIo();
    applyOiioLimits(getImageSizeLimit());
}

void Detail::checkImageSize(uint64 pixelBytes, bool overflow, const String& what) {
    const uint64 limit = getImageSizeLimit();
    if (!overflow && pixelBytes <= limit) return;
    String message(u"Image too large: ");
    message << what << u" needs "
            << (overflow ? String(u"more than 2^64") : Detail::formatNumber(int64(pixelBytes)))
            << u" bytes of pixels, more than the limit of " << Detail::formatNumber(int64(limit))
            << u" bytes";
    throw Exception(message);
}

void SeekableBinaryOutputStreamOiioAdapter::flush() const {
    try {
        mStream.flush();
    } catch (const Exception&) {
        // Reported by the next write or by the caller's own flush.
    }
}

} // namespace Kalvex
