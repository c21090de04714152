// Bitmap compression through OpenEXR files held in memory.
#include "tolvan/image/bitmapcompression.h"

#include "tolvan/common/exception.h"
#include "tolvan/image/image.h"
#include "tolvan/image/openimageio.h"
#include "tolvan/io/stream.h"
#include "tolvan/platform/debug.h"
#include "tolvan/utility/timer.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace Kalvex {

namespace {

constexpr const char* SEEK_PAST_END = "Cannot seek past the stream end.";

int64 seekTarget(int64 offset, Io::SeekOrigin origin, int64 position, int64 size) {
    const int64 base =
        origin == Io::SeekOrigin::Begin ? 0 : (origin == Io::SeekOrigin::Current ? position : size);
    const int64 target = base + offset;
    if (target < 0 || target > size) throw Exception(SEEK_PAST_END);
    return target;
}

// Reads a byte view; a read delivers what is left, never more.
class ByteViewInputStream final : public Io::SeekableBinaryInputStream {
public:
    explicit ByteViewInputStream(ArrayView<const std::byte> bytes)
        : mBytes(bytes) {}

    [[nodiscard]] int64 tellg() const override { return mPosition; }
    void seekgImpl(int64 offset, Io::SeekOrigin origin) override {
        mPosition = seekTarget(offset, origin, mPosition, mBytes.size());
    }

protected:
    int64 readImpl(void* dst, int64 count) override {
        const int64 n = std::max<int64>(0, std::min(count, mBytes.size() - mPosition));
        if (n > 0) std::memcpy(dst, mBytes.data() + mPosition, size_t(n));
        mPosition += n;
        return n;
    }
    [[nodiscard]] bool eofImpl() const override { return mPosition == mBytes.size(); }

private:
    ArrayView<const std::byte> mBytes;
    int64 mPosition = 0;
};

// Writes into a growing Stack of bytes.
class ByteStackOutputStream final : public Io::SeekableBinaryOutputStream {
public:
    explicit ByteStackOutputStream(Stack<std::byte>& bytes)
        : mBytes(bytes) {}

    [[nodiscard]] int64 tellp() const override { return mPosition; }
    void seekpImpl(int64 offset, Io::SeekOrigin origin) override {
        mPosition = seekTarget(offset, origin, mPosition, mBytes.size());
    }

protected:
    void writeImpl(const void* src, int64 count) override {
        const int64 end = mPosition + count;
        if (end > int64(INT32_MAX)) throw Exception("The compressed bitmap does not fit in 2 GiB.");
        // Grow geometrically: resize alone would reallocate to the exact size on every write.
        if (end > mBytes.capacity())
            mBytes.reserve(int(std::min<int64>(INT32_MAX, std::max(end, 2 * int64(mBytes.capacity())))));
        if (end > mBytes.size()) mBytes.resize(int(end));
        std::memcpy(mBytes.data() + mPosition, src, size_t(count));
        mPosition += count;
    }

private:
    Stack<std::byte>& mBytes;
    int64 mPosition = 0;
};

String withReason(const char16_t* message, const std::string& error) {
    String text(message);
    if (!error.empty()) text << u" -- " << String::fromUtf8(std::string_view(error));
    return text;
}

void attachProxy(OIIO::ImageSpec& spec, OIIO::Filesystem::IOProxy*& proxy) {
    spec.attribute("oiio:ioproxy", OIIO::TypeDesc::PTR, &proxy);
}

} // namespace

Expected<Stack<std::byte>, String> compressBitmap(const BitmapImpl<float, 0>& bitmap, const Bucket& region) {
    KALVEX_SCOPE_ELAPSED_TIME("Function call: ", "Kalvex::compressBitmap");
    Bucket r = region;
    if (r.maximum == Pixel::ZERO) r.maximum = bitmap.getSize();
    const Pixel size = bitmap.getSize();
    if (r.minimum.x < 0 || r.minimum.y < 0 || r.maximum.x > size.x || r.maximum.y > size.y) {
        return makeUnexpected(String(u"Region is not strictly inside the bitmap. Region: ")
                              << r.toString() << u", bitmap size: " << size.toString());
    }
    auto writer = OIIO::ImageOutput::create("exr");
    if (!writer) {
        (void)OIIO::geterror();
        return makeUnexpected(String(u"Unable to compress the bitmap to EXR"));
    }
    Stack<std::byte> bytes;
    ByteStackOutputStream out(bytes);
    SeekableBinaryOutputStreamOiioAdapter adapter(out);
    OIIO::Filesystem::IOProxy* proxy = &adapter;
    OIIO::ImageSpec spec(r.getWidth(), r.getHeight(), 1, OIIO::TypeDesc::FLOAT);
    spec.attribute("oiio:ColorSpace", "Linear");
    spec.attribute("oiio:Gamma", 1.f);
    attachProxy(spec, proxy);
    writer->set_ioproxy(proxy);
    const float* first = bitmap.isEmpty() ? nullptr : &bitmap(r.minimum.x, r.minimum.y);
    const OIIO::stride_t rowStride = OIIO::stride_t(size.x) * OIIO::stride_t(sizeof(float));
    const bool ok = writer->open("memory.exr", spec) &&
                    writer->write_image(OIIO::TypeDesc::FLOAT, first, sizeof(float), rowStride) &&
                    writer->close();
    if (!ok) return makeUnexpected(withReason(u"Error compressing bitmap", writer->geterror()));
    debugPrint("Bitmap size before compression:", int64(r.getArea()) * int64(sizeof(float)));
    debugPrint("Bitmap size after compression: ", int64(bytes.size()));
    return bytes;
}

Expected<DecompressedBitmap, String> decompressBitmap(ArrayView<const std::byte> bytes) {
    auto reader = OIIO::ImageInput::create("exr");
    if (!reader) {
        (void)OIIO::geterror();
        return makeUnexpected(String(u"Unable to decompress the bitmap from EXR"));
    }
    ByteViewInputStream in(bytes);
    SeekableBinaryInputStreamOiioAdapter adapter(in);
    OIIO::Filesystem::IOProxy* proxy = &adapter;
    OIIO::ImageSpec config;
    attachProxy(config, proxy);
    reader->set_ioproxy(proxy);
    OIIO::ImageSpec spec;
    if (!reader->open("memory.exr", spec, config) || spec.nchannels != 1 || spec.width < 1 ||
        spec.height < 1) {
        return makeUnexpected(withReason(u"Error decompressing bitmap", reader->geterror()));
    }
    try {
        Detail::checkImageSize(uint64(spec.width) * uint64(spec.height) * sizeof(float), false,
                               String(u"compressed bitmap"));
    } catch (const Exception& e) {
        return makeUnexpected(withReason(u"Error decompressing bitmap", e.what()));
    }
    DecompressedBitmap bitmap(Pixel(spec.width, spec.height));
    if (!reader->read_image(0, 0, 0, 1, OIIO::TypeDesc::FLOAT, bitmap.data())) {
        return makeUnexpected(withReason(u"Error decompressing bitmap", reader->geterror()));
    }
    return bitmap;
}

} // namespace Kalvex
