// Radiance HDR reading: text header, resolution line, flat and run-length scanlines.
#include "tolvan/image/hdrreader.h"

#include "tolvan/common/exception.h"
#include "tolvan/containers/stack.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace Kalvex {

Rgb decodeRgbe(const uint8* rgbe) noexcept {
    if (rgbe[3] == 0) return Rgb(0.f, 0.f, 0.f);
    const float f = std::ldexp(1.f, int(rgbe[3]) - 136);
    return Rgb((float(rgbe[0]) + 0.5f) * f, (float(rgbe[1]) + 0.5f) * f, (float(rgbe[2]) + 0.5f) * f);
}

void encodeRgbe(const Rgb& colour, uint8* rgbe) noexcept {
    const float v = std::max(colour.r, std::max(colour.g, colour.b));
    if (!(v > 1e-32f)) {
        std::memset(rgbe, 0, 4);
        return;
    }
    if (!std::isfinite(v) || v >= 0x1p127f) {
        std::memset(rgbe, 255, 4);
        return;
    }
    int e = 0;
    const float m = std::frexp(v, &e);
    const float s = m * 255.9999f / v;
    const auto mantissa = [s](float c) { return c > 0.f ? uint8(c * s) : uint8(0); };
    rgbe[0] = mantissa(colour.r);
    rgbe[1] = mantissa(colour.g);
    rgbe[2] = mantissa(colour.b);
    rgbe[3] = uint8(e + 128);
}

namespace {

constexpr const char* MISSING_SIGNATURE = "'#?RADIANCE'/'#?RGBE' missing in the header";
constexpr const char* EOF_IN_HEADER = "Not a Radiance HDR file. Eof reached while parsing the header.";
constexpr const char* INVALID_HEADER = "Not a Radiance HDR file. Invalid header.";
constexpr const char* INVALID_RESOLUTION =
    "Not a Radiance HDR file. Invalid header line that specifies the image resolution.";
constexpr const char* CORRUPTED = "Not a Radiance HDR file. Corrupted data.";
constexpr const char* UNREADABLE = "Could not load object from the stream.";

[[noreturn]] void fail(const char* message) {
    throw Exception(message);
}

// Reads the stream in chunks, so scanlines are decoded from memory rather than one virtual call per byte.
class ByteReader {
public:
    explicit ByteReader(Io::SeekableBinaryInputStream& stream)
        : mStream(stream) {}

    // The next byte; throws the unreadable-data Exception at the end.
    uint8 next() {
        if (mPosition == mEnd && !refill(1)) fail(UNREADABLE);
        return mBuffer[mPosition++];
    }
    // The next byte, or -1 at the end.
    int tryNext() {
        if (mPosition == mEnd && !refill(1)) return -1;
        return mBuffer[mPosition++];
    }
    // Copies the next `count` bytes to `dst`; throws the unreadable-data Exception when fewer are left.
    void read(uint8* dst, int64 count) {
        while (count > 0) {
            if (mPosition == mEnd && !refill(1)) fail(UNREADABLE);
            const int64 n = std::min<int64>(count, mEnd - mPosition);
            std::memcpy(dst, mBuffer + mPosition, size_t(n));
            mPosition += n;
            dst += n;
            count -= n;
        }
    }
    // Makes the next `count` (<= 4) bytes available without consuming them; false when fewer are left.
    bool peek(int count, const uint8*& bytes) {
        if (mEnd - mPosition < count && !refill(count)) return false;
        bytes = mBuffer + mPosition;
        return true;
    }
    void skip(int count) { mPosition += count; }
    // The bytes not yet consumed: what is buffered plus what the stream still holds.
    int64 remaining() {
        const int64 here = mStream.tellg();
        mStream.seekg(0, Io::SeekOrigin::End);
        const int64 end = mStream.tellg();
        mStream.seekg(here);
        return (mEnd - mPosition) + (end - here);
    }

private:
    // Keeps the unread bytes, reads more behind them; true once at least `wanted` bytes are buffered.
    bool refill(int64 wanted) {
        const int64 kept = mEnd - mPosition;
        std::memmove(mBuffer, mBuffer + mPosition, size_t(kept));
        mPosition = 0;
        mEnd = kept;
        while (mEnd < wanted) {
            const int64 n = mStream.read(mBuffer + mEnd, CAPACITY - mEnd);
            if (n <= 0) break;
            mEnd += n;
        }
        return mEnd >= wanted;
    }

    static constexpr int64 CAPACITY = 65536;
    Io::SeekableBinaryInputStream& mStream;
    uint8 mBuffer[CAPACITY];
    int64 mPosition = 0;
    int64 mEnd = 0;
};

// One header line: the bytes up to a line feed (not kept) or the end, as UTF-8; empty at the end.
Optional<String> readLine(ByteReader& in) {
    std::string bytes;
    int c = in.tryNext();
    if (c < 0) return {};
    while (c >= 0 && c != '\n') {
        bytes.push_back(char(c));
        c = in.tryNext();
    }
    return String::fromUtf8(std::string_view(bytes));
}

// The value as a number in the C locale's notation; empty when it does not start with one.
Optional<double> parseNumber(const String& value) {
    const auto utf8 = value.toUtf8();
    const char* text = utf8.cStr();
    char* end = nullptr;
    const double number = std::strtod(text, &end);
    if (end == text) return {};
    return number;
}

struct Header {
    float gamma = 1.f;
    double exposure = 1.0;
};

Header readHeader(ByteReader& in) {
    const Optional<String> signature = readLine(in);
    if (!signature || (*signature != String(u"#?RADIANCE") && *signature != String(u"#?RGBE"))) {
        fail(MISSING_SIGNATURE);
    }
    Header header;
    for (;;) {
        const Optional<String> line = readLine(in);
        if (!line) fail(EOF_IN_HEADER);
        if (line->isEmpty()) return header;
        const int equals = line->find(u'=');
        if (equals == String::nPos) continue;
        String key = line->getSubstr(0, equals);
        String value = line->getSubstr(equals + 1);
        key.trim();
        value.trim();
        if (key == String(u"FORMAT")) {
            if (value != String(u"32-bit_rle_rgbe")) {
                throw Exception(String(u"Unsupported Radiance HDR file format: ") << value);
            }
        } else if (key == String(u"GAMMA")) {
            // A gamma that is no usable exponent leaves the default.
            const Optional<double> gamma = parseNumber(value);
            if (gamma && std::isfinite(float(*gamma)) && float(*gamma) > 0.f) header.gamma = float(*gamma);
        } else if (key == String(u"EXPOSURE")) {
            header.exposure = parseNumber(value).valueOr(1.0);
        }
    }
}

// The resolution line "<sign><axis> <n> <sign><axis> <n>", its numbers without leading zeros.
struct Resolution {
    int32 width = 0;
    int32 height = 0;
    bool flipX = false;
    bool flipY = false;
    // Scanlines are columns (the first axis is X) instead of rows.
    bool columns = false;
};

// Parses "[+,-][X,Y] [1-9][0-9]*" at `at`; advances `at`. Sizes above 2^31 - 1 saturate there.
bool parseAxis(std::u16string_view text, size_t& at, char16_t& sign, char16_t& axis, uint64& size) {
    const auto isSign = [](char16_t c) { return c == u'+' || c == u',' || c == u'-'; };
    const auto isAxis = [](char16_t c) { return c == u'X' || c == u',' || c == u'Y'; };
    if (at + 4 > text.size() || !isSign(text[at]) || !isAxis(text[at + 1]) || text[at + 2] != u' ')
        return false;
    sign = text[at];
    axis = text[at + 1];
    at += 3;
    if (text[at] < u'1' || text[at] > u'9') return false;
    size = 0;
    while (at < text.size() && text[at] >= u'0' && text[at] <= u'9') {
        size = std::min<uint64>(size * 10 + uint64(text[at] - u'0'), uint64(1) << 40);
        ++at;
    }
    return true;
}

Resolution readResolution(ByteReader& in) {
    const Optional<String> line = readLine(in);
    if (!line || line->isEmpty()) fail(INVALID_HEADER);
    const std::u16string_view text = line->view();
    size_t at = 0;
    char16_t sign1 = 0, axis1 = 0, sign2 = 0, axis2 = 0;
    uint64 size1 = 0, size2 = 0;
    if (!parseAxis(text, at, sign1, axis1, size1) || at >= text.size() || text[at] != u' ') {
        fail(INVALID_RESOLUTION);
    }
    ++at;
    if (!parseAxis(text, at, sign2, axis2, size2) || at != text.size()) fail(INVALID_RESOLUTION);
    const uint64 limit = uint64(std::numeric_limits<int32>::max());
    Detail::checkImageSize(size1 * size2 * 4, size1 > limit || size2 > limit, String(u"Radiance HDR file"));
    Resolution r;
    r.columns = axis1 == u'X';
    if (r.columns) {
        r.width = int32(size1);
        r.height = int32(size2);
        r.flipX = sign1 == u'-';
        r.flipY = sign2 == u'-';
    } else {
        r.height = int32(size1);
        r.width = int32(size2);
        r.flipY = sign1 == u'-';
        r.flipX = sign2 == u'-';
    }
    return r;
}

// A scanline in the run-length form after its 4-byte start: each component as runs and literals.
void readRunLengthScanline(ByteReader& in, uint8* line, int32 length) {
    for (int component = 0; component < 4; ++component) {
        int32 i = 0;
        while (i < length) {
            const uint8 count = in.next();
            if (count > 128) {
                const int32 n = count - 128;
                if (n > length - i) fail(CORRUPTED);
                const uint8 value = in.next();
                for (int32 k = 0; k < n; ++k)
                    line[int64(i + k) * 4 + component] = value;
                i += n;
            } else {
                if (count > length - i) fail(CORRUPTED);
                uint8 literal[128];
                in.read(literal, count);
                for (int32 k = 0; k < count; ++k)
                    line[int64(i + k) * 4 + component] = literal[k];
                i += count;
            }
        }
    }
}

// A scanline in the flat form: 4-byte pixels, with (1, 1, 1, n) repeating the previous pixel.
void readFlatScanline(ByteReader& in, uint8* line, int32 length) {
    int shift = 0;
    int32 i = 0;
    while (i < length) {
        uint8* pixel = line + int64(i) * 4;
        in.read(pixel, 4);
        if (pixel[0] == 1 && pixel[1] == 1 && pixel[2] == 1) {
            if (i == 0) fail(CORRUPTED);
            const uint64 count = shift < 32 ? uint64(pixel[3]) << shift : (pixel[3] == 0 ? 0 : UINT64_MAX);
            if (count > uint64(length - i)) fail(CORRUPTED);
            for (uint64 k = 0; k < count; ++k)
                std::memcpy(line + int64(i + int32(k)) * 4, line + int64(i - 1) * 4, 4);
            i += int32(count);
            shift = std::min(shift + 8, 32);
        } else {
            ++i;
            shift = 0;
        }
    }
}

void readScanline(ByteReader& in, uint8* line, int32 length) {
    const uint8* start = nullptr;
    if (!in.peek(2, start)) fail(UNREADABLE);
    // The run-length start is 2, 2 and the big-endian length, whose high byte is below 128; a flat
    // pixel (2, 2, B, E) with B >= 128 is an ordinary pixel.
    if (start[0] == 2 && start[1] == 2 && (!in.peek(3, start) || start[2] < 128)) {
        if (!in.peek(4, start)) fail(UNREADABLE);
        const int32 stated = int32(start[2]) << 8 | start[3];
        if (stated != length) fail(CORRUPTED);
        in.skip(4);
        readRunLengthScanline(in, line, length);
    } else {
        readFlatScanline(in, line, length);
    }
}

// Copies a decoded scanline to memory: pixel n of the file goes to its (x, y), rows bottom-up.
void placeScanline(const Resolution& r, const uint8* line, int64 first, int32 length, uint8* pixels) {
    const int64 width = r.width;
    const int64 height = r.height;
    if (!r.columns && !r.flipX) {
        int64 y = first / width;
        if (r.flipY) y = height - 1 - y;
        std::memcpy(pixels + y * width * 4, line, size_t(length) * 4);
        return;
    }
    for (int32 i = 0; i < length; ++i) {
        const int64 n = first + i;
        int64 x = r.columns ? n / height : n % width;
        int64 y = r.columns ? n % height : n / width;
        if (r.flipY) y = height - 1 - y;
        if (r.flipX) x = width - 1 - x;
        std::memcpy(pixels + (y * width + x) * 4, line + int64(i) * 4, 4);
    }
}

void applyExposure(Image::Data& pixels, double exposure) {
    if (!(exposure > 0.0) || exposure == 1.0) return;
    const float scale = float(1.0 / exposure);
    for (int64 i = 0; i < pixels.size(); i += 4)
        encodeRgbe(decodeRgbe(pixels.data() + i) * scale, pixels.data() + i);
}

} // namespace

Image readHdrImage(Io::SeekableBinaryInputStream& stream) {
    ByteReader in(stream);
    const Header header = readHeader(in);
    const Resolution r = readResolution(in);
    const int32 scanlines = r.columns ? r.width : r.height;
    const int32 length = r.columns ? r.height : r.width;
    // Every scanline takes at least 4 bytes: refuse sizes the data cannot hold before allocating.
    if (in.remaining() / 4 < scanlines) fail(UNREADABLE);

    Image::Descriptor descriptor{r.width, r.height, Image::PixelFormat::Rgbe, header.gamma};
    Image::Data pixels = Image::Data::uninitialized(descriptor.requiredBufferSize());
    Image::Data line = Image::Data::uninitialized(int64(length) * 4);
    for (int32 s = 0; s < scanlines; ++s) {
        readScanline(in, line.data(), length);
        placeScanline(r, line.data(), int64(s) * length, length, pixels.data());
    }
    applyExposure(pixels, header.exposure);
    return Image(descriptor, std::move(pixels));
}

} // namespace Kalvex
